// gridwarden-upssim: a simulated UPS on a pseudo-terminal, published as COMn.
//
// One thread, one ppoll(2) loop over the pty, the control socket and its
// clients, stdin and a signal pipe, waking at least every kTick to move the
// model's clock and the script on.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "control_socket.h"
#include "link/port_map.h"
#include "options.h"
#include "pty_port.h"
#include "scenario.h"
#include "simulated_ups.h"

namespace gw::upssim {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kTick = std::chrono::milliseconds(100);
constexpr auto kPortRetry = std::chrono::milliseconds(100);

int signal_pipe[2] = {-1, -1};

void OnSignal(int signo) {
    const int saved = errno;
    const char byte = static_cast<char>(signo);
    [[maybe_unused]] const ssize_t n = write(signal_pipe[1], &byte, 1);
    errno = saved;
}

bool InstallSignals(std::string& error) {
    if (pipe2(signal_pipe, O_NONBLOCK | O_CLOEXEC) != 0) {
        error = "pipe2 failed";
        return false;
    }
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    for (int signo : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(signo, &action, nullptr);
    }
    signal(SIGPIPE, SIG_IGN);
    // Started in the background from a terminal, reading it must not stop us.
    signal(SIGTTIN, SIG_IGN);
    return true;
}

void Say(const std::string& text) {
    std::fputs(("upssim: " + text + "\n").c_str(), stdout);
    std::fflush(stdout);
}

// Splits bytes into lines; what follows the last newline waits for more.
class LineBuffer {
public:
    template <typename F>
    void Feed(const char* data, std::size_t size, F&& on_line) {
        pending_.append(data, size);
        std::size_t end;
        while ((end = pending_.find('\n')) != std::string::npos) {
            on_line(pending_.substr(0, end));
            pending_.erase(0, end + 1);
        }
        if (pending_.size() > ControlServer::kMaxLineLength) {
            pending_.clear();
        }
    }

private:
    std::string pending_;
};

class Simulator {
public:
    Simulator(const Options& options, PtyPort& port)
        : port_(port),
          ups_(options.ups),
          time_scale_(options.time_scale),
          output_(options.pace ? OutputQueue::k2400BaudByte : std::chrono::nanoseconds(0)),
          last_advance_(Clock::now()) {}

    void SetScript(std::vector<ScriptLine> lines) {
        script_.emplace(std::move(lines), Clock::now());
    }

    // Runs one command from any source; returns the answer for a control
    // client.
    std::string Run(const ScenarioCommand& command) {
        if (command.action == Action::Quit) {
            Say(command.text);
            quit_ = true;
            return "ok\n";
        }
        if (command.action == Action::TimeScale) {
            AdvanceClock();  // what passed so far, at the old pace
            time_scale_ = command.value;
            Say(command.text);
            return "ok\n";
        }
        const ScenarioOutcome outcome = ApplyScenario(ups_, command);
        if (!outcome.ok) {
            Say(command.text + ": error: " + outcome.detail);
            return "error: " + outcome.detail + "\n";
        }
        std::string detail = outcome.detail;
        if (detail.empty()) {
            Say(command.text);
            return "ok\n";
        }
        if (detail.back() != '\n') {
            detail += '\n';
        }
        if (detail.find('\n') + 1 == detail.size()) {
            Say(command.text + ": " + detail.substr(0, detail.size() - 1));
        } else {
            Say(command.text);
            std::fputs(detail.c_str(), stdout);
            std::fflush(stdout);
        }
        return detail + "ok\n";
    }

    std::string RunLine(const std::string& line) {
        ParsedLine parsed = ParseScenarioLine(line);
        if (!parsed.error.empty()) {
            Say("error: " + parsed.error);
            return "error: " + parsed.error + "\n";
        }
        if (!parsed.command) {
            return "ok\n";  // blank or comment
        }
        return Run(*parsed.command);
    }

