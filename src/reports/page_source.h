// The one consistent copy of what the status page reads, handed from the main thread to the
// server's threads.
//
// Thread rule: Publish on the main thread; Current on any thread. The lock is held only to swap
// or copy one pointer, so neither side waits for the other's work.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "reports/report_snapshot.h"

namespace gw::reports {

struct PageState {
    ReportSnapshot Snapshot;
    ReportItems Items;
    std::string User;      // HTTPUserE
    std::string Password;  // HTTPPasswordE
};

class PageSource {
public:
    void Publish(PageState state) {
        auto fresh = std::make_shared<const PageState>(std::move(state));
        const std::lock_guard<std::mutex> lock(mutex_);
        state_.swap(fresh);
        // The old copy goes when the last request reading it ends.
    }
    std::shared_ptr<const PageState> Current() const {
        const std::lock_guard<std::mutex> lock(mutex_);
        return state_;
    }

private:
    mutable std::mutex mutex_;
    std::shared_ptr<const PageState> state_ = std::make_shared<const PageState>();
};

}  // namespace gw::reports
