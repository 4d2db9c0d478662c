#include "ui/window_runner.h"

#include <QApplication>

#include "app/signal_watcher.h"
#include "monitor/ups_summary.h"
#include "ui/main_window.h"
#include "ui/qt_main_loop.h"
#include "ui/qt_presentation.h"
#include "ui/tray_icon.h"

namespace gw::ui {

namespace {

// What the countdown will do when it runs out, for the status bar.
QString PendingAction(const monitor::DisplayModel& model) {
    if (model.SleepRB) return "Suspend";
    if (model.HibernateRB) return "Hibernate";
    if (model.NothingRB) return "Power-fail action";
    return "Shutdown";
}

}  // namespace

int RunWindow(int& argc, char** argv, const app::HeadlessOptions& options) {
    app::BlockEndSignals();
    QApplication qt(argc, argv);
    QApplication::setApplicationName("Gridwarden");
    QApplication::setOrganizationName("Tallowmere");
    // The window hides in the tray; only Exit and the end of the session end the program.
    QApplication::setQuitOnLastWindowClosed(false);

    QtMainLoop loop;
    app::Application* running = nullptr;
    app::SignalWatcher watcher(loop, [&running] {
        if (running != nullptr) {
            running->EndSession();
        } else {
            QApplication::quit();
        }
    });

    TrayIcon tray;
    QtPresentation ui(tray);
    app::Application app(loop, ui, app::ApplicationOptionsFor(options),
                         [] { QApplication::quit(); });
    if (app.StartUp() == app::Application::Started::AnotherCopyRuns) return 0;
    running = &app;

    MainWindow window(app.Display(), app.Log(), app, tray, ui.TimedTest());
    ui.AttachWindow(&window);
    bool window_gone = false;
    // The summary line, the tray's hint and its image, from the record as of now; the
    // countdown as it runs, not as of the last poll.
    auto show_state = [&app, &window, &tray, &ui] {
        monitor::UpsState state = app.State().Current();
        state.Protection.State = app.Response().State();
        state.Protection.Left = app.Response().SecondsLeft();
        window.ShowState(state);
        tray.SetToolTip(QString::fromStdString(monitor::TrayToolTip(state)));
        tray.SetImage(monitor::TrayIconFor(state, ui.EvaluationTrayIcon()));
    };
    app.AddModelObserver([&window, &window_gone, &show_state](const app::ModelChange&) {
        if (window_gone) return;
        window.ShowModel();
        show_state();
    });
    QObject::connect(&tray, &TrayIcon::BecameAvailable, &window, [&window] {
        // The window was on screen for want of a tray; from now on it may hide there.
        if (window.isMinimized()) window.MinimizeToTray();
    });
    QObject::connect(&qt, &QGuiApplication::commitDataRequest, &window,
                     [&loop, &app](QSessionManager&) { loop.Post([&app] { app.EndSession(); }); });

    link::TimerHandle ticker;
    auto show_countdown = [&app, &window, &show_state] {
        show_state();
        const auto left = app.Response().SecondsLeft();
        window.SetCountdown(
            left ? QString("%1 in %2 s").arg(PendingAction(app.Display())).arg(left->count())
                 : QString());
    };
    app.Response().SetStateObserver([&](monitor::ResponseState state, std::chrono::seconds) {
        show_countdown();
        if (state != monitor::ResponseState::Counting) {
            ticker.Reset();
        } else if (!ticker.Armed()) {
            ticker = loop.StartTimer(std::chrono::seconds(1), show_countdown, true);
        }
    });

    window.ShowAtStart();
    const int status = QApplication::exec();
    app.Close();
    app.Response().SetStateObserver(nullptr);
    ticker.Reset();
    ui.AttachWindow(nullptr);
    window_gone = true;
    return status;
}

}  // namespace gw::ui
