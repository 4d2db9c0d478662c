#include "integration/sim_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "link/port_map.h"

extern char** environ;

namespace gw::testing {

namespace {

pid_t Spawn(const std::vector<std::string>& args, int stdout_fd, bool with_stderr = false) {
    std::vector<char*> argv;
    for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (stdout_fd >= 0) {
        posix_spawn_file_actions_adddup2(&actions, stdout_fd, 1);
        if (with_stderr) posix_spawn_file_actions_adddup2(&actions, stdout_fd, 2);
    } else {
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    }
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

void Stop(pid_t pid) {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    for (int i = 0; i < 100; ++i) {
        if (waitpid(pid, nullptr, WNOHANG) == pid) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

}  // namespace

ScratchHome::ScratchHome() {
    char tmpl[] = "/tmp/gw-it-XXXXXX";
    root_ = mkdtemp(tmpl);
    for (const char* sub : {"/config", "/state", "/runtime"}) {
        std::filesystem::create_directories(root_ + sub);
    }
    setenv("XDG_CONFIG_HOME", (root_ + "/config").c_str(), 1);
    setenv("XDG_STATE_HOME", (root_ + "/state").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", (root_ + "/runtime").c_str(), 1);
}

ScratchHome::~ScratchHome() {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
}

SimulatedUps::SimulatedUps(int com, std::vector<std::string> args) : com_(com) {
    std::vector<std::string> argv = {UPSSIM_PATH, "--com", std::to_string(com)};
    argv.insert(argv.end(), args.begin(), args.end());
    pid_ = Spawn(argv, -1);
    const std::string link = link::PortMapLink(com);
    for (int i = 0; i < 250 && pid_ > 0; ++i) {
        // Not merely a link: LinkAbsentPorts may have left one to a missing path, and a program
        // that opens its port once, as NUT's drivers do, would be handed that.
        std::error_code ignored;
        if (std::filesystem::is_symlink(link, ignored) &&
            std::filesystem::is_character_file(link, ignored)) {
            ready_ = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

SimulatedUps::~SimulatedUps() { Kill(); }

bool SimulatedUps::Send(const std::string& command) {
    const pid_t client = Spawn({UPSSIM_PATH, "--com", std::to_string(com_), "--send", command}, -1);
    int status = 0;
    return client > 0 && waitpid(client, &status, 0) == client && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

void SimulatedUps::Kill() {
    Stop(pid_);
    pid_ = -1;
}

Finished RunProgram(const std::vector<std::string>& args, std::chrono::seconds limit,
                    Streams streams) {
    Finished finished;
    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) != 0) return finished;
    const pid_t pid = Spawn(args, pipe_fds[1], streams == Streams::Both);
    close(pipe_fds[1]);
    const auto deadline = std::chrono::steady_clock::now() + limit;
    char buffer[4096];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            kill(pid, SIGKILL);
            break;
        }
        pollfd pfd{pipe_fds[0], POLLIN, 0};
        if (poll(&pfd, 1, static_cast<int>(left.count())) <= 0) continue;
        const ssize_t n = read(pipe_fds[0], buffer, sizeof buffer);
        if (n <= 0) break;
        finished.Output.append(buffer, static_cast<std::size_t>(n));
    }
    close(pipe_fds[0]);
    int status = 0;
    if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status)) {
        finished.ExitStatus = WEXITSTATUS(status);
    }
    return finished;
}

void LinkAbsentPorts() {
    std::filesystem::create_directories(link::PortMapDir());
    for (int port = link::kFirstComPort; port <= link::kLastComPort; ++port) {
        const std::string path = link::PortMapLink(port);
        if (!std::filesystem::is_symlink(path)) {
            std::filesystem::create_symlink("/nonexistent/ttyGW" + std::to_string(port), path);
        }
    }
}

void WriteSettings(const std::vector<std::pair<std::string, std::string>>& values) {
    const char* config = getenv("XDG_CONFIG_HOME");
    const std::string dir = std::string(config ? config : "/tmp") + "/Tallowmere";
    std::filesystem::create_directories(dir);
    WriteSettingsFile(dir + "/Gridwarden.conf", values);
}

void WriteSettingsFile(const std::string& path,
                       const std::vector<std::pair<std::string, std::string>>& values) {
    std::ofstream file(path);
    file << "[General]\n";
    for (const auto& [name, value] : values) {
        std::string key;
        for (char c : name) key += c == ' ' ? std::string("%20") : std::string(1, c);
        file << key << "=" << value << "\n";
    }
}

BackgroundProgram::BackgroundProgram(const std::vector<std::string>& args) {
    char tmpl[] = "/tmp/gw-out-XXXXXX";
    const int fd = mkstemp(tmpl);
    output_path_ = tmpl;
    pid_ = Spawn(args, fd, true);
    close(fd);
}

BackgroundProgram::~BackgroundProgram() {
    Stop();
    unlink(output_path_.c_str());
}

std::string BackgroundProgram::Output() const {
    std::ifstream file(output_path_);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

bool BackgroundProgram::WaitFor(const std::string& text, std::chrono::seconds limit) const {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (Output().find(text) != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

int BackgroundProgram::Stop() {
    if (pid_ <= 0) return exit_status_;
    kill(pid_, SIGTERM);
    int status = 0;
    for (int i = 0; i < 200; ++i) {
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            exit_status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            pid_ = -1;
            return exit_status_;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
    return exit_status_;
}

int FreePort() {
    // Below the kernel's ephemeral range (32768 up): a port from there may be taken as the local
    // end of any outgoing connection between this check and the server's bind, and the tests
    // that flood a server open a thousand of those.
    static std::random_device seed;
    static std::mt19937 pick(seed());
    std::uniform_int_distribution<int> ports(20000, 32000);
    for (int attempt = 0; attempt < 200; ++attempt) {
        const int port = ports(pick);
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        const bool free = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        ::close(fd);
        if (free) return port;
    }
    return 0;
}

bool Listening(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    const bool up = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return up;
}

}  // namespace gw::testing
