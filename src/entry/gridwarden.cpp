// The window program: the window when there is a display, else (or with --headless) the same
// run without one. Settings go through Qt's own store, as they always have.
#include <cstdlib>

#include "app/headless.h"
#include "app/process_setup.h"
#include "app/settings_store.h"
#include "entry/command_line.h"
#include "ui/window_runner.h"

namespace {

// The window needs a display; without one (a server, a service, a test run) the program runs
// headless rather than fail to start.
bool DisplayAvailable() {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && *value != '\0') return true;
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    gw::app::PrepareProcess();
    gw::entry::CommandLine line;
    if (auto status = gw::entry::ParseCommandLine(argc, argv, gw::entry::Program::Window, line)) {
        return *status;
    }
    line.Options.OpenStore = gw::app::OpenQtSettingsStore;
    line.Options.ManageAutostart = true;
    if (line.Headless || !DisplayAvailable()) return gw::app::RunHeadless(line.Options);
    return gw::ui::RunWindow(argc, argv, line.Options);
}
