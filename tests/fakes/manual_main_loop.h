// A main loop on a virtual clock: a 600 s countdown or a three-hour report period passes in
// microseconds. Timers fire only inside AdvanceBy; posted tasks run in RunUntilIdle.
//
// Thread rule: the test thread drives it; Post may come from any thread (workers report back
// through it).
#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <mutex>

#include "link/main_loop.h"

namespace gw::fakes {

class ManualLoop final : public link::MainLoop {
public:
    using Clock = std::chrono::steady_clock;

    void Post(std::function<void()> task) override {
        std::lock_guard<std::mutex> lock(mutex_);
        posted_.push_back(std::move(task));
    }
    link::TimerHandle StartTimer(std::chrono::milliseconds delay, std::function<void()> task,
                                 bool repeating) override {
        const int id = next_id_++;
        timers_[id] = {now_ + delay, delay, repeating, std::move(task)};
        return link::TimerHandle([this, id] { timers_.erase(id); });
    }
    bool IsMainThread() const override { return true; }

    Clock::time_point Now() const { return now_; }
    void RunUntilIdle() {
        for (;;) {
            std::function<void()> task;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (posted_.empty()) return;
                task = std::move(posted_.front());
                posted_.pop_front();
            }
            task();
        }
    }
    // Fires every timer due within `span`, in order, running posted tasks between them.
    void AdvanceBy(std::chrono::milliseconds span) {
        const auto end = now_ + span;
        RunUntilIdle();
        for (;;) {
            auto next = timers_.end();
            for (auto it = timers_.begin(); it != timers_.end(); ++it) {
                if (it->second.Due <= end &&
                    (next == timers_.end() || it->second.Due < next->second.Due))
                    next = it;
            }
            if (next == timers_.end()) break;
            now_ = next->second.Due;
            auto task = next->second.Task;
            if (next->second.Repeating) {
                next->second.Due += next->second.Period;
            } else {
                timers_.erase(next);
            }
            task();
            RunUntilIdle();
        }
        now_ = end;
    }

private:
    struct Timer {
        Clock::time_point Due;
        std::chrono::milliseconds Period;
        bool Repeating;
        std::function<void()> Task;
    };
    Clock::time_point now_{};
    int next_id_ = 1;
    std::map<int, Timer> timers_;
    std::mutex mutex_;
    std::deque<std::function<void()>> posted_;
};

}  // namespace gw::fakes
