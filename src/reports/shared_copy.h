// One consistent copy of what a server answers from, handed from the main thread to the
// server's threads.
//
// Thread rule: Publish on the main thread; Current on any thread. The lock is held only to swap
// or copy one pointer, so neither side waits for the other's work.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

namespace gw::reports {

template <typename State>
class SharedCopy {
public:
    void Publish(State state) {
        auto fresh = std::make_shared<const State>(std::move(state));
        const std::lock_guard<std::mutex> lock(mutex_);
        state_.swap(fresh);
        version_.fetch_add(1, std::memory_order_release);
        // The old copy goes when the last request reading it ends.
    }
    std::shared_ptr<const State> Current() const {
        const std::lock_guard<std::mutex> lock(mutex_);
        return state_;
    }

    // Changes with every Publish: a reader that keeps its copy asks for a new one only then, and
    // busy readers on several threads do not all contend for the lock.
    std::uint64_t Version() const { return version_.load(std::memory_order_acquire); }

private:
    std::atomic<std::uint64_t> version_{0};
    mutable std::mutex mutex_;
    std::shared_ptr<const State> state_ = std::make_shared<const State>();
};

}  // namespace gw::reports
