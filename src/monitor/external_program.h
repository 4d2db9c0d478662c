// The program the user chose to run before the computer is shut down: started without a shell,
// detached from us, and waited for without holding up the main loop.
//
// Thread rule: start and destroy on the main thread; the end is reported there too.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "link/main_loop.h"

namespace gw::monitor {

// How a program ended. `Known` is false when something else reaped it first (SIGCHLD ignored,
// for instance); it has ended all the same.
struct ProgramEnd {
    bool Known = false;
    int ExitCode = -1;  // when it exited
    int Signal = 0;     // when a signal ended it
};

using ProgramEndHandler = std::function<void(const ProgramEnd&)>;

// A started program. Destroying this stops watching it, never the program: a script that is
// saving the user's work when we close must be allowed to finish. After destruction the end
// handler is not called, so its owner may capture `this`.
class RunningProgram {
public:
    virtual ~RunningProgram() = default;
    virtual int Pid() const = 0;
};

// The seam the power-fail response starts its program through.
class ProgramLauncher {
public:
    virtual ~ProgramLauncher() = default;
    // Null with `error` set (the OS text, e.g. "No such file or directory") when the program
    // could not be started; failures of exec in the child count too. Otherwise `on_end` is
    // posted once to the main loop when the program ends.
    virtual std::unique_ptr<RunningProgram> Start(const std::string& path, ProgramEndHandler on_end,
                                                  std::string& error) = 0;
};

// Runs `path` as it is (an executable or a script with "#!"): no shell, no arguments, argv[0] the
// path; its working folder the path's folder part (up to the last '/'); in a new session; at the
// lowest priority (nice 19); stdin from /dev/null, stdout and stderr ours, no other descriptor.
// The returned object must go before `loop` does.
std::unique_ptr<RunningProgram> StartExternalProgram(const std::string& path,
                                                     ProgramEndHandler on_end, link::MainLoop& loop,
                                                     std::string& error);

// StartExternalProgram behind the seam.
std::unique_ptr<ProgramLauncher> MakeProgramLauncher(link::MainLoop& loop);

}  // namespace gw::monitor
