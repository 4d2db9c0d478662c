// Takes the README's pictures of the window: runs the program's own start-up against the
// simulated UPS (started by scripts/screenshots), waits for a few readings, and saves each
// page of the window as a PNG. It drives nothing the user could not.
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

    int cycles = 0;
    app.AddModelObserver([&](const gw::app::ModelChange& change) {
        window.ShowModel();
        if (change.Kind != gw::app::ModelChange::What::Cycle || ++cycles != 4) return;
        auto* pages = window.findChild<QTabWidget*>("PC");
        const char* const kNames[] = {"window-information.png", "window-status.png",
                                      "window-settings.png"};
        for (int page = 0; page < pages->count(); ++page) {
            pages->setCurrentIndex(page);
            window.grab().save(out + "/" + kNames[page]);
        }
        QTimer::singleShot(0, [&app] { app.RequestExit(); });
    });
    const int status = QApplication::exec();
    ui.AttachWindow(nullptr);
    return status;
}
