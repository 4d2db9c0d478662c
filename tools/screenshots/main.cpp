// Takes the README's pictures of the window: runs the program's own start-up against the
// simulated UPS (started by scripts/screenshots), waits for a few readings, and saves each
// page of the window as a PNG, the History page last. It drives nothing the user could not.
//
// With --states it takes the UPS Status page in each state the simulator can be brought to
// (on mains, on battery with the countdown, battery low, silent; no UPS when no simulator
// answers), telling the simulator what to do through its control socket, and beside each the
// tray's icon with its hint as the desktop shows it (tray-state-*.png).
#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QPainter>
#include <QProcess>
#include <QTabWidget>
#include <QTimer>
#include <QToolTip>
#include <algorithm>
#include <functional>
#include <iostream>
#include <vector>

#include "app/application.h"
#include "monitor/ups_summary.h"
#include "ui/main_window.h"
#include "ui/qt_main_loop.h"
#include "ui/qt_presentation.h"
#include "ui/tray_icon.h"

namespace {

// The tray's icon and, below it, its hint as Qt's own tool tip draws it: shown off screen,
// grabbed, hidden again.
void SaveTray(const gw::ui::TrayIcon& tray, const QString& path) {
    QToolTip::showText(QPoint(0, 0), tray.ToolTip());
    QPixmap hint;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (widget->inherits("QTipLabel") && widget->isVisible()) hint = widget->grab();
    }
    QToolTip::hideText();
    constexpr int kIcon = 24;
    constexpr int kPad = 6;
    QPixmap picture(std::max(kIcon, hint.width()) + 2 * kPad, kIcon + hint.height() + 3 * kPad);
    picture.fill(QColor(0x3c, 0x3f, 0x41));  // a dark panel, as most desktops' trays are
    QPainter painter(&picture);
    painter.drawPixmap(kPad, kPad, tray.ImageIcon().pixmap(kIcon));
    painter.drawPixmap(kPad, kIcon + 2 * kPad, hint);
    painter.end();
    picture.save(path);
}

// "window-state-normal.png" -> "tray-state-normal.png".
QString TrayName(QString window_name) { return window_name.replace("window-", "tray-"); }

// The window, the tray's image and its hint from the record as of now, as the program's own
// runner shows them.
void ShowState(gw::app::Application& app, const gw::ui::QtPresentation& ui,
               gw::ui::MainWindow& window, gw::ui::TrayIcon& tray) {
    gw::monitor::UpsState state = app.State().Current();
    state.Protection.State = app.Response().State();
    state.Protection.Left = app.Response().SecondsLeft();
    window.ShowState(state);
    window.ShowModel();
    tray.SetToolTip(QString::fromStdString(gw::monitor::TrayToolTip(state)));
    tray.SetImage(gw::monitor::TrayIconFor(state, ui.EvaluationTrayIcon()));
}

// Saves the window as `name` in `out`, and the tray beside it.
void SaveState(gw::ui::MainWindow& window, const gw::ui::TrayIcon& tray, const QString& out,
               const QString& name) {
    window.grab().save(out + "/" + name);
    SaveTray(tray, out + "/" + TrayName(name));
}

// One picture of the state: after `Cycles` more poll cycles the page is saved as `Name`, then
// the simulator is told `Then` (nothing when empty).
struct Shot {
    const char* Name;
    int Cycles;
    const char* Then;
};

// `only`: one picture of that name after a few cycles, of whatever state the UPS is in.
int TakeStates(const QString& out, int com, const QString& simulator, const QString& only) {
    gw::ui::QtMainLoop loop;
    gw::ui::TrayIcon tray([] { return false; });
    gw::ui::QtPresentation ui(tray);
    gw::app::ApplicationOptions options;
    options.Power = gw::app::PowerBackend::Simulated;
    options.ComPort = com;
    options.RefreshSeconds = 1;
    options.WatchHidDevices = false;
    gw::app::Application app(loop, ui, options, [] { QApplication::quit(); });
    if (app.StartUp() != gw::app::Application::Started::Running) return 1;
    gw::ui::MainWindow window(app.Display(), app.Log(), app, tray, ui.TimedTest());
    window.SetConfirm([](const QString&) { return true; });
    ui.AttachWindow(&window);
    window.Restore();
    window.findChild<QTabWidget*>("PC")->setCurrentIndex(1);
    const auto show = [&] { ShowState(app, ui, window, tray); };
    if (simulator.isEmpty()) {
        // No UPS answers: the start timer's detection runs, then the window tells it.
        QTimer::singleShot(4000, [&] {
            show();
            SaveState(window, tray, out, "window-state-no-ups.png");
            app.RequestExit();
        });
        return QApplication::exec();
    }
    // Silent: past the 15 s after which a reply no longer tells the present.
    static const Shot kStates[] = {
        {"window-state-normal.png", 6, "fail"},
        {"window-state-on-battery.png", 4, "low"},
        {"window-state-battery-low.png", 3, "silent on"},
        {"window-state-silent.png", 18, ""},
    };
    const QByteArray only_name = only.toUtf8();
    const std::vector<Shot> shots = only.isEmpty()
                                        ? std::vector<Shot>(std::begin(kStates), std::end(kStates))
                                        : std::vector<Shot>{{only_name.constData(), 4, ""}};
    std::size_t next = 0;
    int cycles = 0;
    app.AddModelObserver([&](const gw::app::ModelChange& change) {
        show();
        if (change.Kind != gw::app::ModelChange::What::Cycle || next >= shots.size()) return;
        if (++cycles < shots[next].Cycles) return;
        cycles = 0;
        SaveState(window, tray, out, shots[next].Name);
        if (*shots[next].Then != 0) {
            QProcess::execute(simulator,
                              {"--com", QString::number(com), "--send", shots[next].Then});
        }
        if (++next == shots.size()) QTimer::singleShot(0, [&app] { app.RequestExit(); });
    });
    return QApplication::exec();
}

