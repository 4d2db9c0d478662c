// The e-mail and LAN channels: each send is one worker thread (SendRep for a mail, LANRep for
// a LAN message) that works from its own copy of the settings and the text, is never waited
// for, and ends by showing its result in the status bar.
//
// Thread rule: the channels and SendWorkers are used on the main thread; the workers run on
// their own threads and reach the main thread only by posting the status text.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "link/main_loop.h"
#include "monitor/detection_seams.h"
#include "monitor/display_model.h"
#include "reports/lan_report.h"
#include "reports/notifier.h"
#include "reports/report_notices.h"
#include "reports/smtp_client.h"

namespace gw::reports {

// Starts the workers and brings their results to the status bar, in the order they finish.
class SendWorkers {
public:
    // `loop` and `status` outlive this.
    SendWorkers(link::MainLoop& loop, monitor::StatusBar& status);
    // Workers still running finish on their own; their results are then dropped.
    ~SendWorkers();
    SendWorkers(const SendWorkers&) = delete;
    SendWorkers& operator=(const SendWorkers&) = delete;

    // Runs `work` on a new thread; the text it returns goes to the status bar. `failed` is
    // shown at once when no thread can be made.
    void Start(std::function<std::string()> work, const std::string& failed);

    // Workers not yet ended.
    int Running() const;
    // Waits until no worker runs or `limit` passed; true when none runs. For tests and tools:
    // the program itself never waits for a worker.
    bool WaitUntilIdle(std::chrono::milliseconds limit) const;

private:
    struct Shared;
    std::shared_ptr<Shared> shared_;
    monitor::StatusBar& status_;
};

// The SMTP fields of the display model, as the worker takes them.
SmtpSettings TakeSmtpSettings(const monitor::DisplayModel& display);

class SmtpChannel final : public ReportChannel {
public:
    // `display` and `workers` outlive this. `options` carry the EHLO name and the deadlines.
    SmtpChannel(const monitor::DisplayModel& display, SendWorkers& workers, SmtpOptions options)
        : display_(display), workers_(workers), options_(std::move(options)) {}

    void Send(const ComposedReport& report) override { StartSmtpSend(report.Subject, report.Body); }
    // One SendRep: the settings are copied now, the mail goes out on its own thread.
    void StartSmtpSend(std::string subject, std::string body);

private:
    const monitor::DisplayModel& display_;
    SendWorkers& workers_;
    SmtpOptions options_;
};

class LanChannel final : public ReportChannel {
public:
    // `display` and `workers` outlive this; the notifier is shared with running workers.
    LanChannel(const monitor::DisplayModel& display, SendWorkers& workers,
               std::shared_ptr<Notifier> notifier, std::string computer_name)
        : display_(display),
          workers_(workers),
          notifier_(std::move(notifier)),
          computer_name_(std::move(computer_name)) {}

    // The body only: the subject has no place in a LAN message.
    void Send(const ComposedReport& report) override { StartLanSend(report.Body); }
    // One LANRep, with its own copy of the server name and the text.
    void StartLanSend(std::string text);

private:
    const monitor::DisplayModel& display_;
    SendWorkers& workers_;
    std::shared_ptr<Notifier> notifier_;
    std::string computer_name_;
};

}  // namespace gw::reports