    int Loop(ControlServer& control, bool read_stdin) {
        bool stdin_open = read_stdin;
        LineBuffer stdin_lines;
        Clock::time_point port_paused_until{};
        while (!quit_) {
            const Clock::time_point now = Clock::now();
            Clock::time_point wake = now + kTick;
            if (auto next = output_.NextWrite()) wake = std::min(wake, *next);
            if (script_) {
                if (auto next = script_->NextDue()) wake = std::min(wake, *next);
            }

            std::vector<pollfd> fds;
            fds.push_back({signal_pipe[0], POLLIN, 0});
            const bool port_polled = now >= port_paused_until;
            fds.push_back({port_polled ? port_.MasterFd() : -1,
                           static_cast<short>(POLLIN | (output_.WaitsForPort() ? POLLOUT : 0)), 0});
            fds.push_back({stdin_open ? STDIN_FILENO : -1, POLLIN, 0});
            const std::size_t control_first = fds.size();
            control.AddPollFds(fds);

            const auto wait = std::chrono::duration_cast<std::chrono::nanoseconds>(
                std::max(Clock::duration::zero(), wake - now));
            const timespec timeout{static_cast<time_t>(wait.count() / 1'000'000'000),
                                   static_cast<long>(wait.count() % 1'000'000'000)};
            const int ready = ppoll(fds.data(), fds.size(), &timeout, nullptr);
            if (ready < 0 && errno != EINTR) {
                Say(std::string("poll failed: ") + std::strerror(errno));
                return 1;
            }
            AdvanceClock();
            if (ready > 0) {
                if (fds[0].revents != 0) {
                    char signo = 0;
                    while (read(signal_pipe[0], &signo, 1) == 1) {
                        Say(std::string("signal ") + strsignal(signo) + ", leaving");
                        quit_ = true;
                    }
                }
                const short port_events = fds[1].revents;
                if ((port_events & (POLLIN | POLLHUP | POLLERR)) != 0) {
                    const ssize_t got = ServePort();
                    // A port that reports trouble but yields nothing would
                    // spin the loop: leave it alone for a moment.
                    if (got < 0 || (got == 0 && (port_events & (POLLHUP | POLLERR)) != 0)) {
                        port_paused_until = Clock::now() + kPortRetry;
                    }
                }
                if (fds[2].revents != 0) {
                    stdin_open = ReadStdin(stdin_lines);
                }
                control.Service(fds, control_first,
                                [this](const std::string& line) { return RunLine(line); });
            }
            RunScript();
            Flush();
            PrintEvents();
        }
        Flush();
        return 0;
    }

private:
    void AdvanceClock() {
        const Clock::time_point now = Clock::now();
        const std::chrono::duration<double> real = now - last_advance_;
        last_advance_ = now;
        ups_.Advance(real.count() * time_scale_);
    }

    // Reads what the client wrote, a bounded amount per round so that a
    // flood cannot starve the clock; returns the byte count or -1 when the
    // port failed.
    ssize_t ServePort() {
        constexpr int kMaxReadsPerRound = 16;
        char buffer[256];
        std::string error;
        ssize_t total = 0;
        for (int i = 0; i < kMaxReadsPerRound; ++i) {
            const ssize_t n = port_.Read(buffer, sizeof buffer, error);
            if (n < 0) {
                if (!port_error_reported_) {
                    Say(error);
                    port_error_reported_ = true;
                }
                return -1;
            }
            if (n == 0) {
                break;
            }
            total += n;
            const std::string reply =
                ups_.Receive(std::string_view(buffer, static_cast<std::size_t>(n)));
            if (!reply.empty()) {
                output_.Append(reply, Clock::now());
            }
        }
        return total;
    }

    bool ReadStdin(LineBuffer& lines) {
        char buffer[512];
        const ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
            return true;
        }
        if (n <= 0) {
            return false;  // end of input: keep serving
        }
        lines.Feed(buffer, static_cast<std::size_t>(n),
                   [this](const std::string& line) { RunLine(line); });
        return true;
    }

    void RunScript() {
        if (!script_) {
            return;
        }
        for (const ScenarioCommand& command : script_->TakeDue(Clock::now())) {
            Run(command);
            if (quit_) {
                return;
            }
        }
    }

    void Flush() {
        std::string error;
        if (!output_.Flush(port_, Clock::now(), error)) {
            Say(error);
        }
    }

    void PrintEvents() {
        for (const std::string& event : ups_.TakeEvents()) {
            Say(event);
        }
    }

    PtyPort& port_;
    SimulatedUps ups_;
    double time_scale_;  // simulated seconds per real second
    OutputQueue output_;
    std::optional<ScriptRunner> script_;
    Clock::time_point last_advance_;
    bool quit_ = false;
    bool port_error_reported_ = false;
};

std::optional<std::vector<ScriptLine>> LoadScript(const std::string& path, std::string& error) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        error = "cannot read " + path;
        return std::nullopt;
    }
    std::ostringstream text;
    text << file.rdbuf();
    auto lines = ParseScript(text.str(), error);
    if (!lines) {
        error = path + ": " + error;
    }
    return lines;
}

int Main(int argc, char** argv) {
    std::string error;
    const auto options = ParseOptions(std::vector<std::string>(argv + 1, argv + argc), error);
    if (!options) {
        std::cerr << "gridwarden-upssim: " << error << "\n" << Usage();
        return 2;
    }
    if (options->help) {
        std::cout << Usage() << "\nControl commands:\n" << ScenarioHelp();
        return 0;
    }
    const std::string socket_path = ControlSocketPath(options->com_port);
    if (options->send) {
        std::string answer;
        const int rc = SendControlCommand(socket_path, *options->send, answer);
        (rc == 2 ? std::cerr : std::cout)
            << answer << (answer.empty() || answer.back() == '\n' ? "" : "\n");
        return rc;
    }

    std::optional<std::vector<ScriptLine>> script;
    if (!options->script_path.empty() && !(script = LoadScript(options->script_path, error))) {
        std::cerr << "gridwarden-upssim: " << error << "\n";
        return 2;
    }
    if (!InstallSignals(error)) {
        std::cerr << "gridwarden-upssim: " << error << "\n";
        return 1;
    }
    auto control = ControlServer::Listen(socket_path, error);
    if (!control) {
        std::cerr << "gridwarden-upssim: " << error << "\n";
        return 1;
    }
    auto port = PtyPort::Open(error);
    if (!port) {
        std::cerr << "gridwarden-upssim: " << error << "\n";
        return 1;
    }
    const std::string link = gw::link::PortMapLink(options->com_port);
    if (!PublishLink(link, port->SlavePath(), error)) {
        std::cerr << "gridwarden-upssim: " << error << "\n";
        return 1;
    }
    Say("COM" + std::to_string(options->com_port) + " -> " + port->SlavePath());

    Simulator simulator(*options, *port);
    if (script) {
        simulator.SetScript(std::move(*script));
    }
    // A terminal is read only while we are in its foreground: the operator's.
    const bool read_stdin =
        options->read_stdin || (isatty(STDIN_FILENO) == 1 && tcgetpgrp(STDIN_FILENO) == getpgrp());
    const int rc = simulator.Loop(*control, read_stdin);
    WithdrawLink(link, port->SlavePath());
    return rc;
}

}  // namespace
}  // namespace gw::upssim

int main(int argc, char** argv) { return gw::upssim::Main(argc, argv); }
