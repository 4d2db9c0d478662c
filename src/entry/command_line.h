// The command line both programs share: the window program (which may also run headless) and
// the daemon, which is always headless and links no GUI.
//
// Thread rule: main thread, before anything starts.
#pragma once

#include <optional>

#include "app/headless.h"

namespace gw::entry {

enum class Program { Window, Daemon };

struct CommandLine {
    app::HeadlessOptions Options;
    bool Headless = false;  // --headless (the window program only)
};

// Fills `line` from argv. An exit status when the program must end now: 0 after --help or
// --version, 2 after a bad argument (the usage text printed).
std::optional<int> ParseCommandLine(int argc, char** argv, Program program, CommandLine& line);

}  // namespace gw::entry
