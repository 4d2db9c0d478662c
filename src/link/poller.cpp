#include "link/poller.h"

#include <cmath>
#include <system_error>
#include <utility>

#include "link/protocol.h"
#include "link/thread_priority.h"

namespace gw::link {

struct Poller::Delivery {
    std::mutex Mutex;
    std::condition_variable Done;
    bool Handled = false;
    bool Abandoned = false;
};

int WaitSteps(std::uint32_t interval_ms, std::chrono::milliseconds step) {
    const double steps = std::ceil(static_cast<double>(interval_ms) / step.count());
    return std::max(1, static_cast<int>(steps));
}

Poller::Poller(Wire& wire, MainLoop& loop, std::function<void(bool)> on_cycle,
               std::chrono::milliseconds step)
    : wire_(wire), loop_(loop), on_cycle_(std::move(on_cycle)), step_(step) {}

Poller::~Poller() {
    if (paused_) ResumePolling();
    EndPolling();
}

bool Poller::StartPolling() {
    std::lock_guard lock(wire_.Mutex());
    if (running_) return false;
    if (thread_.joinable()) thread_.join();  // one that ended by itself
    {
        std::lock_guard end_lock(end_mutex_);
        end_requested_ = false;
    }
    running_ = true;
    try {
        thread_ = std::thread([this] { Body(); });
    } catch (const std::system_error&) {
        // No thread now; the next start may still make one.
        running_ = false;
        return false;
    }
    return true;
}

void Poller::PausePolling() {
    paused_ = true;
    wire_.Mutex().lock();
}

void Poller::ResumePolling() {
    paused_ = false;
    wire_.Mutex().unlock();
}

void Poller::EndPolling() {
    {
        std::lock_guard lock(end_mutex_);
        end_requested_ = true;
    }
    end_wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

bool Poller::Running() {
    std::lock_guard lock(wire_.Mutex());
    return running_;
}

void Poller::SetRefreshInterval(std::uint32_t interval_ms) {
    std::lock_guard lock(wire_.Mutex());
    refresh_interval_ = interval_ms;
}

std::uint32_t Poller::RefreshInterval() {
    std::lock_guard lock(wire_.Mutex());
    return refresh_interval_;
}

StoredReply Poller::CopyStoredReply() {
    std::lock_guard lock(wire_.Mutex());
    return stored_;
}

LinkChange Poller::TakeLinkChange() {
    std::lock_guard lock(wire_.Mutex());
    return std::exchange(change_, LinkChange{});
}

void Poller::Body() {
    LowerThreadPriority();
    UpsLink& link = wire_.Link();
    for (;;) {
        bool exchange_failed = true;
        std::uint32_t interval = 0;
        {
            std::lock_guard lock(wire_.Mutex());
            if (link.LinkUsable) {
                Command inquiry;
                if (link.Q1Answered) {
                    inquiry = Command::StatusMegatec;
                } else if (link.QSAnswered) {
                    inquiry = Command::StatusMustek;
                } else {
                    // A new detection cleared both answers: this thread is
                    // done, and says so while still holding the lock so that
                    // StartPolling never takes it for a running one.
                    running_ = false;
                    return;
                }
                PollResult result = wire_.PollExchange(CommandText(inquiry));
                if (result.StatusText) {
                    stored_.Text = std::move(*result.StatusText);
                    stored_.Time = std::chrono::system_clock::now();
                }
                exchange_failed = result.ExchangeFailed;
                change_ = std::move(result.Change);
            }
            interval = refresh_interval_;
        }

        Deliver(exchange_failed);

        std::unique_lock end_lock(end_mutex_);
        // The whole pause of whole steps in one wait: an end request still cuts it short, and
        // an idle monitor is not woken every step for nothing.
        end_wake_.wait_for(end_lock, step_ * WaitSteps(interval, step_),
                           [this] { return end_requested_; });
        if (end_requested_) break;
    }
    std::lock_guard lock(wire_.Mutex());
    running_ = false;
}

void Poller::Deliver(bool exchange_failed) {
    auto delivery = std::make_shared<Delivery>();
    loop_.Post([this, delivery, exchange_failed] {
        {
            std::lock_guard lock(delivery->Mutex);
            if (delivery->Abandoned) return;
        }
        on_cycle_(exchange_failed);
        {
            std::lock_guard lock(delivery->Mutex);
            delivery->Handled = true;
        }
        delivery->Done.notify_all();
    });

    // Wait for the main thread, but give up when the end is requested: the
    // main thread may be the one waiting for us to leave.
    for (;;) {
        {
            std::unique_lock lock(delivery->Mutex);
            if (delivery->Done.wait_for(lock, step_, [&] { return delivery->Handled; })) return;
        }
        std::lock_guard end_lock(end_mutex_);
        if (end_requested_) {
            std::lock_guard lock(delivery->Mutex);
            if (!delivery->Handled) delivery->Abandoned = true;
            return;
        }
    }
}

}  // namespace gw::link
