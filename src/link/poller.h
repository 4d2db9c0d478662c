// The polling thread: one status inquiry per refresh interval, the reply
// stored for the main thread, and a synchronous message telling it so.
//
// Thread rules: every public method belongs to the main thread. The thread
// itself only takes DataMutex, exchanges, stores and posts.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "link/main_loop.h"
#include "link/ups_link.h"

namespace gw::link {

inline constexpr std::uint32_t kStartRefreshInterval = 3000;
inline constexpr std::chrono::milliseconds kWaitStep{300};

struct StoredReply {
    std::string Text;  // the filtered status text, at most 255 characters
    std::chrono::system_clock::time_point Time;
};

// The number of wait steps after a cycle: the interval rounded up to whole
// steps, at least one.
int WaitSteps(std::uint32_t interval_ms, std::chrono::milliseconds step = kWaitStep);

class Poller {
public:
    // `on_cycle` runs on the main thread after every cycle, with
    // exchange_failed = true when the cycle failed; the polling thread waits
    // until it has returned. `step` is the wait step (shorter in tests).
    Poller(Wire& wire, MainLoop& loop, std::function<void(bool exchange_failed)> on_cycle,
           std::chrono::milliseconds step = kWaitStep);
    ~Poller();
    Poller(const Poller&) = delete;
    Poller& operator=(const Poller&) = delete;

    // Creates and starts the thread unless one is running. True when created.
    bool StartPolling();
    // Keeps the thread waiting before its next cycle; waits for an exchange
    // in progress to end. Our own exchanges still run meanwhile.
    void PausePolling();
    void ResumePolling();
    bool PollingPaused() const { return paused_; }

    // Requests the end and waits for the thread to leave (within the running
    // exchange plus one wait step). A message the thread was waiting to
    // deliver is dropped, so this never waits on the main loop.
    void EndPolling();
    bool Running();

    void SetRefreshInterval(std::uint32_t interval_ms);
    std::uint32_t RefreshInterval();
    StoredReply CopyStoredReply();
    // What the latest cycle saw happen to the serial port; cleared by the call. Read it in
    // `on_cycle`, before the next cycle can begin.
    LinkChange TakeLinkChange();

private:
    struct Delivery;
    void Body();
    void Deliver(bool exchange_failed);

    Wire& wire_;
    MainLoop& loop_;
    std::function<void(bool)> on_cycle_;
    std::chrono::milliseconds step_;

    // Guarded by DataMutex.
    std::uint32_t refresh_interval_ = kStartRefreshInterval;
    StoredReply stored_;
    LinkChange change_;
    bool running_ = false;

    std::atomic<bool> paused_{false};
    std::thread thread_;
    std::mutex end_mutex_;
    std::condition_variable end_wake_;
    bool end_requested_ = false;
};

}  // namespace gw::link
