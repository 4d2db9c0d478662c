#include "reports/status_report.h"

#include "monitor/event_log.h"

namespace gw::reports {

const NoticeText& NoticeTextOf(monitor::NoticeKind kind) {
    for (const NoticeText& row : kNoticeTexts) {
        if (row.Kind == kind) return row;
    }
    return kNoticeTexts[0];  // unreachable: the table has every kind
}

std::string DeviceLine(const ReportSnapshot& snapshot) {
    return "VID: 0x" + snapshot.VidText + " PID: 0x" + snapshot.PidText +
           " Product: " + snapshot.ProductName;
}

ComposedReport ComposeStatusReport(const ReportSnapshot& snapshot,
                                   std::chrono::system_clock::time_point now) {
    ComposedReport report;
    report.Subject = kReportLead + monitor::DateTimeText(now);
    std::string& body = report.Body;
    body = report.Subject + kLineEnd;
    body += DeviceLine(snapshot) + kLineEnd;
    for (const ReadingLine& line : kReadingLines) {
        body += line.Label;
        body += snapshot.*line.Value;
        body += line.Unit;
        body += kLineEnd;
    }
    for (const FlagLine& line : kFlagLines) {
        if (!(snapshot.*line.Flag)) continue;
        body += line.Text;
        body += kLineEnd;
    }
    return report;
}

ComposedReport ComposeEventNotice(monitor::NoticeKind kind, const ReportSnapshot& snapshot,
                                  std::chrono::system_clock::time_point event_time) {
    const NoticeText& text = NoticeTextOf(kind);
    ComposedReport notice;
    notice.Subject = text.Subject;
    notice.Body = std::string(text.Prefix) + monitor::DateTimeText(event_time) + " " + text.Words +
                  kLineEnd + DeviceLine(snapshot) + kLineEnd;
    notice.Notice = kind;
    return notice;
}

}  // namespace gw::reports
