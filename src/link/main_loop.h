// The main thread's loop as the core sees it.
//
// State of the link, the evaluation and the power response belongs to the
// main thread; other threads (polling, udev, D-Bus, network) reach it only
// by posting work here.
#pragma once

#include <chrono>
#include <functional>
#include <memory>

namespace gw::link {

// Cancels its timer when destroyed or reset. Main thread only.
class TimerHandle {
public:
    TimerHandle() = default;
    explicit TimerHandle(std::function<void()> cancel) : cancel_(std::move(cancel)) {}
    TimerHandle(TimerHandle&& other) noexcept : cancel_(std::move(other.cancel_)) {
        other.cancel_ = nullptr;
    }
    TimerHandle& operator=(TimerHandle&& other) noexcept {
        if (this != &other) {
            Reset();
            cancel_ = std::move(other.cancel_);
            other.cancel_ = nullptr;
        }
        return *this;
    }
    TimerHandle(const TimerHandle&) = delete;
    TimerHandle& operator=(const TimerHandle&) = delete;
    ~TimerHandle() { Reset(); }

    void Reset() {
        if (cancel_) {
            auto cancel = std::move(cancel_);
            cancel_ = nullptr;
            cancel();
        }
    }
    bool Armed() const { return static_cast<bool>(cancel_); }

private:
    std::function<void()> cancel_;
};

class MainLoop {
public:
    virtual ~MainLoop() = default;
    // Any thread. Tasks run on the main thread in the order posted.
    virtual void Post(std::function<void()> task) = 0;
    // Main thread. Runs `task` after `delay`, then every `delay` when
    // `repeating`, until the handle goes.
    virtual TimerHandle StartTimer(std::chrono::milliseconds delay, std::function<void()> task,
                                   bool repeating = false) = 0;
    virtual bool IsMainThread() const = 0;
};

}  // namespace gw::link
