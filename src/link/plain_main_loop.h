// A main loop without any framework: a task queue and timers on one thread.
// Used by the headless runner, benchmarks and tests.
#pragma once

#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "link/main_loop.h"

namespace gw::link {

class PlainMainLoop final : public MainLoop {
public:
    // The constructing thread is the main thread.
    PlainMainLoop();
    ~PlainMainLoop() override;

    void Post(std::function<void()> task) override;
    TimerHandle StartTimer(std::chrono::milliseconds delay, std::function<void()> task,
                           bool repeating = false) override;
    bool IsMainThread() const override;

    // Runs until Quit(). Main thread.
    void Run();
    // Any thread; also ends a RunUntil in progress.
    void Quit();
    // Runs the loop until `done` holds (checked after every task) or `limit`
    // passes. True when `done` held. May nest inside a task.
    bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds limit);

private:
    using Clock = std::chrono::steady_clock;
    struct Timer {
        Clock::time_point Due;
        std::chrono::milliseconds Period;
        bool Repeating;
        std::shared_ptr<std::function<void()>> Task;
    };
    struct Timers {
        std::map<unsigned long, Timer> ById;
        unsigned long NextId = 1;
    };

    // Runs what is due now, or waits for the next thing until `deadline`.
    void RunOnce(Clock::time_point deadline);

    std::thread::id main_thread_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> tasks_;
    bool quit_ = false;
    std::shared_ptr<Timers> timers_;
};

}  // namespace gw::link
