// Turns the signals that end a session (SIGINT, SIGTERM, SIGHUP) into a task on the main loop.
// They are taken by one thread with sigwait, so no handler ever runs inside the loop's locks.
//
// Construct it on the main thread before any other thread starts, so that every later thread
// inherits the blocked signals and only the watcher takes them.
#pragma once

#include <signal.h>

#include <functional>
#include <thread>

#include "link/main_loop.h"

namespace gw::app {

// Blocks the end-of-session signals in the calling thread, and so in every thread it starts
// later. For a caller that must start threads (a GUI toolkit's) before it can make the watcher:
// without this, a signal could land in one of those threads and end the program unsaved.
inline void BlockEndSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGUSR1}) sigaddset(&set, signal);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

class SignalWatcher {
public:
    SignalWatcher(link::MainLoop& loop, std::function<void()> on_signal)
        : loop_(loop), on_signal_(std::move(on_signal)) {
        sigemptyset(&set_);
        sigaddset(&set_, SIGINT);
        sigaddset(&set_, SIGTERM);
        sigaddset(&set_, SIGHUP);
        sigaddset(&set_, SIGUSR1);  // our own wake-up at the end
        pthread_sigmask(SIG_BLOCK, &set_, nullptr);
        thread_ = std::thread([this] {
            int signal = 0;
            while (sigwait(&set_, &signal) == 0) {
                if (signal == SIGUSR1) return;
                loop_.Post(on_signal_);
            }
        });
    }
    ~SignalWatcher() {
        pthread_kill(thread_.native_handle(), SIGUSR1);
        thread_.join();
    }

private:
    link::MainLoop& loop_;
    std::function<void()> on_signal_;
    sigset_t set_;
    std::thread thread_;
};

}  // namespace gw::app
