// The e-mail and LAN report channels of the running program: their senders plugged into the
// event notices, their period timers and their test buttons. The application owns one; the
// window's SMTP and LAN tabs call it through the application.
//
// Thread rule: main thread only. The senders' workers report back through the main loop.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "link/main_loop.h"
#include "link/ups_link.h"
#include "monitor/detection_seams.h"
#include "monitor/display_model.h"
#include "monitor/ups_state.h"
#include "reports/report_notices.h"
#include "reports/send_report.h"

namespace gw::app {

struct ReportChannelOptions {
    std::string ComputerName;      // for EHLO and the LAN message's "From: "
    std::string NotifyBusAddress;  // empty: the user's session bus
    std::string SmtpCaFile;        // empty: the system's trusted certificates
    std::chrono::milliseconds SmtpReplyTimeout{30000};
};

class ReportChannels final : public monitor::ReportTimers {
public:
    // Everything passed outlives this; the channels are plugged into `notices` until it goes.
    // A status report tells `state`'s record as of its sending.
    ReportChannels(link::MainLoop& loop, const monitor::DisplayModel& display,
                   const link::UpsLink& ups, const monitor::UpsStateKeeper& state,
                   monitor::StatusBar& status, reports::ReportNotices& notices,
                   const ReportChannelOptions& options);
    ~ReportChannels() override;
    ReportChannels(const ReportChannels&) = delete;
    ReportChannels& operator=(const ReportChannels&) = delete;

    // Monitoring starts, or the system resumed with the link open: the checked timers that
    // are not running start with their delay's period.
    void Arm() override;
    // Monitoring stops, the system sleeps, the window closes: both timers stop.
    void Stop() override;

    // The test buttons: a status report now, whether or not monitoring runs.
    void SendTestMail();
    void SendTestLanMessage();
    // The Reports boxes: the timer follows the box (checked: started unless running).
    void OnSmtpReportsClicked();
    void OnLanReportsClicked();
    // The delay arrows: a running timer restarts with the new period.
    void OnSmtpDelayClicked();
    void OnLanDelayClicked();

    bool SmtpTimerRunning() const { return timers_[kSmtp].Handle.Armed(); }
    bool LanTimerRunning() const { return timers_[kLan].Handle.Armed(); }
    reports::SendWorkers& Workers() { return workers_; }

private:
    static constexpr std::size_t kSmtp = 0;
    static constexpr std::size_t kLan = 1;

    struct PeriodTimer {
        bool monitor::DisplayModel::*Reports;
        monitor::UpDown monitor::DisplayModel::*Delay;
        reports::ReportChannel* Channel;
        link::TimerHandle Handle;
    };

    void Start(PeriodTimer& timer);
    void Follow(PeriodTimer& timer);
    void Restart(PeriodTimer& timer);
    void SendReport(reports::ReportChannel& channel);

    link::MainLoop& loop_;
    const monitor::DisplayModel& display_;
    const link::UpsLink& ups_;
    const monitor::UpsStateKeeper& state_;
    reports::ReportNotices& notices_;
    reports::SendWorkers workers_;
    reports::SmtpChannel smtp_;
    reports::LanChannel lan_;
    PeriodTimer timers_[2];
};

}  // namespace gw::app
