// Child processes for the integration tests: the simulated UPS in a private
// settings folder, and a command whose output is collected.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <utility>
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
    // Starts gridwarden-upssim with `args` and waits until COMn leads to its pseudo-terminal.
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

enum class Streams { Output, Both };

// Runs a program to its end (killed after `limit`), collecting its standard output, or with
// Streams::Both its standard error too, in one text.
Finished RunProgram(const std::vector<std::string>& args, std::chrono::seconds limit,
                    Streams streams = Streams::Output);

// Points every COMn without a link at a path that does not exist, so that the machine's own
// serial ports play no part in a scan.
void LinkAbsentPorts();

// A loopback port nobody listens on at this moment.
int FreePort();
// Whether something accepts connections on the loopback `port` now.
bool Listening(int port);

// Writes the settings file the program reads ($XDG_CONFIG_HOME/Tallowmere/Gridwarden.conf).
void WriteSettings(const std::vector<std::pair<std::string, std::string>>& values);
// Writes `values` as a settings file at `path`, for a program given --settings.
void WriteSettingsFile(const std::string& path,
                       const std::vector<std::pair<std::string, std::string>>& values);

// A program left running, its standard output and error collected in a file.
class BackgroundProgram {
public:
    explicit BackgroundProgram(const std::vector<std::string>& args);
    ~BackgroundProgram();
    BackgroundProgram(const BackgroundProgram&) = delete;
    BackgroundProgram& operator=(const BackgroundProgram&) = delete;
    std::string Output() const;
    // True once `text` has appeared in the output.
    bool WaitFor(const std::string& text, std::chrono::seconds limit) const;
    // SIGTERM, then its exit status (-1 when a signal ended it).
    int Stop();

private:
    pid_t pid_ = -1;
    int exit_status_ = -1;
    std::string output_path_;
};

}  // namespace gw::testing
