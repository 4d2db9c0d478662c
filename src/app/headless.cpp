#include "app/headless.h"

#include <unistd.h>

#include <string>

#include "app/console_output.h"
#include "app/signal_watcher.h"
#include "link/plain_main_loop.h"
#include "monitor/status_json.h"

namespace gw::app {

namespace {

// Without a window, what the tray, the status bar and the dialogs would show goes to standard
// error, so that standard output carries only log lines and replies for scripts to read. The
// dialogs take the answer a user would most likely give.
class ConsolePresentation final : public Presentation {
public:
    // With a port given on the command line, no other port is taken in its place.
    ConsolePresentation(ConsoleOutput& err, bool port_given) : err_(err), port_given_(port_given) {}

    void ShowTrayBalloon(std::string_view title, std::string_view text,
                         monitor::BalloonIcon icon) override {
        std::string flat(text);
        for (char& c : flat) {
            if (c == '\r') c = ' ';
        }
        err_.WriteLine("balloon: " + std::string(title) + ": " + flat +
                       (icon == monitor::BalloonIcon::Warning ? " (warning)" : ""));
    }
    void SetTrayIcon(int) override {}
    void ShowStatus(std::string_view text) override {
        err_.WriteLine("status: " + std::string(text));
    }
    void ShowError(std::string_view text) override {
        err_.WriteLine("message: " + std::string(text));
    }

    // The port that answered the probe, if any: there is nobody to ask.
    std::optional<int> ChooseComPort(const std::vector<std::string>& items,
                                     int preselected_index) override {
        std::string line = "dialog: COM Port:";
        for (const auto& item : items) line += ' ' + item;
        if (port_given_) {
            err_.WriteLine(line + " -> none, the port given is not there");
            return std::nullopt;
        }
        if (preselected_index < 0 || preselected_index >= static_cast<int>(items.size())) {
            err_.WriteLine(line + " -> none answers");
            return std::nullopt;
        }
        err_.WriteLine(line + " -> " + items[static_cast<std::size_t>(preselected_index)]);
        return preselected_index;
    }
    int ChooseBatteryVoltage() override {
        err_.WriteLine("dialog: battery voltage -> 12 V");
        return 12;
    }

private:
    ConsoleOutput& err_;
    bool port_given_;
};

}  // namespace

ApplicationOptions ApplicationOptionsFor(const HeadlessOptions& options) {
    ApplicationOptions app_options;
    app_options.Power = options.Power;
    app_options.PowerBusAddress = options.PowerBusAddress;
    app_options.ComPort = options.ComPort;
    app_options.RefreshSeconds = options.RefreshSeconds;
    app_options.JournalDir = options.JournalDir;
    app_options.KeepHistory = options.KeepHistory;
    app_options.BatteryTimeScale = options.BatteryTimeScale;
    app_options.RetryPeriod = std::chrono::seconds(options.RetrySeconds);
    app_options.NotifyBusAddress = options.NotifyBusAddress;
    app_options.SettingsPath = options.SettingsPath;
    app_options.RuntimeDir = options.LockDir;
    app_options.OpenStore = options.OpenStore;
    app_options.ManageAutostart = options.ManageAutostart;
    app_options.NutLoopbackPort = options.NutLoopbackPort;
    app_options.Watch = options.Watch;
    return app_options;
}

int RunHeadless(const HeadlessOptions& options) {
    link::PlainMainLoop loop;
    // Before any thread starts, so that every thread inherits the blocked signals and only the
    // watcher takes them.
    Application* running = nullptr;
    SignalWatcher signals(loop, [&running, &loop] {
        if (running != nullptr) {
            running->EndSession();
        } else {
            loop.Quit();
        }
    });
    // Neither a stalled reader nor the system journal falling behind may hold up the main loop.
    ConsoleOutput out(STDOUT_FILENO);
    ConsoleOutput err(STDERR_FILENO);
    ConsolePresentation ui(err, options.ComPort != 0);

    Application app(loop, ui, ApplicationOptionsFor(options), [&loop] { loop.Quit(); });
    if (app.StartUp() == Application::Started::AnotherCopyRuns) return 0;
    running = &app;
    // Only now, behind the journal that start-up attached, so that the journal has each line
    // first.
    for (const std::string& line : app.Log().Lines()) out.WriteLine(line);
    app.QuietedLog().AddObserver([&out](const std::string& line) { out.WriteLine(line); });

    // What the window's two test buttons do, for a check of the mail and message set-up.
    bool test_reports_due = options.SendTestReports;
    auto send_test_reports = [&] {
        if (!test_reports_due) return;
        test_reports_due = false;
        app.SendTestMail();
        app.SendTestLanMessage();
    };
    int exit_status = 0;
    int cycles = 0;
    app.AddModelObserver([&](const ModelChange& change) {
        if (change.Kind == ModelChange::What::StartDetected) {
            // With a UPS the test reports wait for its first readings.
            if (!change.Monitoring) send_test_reports();
            // A bounded run is a check: without a UPS there is nothing to wait for.
            if (!change.Monitoring && options.Cycles > 0) {
                exit_status = 1;
                app.EndSession();
            }
            return;
        }
        if (change.Kind != ModelChange::What::Cycle) return;
        const monitor::UpsStatus& status = app.Evaluation().Status();
        if (!change.CycleFailed && options.PrintReplies) {
            out.WriteLine(status.ReplyText + "  charge " + app.Display().BatteryChargeL + " %");
        }
        if (options.StatusJson) {
            // A silent UPS gets a line per cycle too, once its readings no longer tell the
            // present: the line says so.
            const monitor::UpsState state = app.State().Current();
            if (!change.CycleFailed || !state.Up()) {
                out.WriteLine(monitor::StatusJson(status, state));
            }
        }
        if (!change.CycleFailed) send_test_reports();
        if (options.Cycles > 0 && ++cycles >= options.Cycles) {
            // A watched UPS whose server never answered is no UPS to monitor either.
            if (app.Watch() != nullptr && !app.Watch()->Reached()) exit_status = 1;
            app.EndSession();
        }
    });

    // The countdown counts visibly: a line at every change and one a second while it runs. The
    // ticker runs only then, so an idle runner is not woken for it.
    link::TimerHandle ticker;
    app.Response().SetStateObserver([&app, &loop, &ticker, &err](monitor::ResponseState state,
                                                                 std::chrono::seconds left) {
        const std::string line = "countdown: " + std::string(monitor::StateName(state));
        if (state != monitor::ResponseState::Counting) {
            err.WriteLine(line);
            ticker.Reset();
            return;
        }
        err.WriteLine(line + ", " + std::to_string(left.count()) + " s left");
        if (ticker.Armed()) return;
        ticker = loop.StartTimer(
            std::chrono::seconds(1),
            [&app, &err] {
                const auto left_now = app.Response().SecondsLeft();
                if (!app.Closed() && left_now) {
                    err.WriteLine("countdown: " + std::to_string(left_now->count()) + " s left");
                }
            },
            true);
    });

    loop.Run();
    app.Close();
    // The observer refers to the ticker, which goes before the application does.
    app.Response().SetStateObserver(nullptr);
    ticker.Reset();
    return exit_status;
}

}  // namespace gw::app
