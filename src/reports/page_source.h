// What the status page reads, as one copy handed from the main thread to the server's threads.
//
// Thread rule: see SharedCopy.
#pragma once

#include <memory>
#include <string>

#include "history/history_reader.h"
#include "monitor/ups_state.h"
#include "reports/metrics_text.h"
#include "reports/report_snapshot.h"
#include "reports/shared_copy.h"

namespace gw::reports {

struct PageState {
    ReportSnapshot Snapshot;
    ReportItems Items;
    std::string User;       // HTTPUserE
    std::string Password;   // HTTPPasswordE
    MetricsState Metrics;   // "/metrics"
    monitor::UpsState Ups;  // the record as of now, for "/status"
    // "/history" and "/history.json" read through it; null when no history is kept.
    std::shared_ptr<const history::HistoryReader> History;
};

using PageSource = SharedCopy<PageState>;

}  // namespace gw::reports