// The UPS Status page of a window watching `target` over the network; with `service_lock_dir`,
// as the window beside a system service that holds its lock there.
int TakeWatched(const QString& file, const QString& target, const QString& service_lock_dir) {
    gw::ui::QtMainLoop loop;
    gw::ui::TrayIcon tray([] { return false; });
    gw::ui::QtPresentation ui(tray);
    gw::app::ApplicationOptions options;
    options.Power = gw::app::PowerBackend::Simulated;
    options.RefreshSeconds = 1;
    options.WatchHidDevices = false;
    if (service_lock_dir.isEmpty()) {
        options.Watch = target.toStdString();
    } else {
        options.ServiceLockDir = service_lock_dir.toStdString();
        options.ServiceWatch = target.toStdString();
    }
    gw::app::Application app(loop, ui, options, [] { QApplication::quit(); });
    if (app.StartUp() != gw::app::Application::Started::Running) return 1;
    gw::ui::MainWindow window(app.Display(), app.Log(), app, tray, ui.TimedTest());
    ui.AttachWindow(&window);
    window.Restore();
    window.findChild<QTabWidget*>("PC")->setCurrentIndex(1);
    int cycles = 0;
    app.AddModelObserver([&](const gw::app::ModelChange& change) {
        gw::monitor::UpsState state = app.State().Current();
        state.Protection.State = app.Response().State();
        state.Protection.Left = app.Response().SecondsLeft();
        window.ShowState(state);
        window.ShowModel();
        if (change.Kind != gw::app::ModelChange::What::Cycle || ++cycles != 4) return;
        window.grab().save(file);
        QTimer::singleShot(0, [&app] { app.RequestExit(); });
    });
    const int status = QApplication::exec();
    ui.AttachWindow(nullptr);
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 4 && std::string(argv[1]) == "--watch") {
        QApplication qt(argc, argv);
        return TakeWatched(QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3]),
                           argc >= 5 ? QString::fromLocal8Bit(argv[4]) : QString());
    }
    if (argc >= 4 && std::string(argv[1]) == "--states") {
        QApplication qt(argc, argv);
        QDir().mkpath(QString::fromLocal8Bit(argv[2]));
        return TakeStates(QString::fromLocal8Bit(argv[2]), std::atoi(argv[3]),
                          argc >= 5 ? QString::fromLocal8Bit(argv[4]) : QString(),
                          argc >= 6 ? QString::fromLocal8Bit(argv[5]) : QString());
    }
    if (argc < 3) {
        std::cerr
            << "usage: gridwarden-screenshots OUT_DIR COM_PORT\n"
               "       gridwarden-screenshots --states OUT_DIR COM_PORT [UPSSIM [NAME]]\n"
               "       gridwarden-screenshots --watch FILE UPS@HOST:PORT [SERVICE_LOCK_DIR]\n";
        return 2;
    }
    QApplication qt(argc, argv);
    const QString out = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(out);

    gw::ui::QtMainLoop loop;
    gw::ui::TrayIcon tray([] { return false; });
    gw::ui::QtPresentation ui(tray);
    gw::app::ApplicationOptions options;
    options.Power = gw::app::PowerBackend::Simulated;
    options.ComPort = std::atoi(argv[2]);
    options.RefreshSeconds = 1;
    options.WatchHidDevices = false;
    gw::app::Application app(loop, ui, options, [] { QApplication::quit(); });
    if (app.StartUp() != gw::app::Application::Started::Running) return 1;
    gw::ui::MainWindow window(app.Display(), app.Log(), app, tray, ui.TimedTest());
    ui.AttachWindow(&window);
    window.Restore();

    constexpr int kCycles = 14;
    int cycles = 0;
    app.AddModelObserver([&](const gw::app::ModelChange& change) {
        ShowState(app, ui, window, tray);
        // Past the outage that scripts/screenshots has the simulator go through, and past the
        // history's next commit.
        if (change.Kind != gw::app::ModelChange::What::Cycle || ++cycles != kCycles) return;
        auto* pages = window.findChild<QTabWidget*>("PC");
        const char* const kNames[] = {"window-information.png", "window-status.png",
                                      "window-settings.png", "window-history.png"};
        for (int page = 0; page < pages->count() - 1; ++page) {
            pages->setCurrentIndex(page);
            window.grab().save(out + "/" + kNames[page]);
        }
        // The History page reads the file on a pool thread: draw it once that answered.
        pages->setCurrentIndex(pages->count() - 1);
        window.findChild<QAbstractButton*>("HistoryHourRB")->click();
        const QString history_name = out + "/" + kNames[pages->count() - 1];
        QTimer::singleShot(1500, [&window, &app, history_name] {
            window.grab().save(history_name);
            app.RequestExit();
        });
    });
    const int status = QApplication::exec();
    ui.AttachWindow(nullptr);
    return status;
}
