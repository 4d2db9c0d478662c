// The daemon: the headless runner alone, linking no GUI library and not Qt at all, for servers
// and the system service. It reads and writes the same settings file as the window program.
#include "app/headless.h"
#include "app/process_setup.h"
#include "entry/command_line.h"

int main(int argc, char** argv) {
    gw::app::PrepareProcess();
    gw::entry::CommandLine line;
    if (auto status = gw::entry::ParseCommandLine(argc, argv, gw::entry::Program::Daemon, line)) {
        return *status;
    }
    return gw::app::RunHeadless(line.Options);
}
