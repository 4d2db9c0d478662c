// Gridwarden with its window: the Qt application, the window and the tray around the same
// start-up, monitoring and close as the headless runner.
#pragma once

#include "app/headless.h"

namespace gw::ui {

// Runs until Exit, a signal or the end of the session; returns the exit status. A second
// copy ends with 0 at once and shows nothing.
int RunWindow(int& argc, char** argv, const app::HeadlessOptions& options);

}  // namespace gw::ui
