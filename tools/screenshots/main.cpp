// Takes the README's pictures of the window: runs the program's own start-up against the
// simulated UPS (started by scripts/screenshots), waits for a few readings, and saves each
// page of the window as a PNG, the History page last. It drives nothing the user could not.
#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QTabWidget>
#include <QTimer>
#include <iostream>

#include "app/application.h"
#include "ui/main_window.h"
#include "ui/qt_main_loop.h"
#include "ui/qt_presentation.h"
#include "ui/tray_icon.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::cerr << "usage: gridwarden-screenshots OUT_DIR COM_PORT\n";
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
        window.ShowModel();
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
