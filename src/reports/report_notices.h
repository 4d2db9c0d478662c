// The event notices of the status evaluation, composed and handed to the channels that carry
// them (e-mail, LAN message). Composing happens here, on the main thread, from the device's
// identity (a notice carries no reading); a channel only sends what it is given.
//
// Thread rule: main thread only.
#pragma once

#include <chrono>

#include "link/ups_link.h"
#include "monitor/display_model.h"
#include "monitor/evaluation_seams.h"
#include "reports/status_report.h"

namespace gw::reports {

// One way out for reports and notices.
class ReportChannel {
public:
    virtual ~ReportChannel() = default;
    // Called on the main thread. Starts sending `report` (its own copy, on its own thread) and
    // returns at once; never waits for the send. Results go to the status bar.
    virtual void Send(const ComposedReport& report) = 0;
};

class ReportNotices final : public monitor::EventNotices {
public:
    // `display` and `ups` outlive this.
    ReportNotices(const monitor::DisplayModel& display, const link::UpsLink& ups)
        : display_(display), ups_(ups) {}

    // A channel stays plugged until replaced; nullptr (the start) sends nothing that way. A
    // plugged channel outlives this or is unplugged first.
    void SetMailChannel(ReportChannel* channel) { mail_ = channel; }
    void SetLanChannel(ReportChannel* channel) { lan_ = channel; }

    void Notify(monitor::NoticeKind kind, std::chrono::system_clock::time_point event_time,
                monitor::NoticeChannels channels) override;

private:
    const monitor::DisplayModel& display_;
    const link::UpsLink& ups_;
    ReportChannel* mail_ = nullptr;
    ReportChannel* lan_ = nullptr;
};

}  // namespace gw::reports
