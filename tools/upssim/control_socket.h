// The control socket: a Unix stream socket that takes one scenario command
// per line and answers with zero or more lines of detail followed by "ok" or
// "error: <why>".
//
// The server runs on the simulator's single thread, driven by the caller's
// poll(2); the client call is blocking with a deadline.
#pragma once

#include <poll.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace gw::upssim {

// $XDG_RUNTIME_DIR/gridwarden-upssim-COM<n>.sock, or
// /tmp/gridwarden-upssim-<uid>-COM<n>.sock without a runtime folder.
std::string ControlSocketPath(int com_port);

class ControlServer {
public:
    // The handler gets one line without its end and returns the whole answer,
    // final "ok"/"error: ..." line included, each line ending in "\n".
    using Handler = std::function<std::string(const std::string& line)>;

    static constexpr std::size_t kMaxClients = 16;
    static constexpr std::size_t kMaxLineLength = 1024;

    // Fails when another simulator answers on `path`; a socket left behind by
    // a dead one is replaced.
    static std::unique_ptr<ControlServer> Listen(const std::string& path, std::string& error);
    ~ControlServer();
    ControlServer(const ControlServer&) = delete;
    ControlServer& operator=(const ControlServer&) = delete;

    // Appends the descriptors to wait on; Service() expects the same entries
    // back, starting at `first`, after poll(2) filled in their revents.
    void AddPollFds(std::vector<pollfd>& fds) const;
    void Service(const std::vector<pollfd>& fds, std::size_t first, const Handler& handler);

private:
    struct Client {
        int fd;
        std::string in;
        std::string out;
        bool closing = false;  // close once `out` is sent
    };

    ControlServer(int fd, std::string path, ino_t inode);
    void Accept();
    void ReadFrom(Client& client, const Handler& handler);
    void WriteTo(Client& client);

    int listen_fd_;
    std::string path_;
    ino_t inode_;
    std::vector<Client> clients_;
};

// Sends one command to a running simulator and collects its answer up to and
// including the final line. Returns 0 for "ok", 1 for "error: ...", 2 when
// no simulator could be reached or it did not answer in time (`answer` then
// holds the reason).
int SendControlCommand(const std::string& path, const std::string& command, std::string& answer,
                       std::chrono::milliseconds deadline = std::chrono::seconds(5));

}  // namespace gw::upssim
