// Gridwarden without a window: the same link, polling and log, printed to
// standard output. For servers, scripts, tests and benchmarks.
#pragma once

#include <string>

namespace gw::app {

struct HeadlessOptions {
    int ComPort = 1;
    int RefreshSeconds = 1;
    bool PrintReplies = false;
    bool StatusJson = false;  // one JSON object per evaluation on standard output
    int Cycles = 0;  // end after this many polling cycles; 0 = until a signal
    std::string JournalDir;  // empty: the default place
};

// Runs until SIGINT/SIGTERM (or the cycle count); returns the exit status.
int RunHeadless(const HeadlessOptions& options);

}  // namespace gw::app
