#include "reports/status_page.h"

#include "monitor/event_log.h"
#include "reports/html_escape.h"
#include "reports/status_report.h"

namespace gw::reports {

std::vector<std::string> ComposeStatusPage(const ReportSnapshot& snapshot, const ReportItems& items,
                                           std::chrono::system_clock::time_point now) {
    if (!snapshot.UpsFound) return {kUpsNotFoundLine};
    std::vector<std::string> lines;
    lines.reserve(2 + std::size(kReadingLines) + std::size(kFlagLines));
    lines.push_back("<b>Report</b> - " + monitor::DateTimeText(now) + kPageLineEnd);
    lines.push_back(HtmlEscape(DeviceLine(snapshot)) + kPageLineEnd);
    for (const ReadingLine& line : kReadingLines) {
        if (!(items.*line.Item)) continue;
        lines.push_back(line.Label + HtmlEscape(snapshot.*line.Value) + line.Unit + kPageLineEnd);
    }
    for (const FlagLine& line : kFlagLines) {
        if (items.*line.Item && snapshot.*line.Flag) {
            lines.push_back(std::string(line.Text) + kPageLineEnd);
        }
    }
    return lines;
}

std::string JoinPageLines(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) {
        text += line;
        text += kLineEnd;
    }
    return text;
}

}  // namespace gw::reports
