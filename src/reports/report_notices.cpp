#include "reports/report_notices.h"

namespace gw::reports {

void ReportNotices::Notify(monitor::NoticeKind kind,
                           std::chrono::system_clock::time_point event_time,
                           monitor::NoticeChannels channels) {
    ReportChannel* mail = channels.Mail ? mail_ : nullptr;
    ReportChannel* lan = channels.Lan ? lan_ : nullptr;
    if (mail == nullptr && lan == nullptr) return;
    const ComposedReport notice =
        ComposeEventNotice(kind, TakeDeviceSnapshot(display_, ups_), event_time);
    if (mail != nullptr) mail->Send(notice);
    if (lan != nullptr) lan->Send(notice);
}

}  // namespace gw::reports
