// What the status page reads, as one copy handed from the main thread to the server's threads.
//
// Thread rule: see SharedCopy.
#pragma once

#include <string>

#include "reports/report_snapshot.h"
#include "reports/shared_copy.h"

namespace gw::reports {

struct PageState {
    ReportSnapshot Snapshot;
    ReportItems Items;
    std::string User;      // HTTPUserE
    std::string Password;  // HTTPPasswordE
};

using PageSource = SharedCopy<PageState>;

}  // namespace gw::reports
