// Child processes for the integration tests: the simulated UPS in a private
// settings folder, and a command whose output is collected.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace gw::testing {

// A private XDG folder set for this process and its children; removed at
// the end.
class ScratchHome {
public:
    ScratchHome();
    ~ScratchHome();
    const std::string& Root() const { return root_; }

private:
    std::string root_;
};

class SimulatedUps {
public:
    // Starts gridwarden-upssim with `args` and waits until COMn is linked.
    explicit SimulatedUps(int com, std::vector<std::string> args = {});
    ~SimulatedUps();
    bool Ready() const { return ready_; }
    // One control command through the simulator's own client mode.
    bool Send(const std::string& command);
    void Kill();

private:
    int com_;
    pid_t pid_ = -1;
    bool ready_ = false;
};

struct Finished {
    int ExitStatus = -1;
    std::string Output;  // standard output
};

// Runs a program to its end (killed after `limit`), collecting its output.
Finished RunProgram(const std::vector<std::string>& args, std::chrono::seconds limit);

}  // namespace gw::testing
