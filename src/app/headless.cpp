#include "app/headless.h"

#include <signal.h>

#include <cstdio>
#include <iostream>
#include <thread>

#include "link/hid_device.h"
#include "link/plain_main_loop.h"
#include "link/poller.h"
#include "link/ups_commands.h"
#include "link/ups_link.h"
#include "monitor/battery_charge.h"
#include "monitor/display_model.h"
#include "monitor/event_log.h"
#include "monitor/journal_file.h"
#include "monitor/status_evaluation.h"
#include "monitor/status_json.h"

namespace gw::app {

namespace {

// Status-bar texts go to standard error so that standard output carries
// only log lines and replies, one per line, for scripts to read.
void ShowStatus(const std::string& text) { std::cerr << "status: " << text << std::endl; }

// Signals are taken by one thread with sigwait and turned into a posted
// quit, so no handler ever runs inside the loop's locks.
class SignalWatcher {
public:
    explicit SignalWatcher(link::PlainMainLoop& loop) : loop_(loop) {
        sigemptyset(&set_);
        sigaddset(&set_, SIGINT);
        sigaddset(&set_, SIGTERM);
        sigaddset(&set_, SIGHUP);
        sigaddset(&set_, SIGUSR1);  // our own wake-up at the end
        pthread_sigmask(SIG_BLOCK, &set_, nullptr);
        thread_ = std::thread([this] {
            int signal = 0;
            while (sigwait(&set_, &signal) == 0) {
                if (signal == SIGUSR1) return;
                loop_.Post([this] { loop_.Quit(); });
            }
        });
    }
    ~SignalWatcher() {
        pthread_kill(thread_.native_handle(), SIGUSR1);
        thread_.join();
    }

private:
    link::PlainMainLoop& loop_;
    sigset_t set_;
    std::thread thread_;
};

// Without a window, balloons become lines on standard error.
class ConsoleTray final : public monitor::TrayPresenter {
public:
    void ShowTrayBalloon(std::string_view title, std::string_view text,
                         monitor::BalloonIcon icon) override {
        std::string flat(text);
        for (char& c : flat) {
            if (c == '\r') c = ' ';
        }
        std::cerr << "balloon: " << title << ": " << flat
                  << (icon == monitor::BalloonIcon::Warning ? " (warning)" : "") << std::endl;
    }
    void SetTrayIcon(int) override {}
};

// Notices by mail and LAN message are not part of this build.
class NoNotices final : public monitor::EventNotices {
public:
    void Notify(monitor::NoticeKind, std::chrono::system_clock::time_point,
                monitor::NoticeChannels) override {}
};

// The power-fail response is not part of this build: say what it would do.
class ConsoleCountdown final : public monitor::Countdown {
public:
    void StartCountdown(std::chrono::seconds delay) override {
        std::cerr << "countdown: started, " << delay.count() << " s" << std::endl;
    }
    void CancelCountdown() override { std::cerr << "countdown: cancelled" << std::endl; }
    void FireNow() override { std::cerr << "countdown: fire now" << std::endl; }
};

}  // namespace

int RunHeadless(const HeadlessOptions& options) {
    link::PlainMainLoop loop;
    SignalWatcher signals(loop);

    monitor::EventLog log;
    log.AddObserver([](const std::string& line) { std::cout << line << std::endl; });
    monitor::JournalFile journal;
    std::string journal_error;
    const std::string journal_dir =
        options.JournalDir.empty() ? monitor::DefaultJournalDir() : options.JournalDir;
    if (journal.Open(journal_dir, journal_error)) {
        monitor::AttachJournal(log, journal, [](const std::string& error) {
            std::cerr << "gridwarden: journal: " << error << std::endl;
        });
    } else {
        std::cerr << "gridwarden: journal: " << journal_error << std::endl;
    }

    link::UpsLink ups;
    link::DataMutex data_mutex;
    std::unique_ptr<link::HidBus> hid_bus = link::CreateHidBus();
    link::Wire wire(ups, data_mutex, log, hid_bus.get());

    monitor::DisplayModel display;
    ConsoleTray tray;
    NoNotices notices;
    ConsoleCountdown countdown;
    monitor::StatusEvaluation evaluation(ups, display, log, tray, notices, countdown);

    std::string error;
    if (wire.OpenComPort(options.ComPort, &error)) {
        ups.UpsFound = true;
        // The nominal battery voltage sets the thresholds and the charge
        // scale. A rating field that does not convert is reported and the
        // nominal 12 V kept: monitoring still starts.
        ups.ResetRating();
        const link::RatingOutcome rating = link::QueryRating(wire);
        ups.FAnswered = rating.Accepted;
        if (!rating.Error.empty()) {
            std::cerr << "gridwarden: " << rating.Error << std::endl;
            log.AppendLog(rating.Error);
            ups.ResetRating();
        }
        monitor::ApplyNominalVoltage(display, ups.NominalBatteryVoltage);
    } else {
        std::cerr << "gridwarden: " << error << std::endl;
    }

    int cycles = 0;
    std::unique_ptr<link::Poller> poller;
    poller = std::make_unique<link::Poller>(wire, loop, [&](bool exchange_failed) {
        if (exchange_failed) {
            evaluation.EvaluateFailedCycle();
        } else {
            evaluation.EvaluateStatus(poller->CopyStoredReply());
            if (options.PrintReplies) {
                std::cout << evaluation.Status().ReplyText << "  charge " << display.BatteryChargeL
                          << " %" << std::endl;
            }
            if (options.StatusJson) std::cout << monitor::StatusJson(evaluation.Status()) << std::endl;
        }
        if (options.Cycles > 0 && ++cycles >= options.Cycles) loop.Quit();
    });
    poller->SetRefreshInterval(static_cast<std::uint32_t>(options.RefreshSeconds) * 1000);

    // Start: which inquiry does the UPS answer?
    bool polling = false;
    if (!ups.UpsFound) {
        ShowStatus("UPS not found!");
    } else {
        log.AppendLog("Start Monitoring");
        ups.Q1Answered = link::ProbeQ1(wire);
        ups.QSAnswered = link::ProbeQS(wire);
        if (!ups.Q1Answered && !ups.QSAnswered) {
            ShowStatus("Supported protocol UPS not detected!");
            wire.CloseLink();
            ups.ComPort = 0;
        } else {
            const std::string com = "COM" + std::to_string(options.ComPort);
            if (ups.Q1Answered) ShowStatus("Megatec protocol UPS detected: " + com);
            if (ups.QSAnswered) ShowStatus("Mustek protocol UPS detected: " + com);
            poller->StartPolling();
            polling = true;
        }
    }

    if (polling) loop.Run();

    // Close: end the thread, then the port.
    if (poller->PollingPaused()) poller->ResumePolling();
    poller->EndPolling();
    wire.CloseLink();
    return polling ? 0 : 1;
}

}  // namespace gw::app
