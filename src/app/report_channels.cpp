#include "app/report_channels.h"

#include "reports/status_report.h"

namespace gw::app {

namespace {

reports::SmtpOptions SmtpOptionsFor(const ReportChannelOptions& options) {
    reports::SmtpOptions smtp;
    smtp.HeloName = options.ComputerName;
    smtp.CaFile = options.SmtpCaFile;
    smtp.ReplyTimeout = options.SmtpReplyTimeout;
    return smtp;
}

}  // namespace

ReportChannels::ReportChannels(link::MainLoop& loop, const monitor::DisplayModel& display,
                               const link::UpsLink& ups, const monitor::UpsStateKeeper& state,
                               monitor::StatusBar& status, reports::ReportNotices& notices,
                               const ReportChannelOptions& options)
    : loop_(loop),
      display_(display),
      ups_(ups),
      state_(state),
      notices_(notices),
      workers_(loop, status),
      smtp_(display, workers_, SmtpOptionsFor(options)),
      lan_(display, workers_, reports::CreateDesktopNotifier(options.NotifyBusAddress),
           options.ComputerName),
      timers_{
          {&monitor::DisplayModel::SMTPReportsCB, &monitor::DisplayModel::SMTPDelayUD, &smtp_, {}},
          {&monitor::DisplayModel::LANReportsCB, &monitor::DisplayModel::LANDelayUD, &lan_, {}}} {
    notices_.SetMailChannel(&smtp_);
    notices_.SetLanChannel(&lan_);
}

ReportChannels::~ReportChannels() {
    notices_.SetMailChannel(nullptr);
    notices_.SetLanChannel(nullptr);
}

void ReportChannels::Start(PeriodTimer& timer) {
    // The first report goes out one full period from now, never at once.
    const std::chrono::minutes period((display_.*timer.Delay).Position);
    reports::ReportChannel* channel = timer.Channel;
    timer.Handle = loop_.StartTimer(
        period, [this, channel] { SendReport(*channel); }, true);
}

void ReportChannels::Follow(PeriodTimer& timer) {
    if (!(display_.*timer.Reports)) {
        timer.Handle.Reset();
    } else if (!timer.Handle.Armed()) {
        Start(timer);
    }
}

void ReportChannels::Restart(PeriodTimer& timer) {
    if (timer.Handle.Armed()) Start(timer);
}

void ReportChannels::SendReport(reports::ReportChannel& channel) {
    channel.Send(
        reports::ComposeStatusReport(reports::TakeReportSnapshot(state_.Current(), display_, ups_),
                                     std::chrono::system_clock::now()));
}

void ReportChannels::Arm() {
    for (PeriodTimer& timer : timers_) {
        if (display_.*timer.Reports && !timer.Handle.Armed()) Start(timer);
    }
}

void ReportChannels::Stop() {
    for (PeriodTimer& timer : timers_) timer.Handle.Reset();
}

void ReportChannels::SendTestMail() { SendReport(smtp_); }
void ReportChannels::SendTestLanMessage() { SendReport(lan_); }
void ReportChannels::OnSmtpReportsClicked() { Follow(timers_[kSmtp]); }
void ReportChannels::OnLanReportsClicked() { Follow(timers_[kLan]); }
void ReportChannels::OnSmtpDelayClicked() { Restart(timers_[kSmtp]); }
void ReportChannels::OnLanDelayClicked() { Restart(timers_[kLan]); }

}  // namespace gw::app
