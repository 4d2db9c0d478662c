#include "link/plain_main_loop.h"

namespace gw::link {

PlainMainLoop::PlainMainLoop()
    : main_thread_(std::this_thread::get_id()), timers_(std::make_shared<Timers>()) {}

PlainMainLoop::~PlainMainLoop() = default;

void PlainMainLoop::Post(std::function<void()> task) {
    {
        std::lock_guard lock(mutex_);
        tasks_.push_back(std::move(task));
    }
    wake_.notify_one();
}

TimerHandle PlainMainLoop::StartTimer(std::chrono::milliseconds delay, std::function<void()> task,
                                      bool repeating) {
    const unsigned long id = timers_->NextId++;
    timers_->ById[id] = Timer{Clock::now() + delay, delay, repeating,
                              std::make_shared<std::function<void()>>(std::move(task))};
    std::weak_ptr<Timers> timers = timers_;
    return TimerHandle([timers, id] {
        if (auto alive = timers.lock()) alive->ById.erase(id);
    });
}

bool PlainMainLoop::IsMainThread() const { return std::this_thread::get_id() == main_thread_; }

void PlainMainLoop::Run() {
    {
        std::lock_guard lock(mutex_);
        quit_ = false;
    }
    for (;;) {
        {
            std::lock_guard lock(mutex_);
            if (quit_) return;
        }
        RunOnce(Clock::time_point::max());
    }
}

void PlainMainLoop::Quit() {
    {
        std::lock_guard lock(mutex_);
        quit_ = true;
    }
    wake_.notify_all();
}

bool PlainMainLoop::RunUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (!done()) {
        {
            std::lock_guard lock(mutex_);
            if (quit_) return false;
        }
        if (Clock::now() >= deadline) return false;
        RunOnce(deadline);
    }
    return true;
}

void PlainMainLoop::RunOnce(Clock::time_point deadline) {
    // Timers first: the earliest due one, if any is due.
    const auto now = Clock::now();
    auto next_due = deadline;
    for (auto it = timers_->ById.begin(); it != timers_->ById.end(); ++it) {
        if (it->second.Due <= now) {
            auto task = it->second.Task;  // the task may cancel its own timer
            if (it->second.Repeating) {
                it->second.Due = now + it->second.Period;
            } else {
                timers_->ById.erase(it);
            }
            (*task)();
            return;
        }
        next_due = std::min(next_due, it->second.Due);
    }

    std::unique_lock lock(mutex_);
    if (tasks_.empty() && !quit_) {
        if (next_due == Clock::time_point::max()) {
            wake_.wait(lock, [&] { return !tasks_.empty() || quit_; });
        } else {
            wake_.wait_until(lock, next_due, [&] { return !tasks_.empty() || quit_; });
        }
    }
    if (tasks_.empty()) return;
    auto task = std::move(tasks_.front());
    tasks_.pop_front();
    lock.unlock();
    task();
}

}  // namespace gw::link
