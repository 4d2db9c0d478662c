// The status page: the HTML fragment the status server sends for "/". A pure function of a
// snapshot, the check boxes and a time.
//
// Thread rule: any thread. The server composes it on its own threads from copies the main thread
// handed over, never from the model.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "reports/report_snapshot.h"

namespace gw::reports {

inline constexpr char kPageLineEnd[] = "</br>";
inline constexpr char kUpsNotFoundLine[] = "UPS not found!</br>";

// The page's lines, each ending in "</br>": "<b>Report</b> - T", the device line, the ticked
// readings, then each set flag whose box is ticked. Without a UPS only "UPS not found!</br>".
// Every text that came from the UPS or the HID device is HTML-escaped: a product string or a
// reply cannot put markup into the page.
std::vector<std::string> ComposeStatusPage(const ReportSnapshot& snapshot, const ReportItems& items,
                                           std::chrono::system_clock::time_point now);

// The lines with CR LF after each, the last included.
std::string JoinPageLines(const std::vector<std::string>& lines);

}  // namespace gw::reports
