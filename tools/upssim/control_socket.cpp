#include "control_socket.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace gw::upssim {

namespace {

std::string ErrnoText(const std::string& what) { return what + ": " + std::strerror(errno); }

bool FillAddress(const std::string& path, sockaddr_un& address, std::string& error) {
    address = {};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        error = "socket path too long: " + path;
        return false;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

bool IsFinalLine(const std::string& line) { return line == "ok" || line.rfind("error:", 0) == 0; }

}  // namespace

std::string ControlSocketPath(int com_port) {
    const std::string name = "COM" + std::to_string(com_port) + ".sock";
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR");
        runtime != nullptr && runtime[0] == '/') {
        return std::string(runtime) + "/gridwarden-upssim-" + name;
    }
    return "/tmp/gridwarden-upssim-" + std::to_string(getuid()) + "-" + name;
}

std::unique_ptr<ControlServer> ControlServer::Listen(const std::string& path, std::string& error) {
    sockaddr_un address;
    if (!FillAddress(path, address, error)) {
        return nullptr;
    }
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            error = path + " exists and is not a socket";
            return nullptr;
        }
        const int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const bool alive = probe >= 0 && connect(probe, reinterpret_cast<const sockaddr*>(&address),
                                                 sizeof address) == 0;
        if (probe >= 0) {
            close(probe);
        }
        if (alive) {
            error = "another simulator is running on " + path;
            return nullptr;
        }
        unlink(path.c_str());  // left by a simulator that died
    }
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = ErrnoText("socket");
        return nullptr;
    }
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd, 8) != 0) {
        error = ErrnoText("bind " + path);
        close(fd);
        return nullptr;
    }
    stat(path.c_str(), &st);
    return std::unique_ptr<ControlServer>(new ControlServer(fd, path, st.st_ino));
}

ControlServer::ControlServer(int fd, std::string path, ino_t inode)
    : listen_fd_(fd), path_(std::move(path)), inode_(inode) {}

ControlServer::~ControlServer() {
    for (const Client& client : clients_) {
        close(client.fd);
    }
    close(listen_fd_);
    struct stat st {};
    if (lstat(path_.c_str(), &st) == 0 && st.st_ino == inode_) {
        unlink(path_.c_str());
    }
}

void ControlServer::AddPollFds(std::vector<pollfd>& fds) const {
    fds.push_back({listen_fd_, POLLIN, 0});
    for (const Client& client : clients_) {
        short events = client.out.empty() ? POLLIN : POLLOUT;
        fds.push_back({client.fd, events, 0});
    }
}

void ControlServer::Service(const std::vector<pollfd>& fds, std::size_t first,
                            const Handler& handler) {
    const bool incoming = (fds[first].revents & POLLIN) != 0;
    // Clients line up with the entries after the listener; a client accepted
    // below has no entry yet and waits for the next round.
    const std::size_t polled = std::min(clients_.size(), fds.size() - first - 1);
    for (std::size_t i = 0; i < polled; ++i) {
        const short revents = fds[first + 1 + i].revents;
        Client& client = clients_[i];
        if ((revents & POLLOUT) != 0) {
            WriteTo(client);
        } else if ((revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            ReadFrom(client, handler);
        }
    }
    clients_.erase(
        std::remove_if(clients_.begin(), clients_.end(), [](const Client& c) { return c.fd < 0; }),
        clients_.end());
    if (incoming) {
        Accept();
    }
}

void ControlServer::Accept() {
    for (;;) {
        const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            return;  // EAGAIN, or a client that left at once
        }
        if (clients_.size() >= kMaxClients) {
            const char busy[] = "error: too many control clients\n";
            send(fd, busy, sizeof busy - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
            close(fd);
            continue;
        }
        clients_.push_back(Client{fd, {}, {}, false});
    }
}

void ControlServer::ReadFrom(Client& client, const Handler& handler) {
    char buffer[512];
    const ssize_t n = recv(client.fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        return;
    }
    if (n <= 0) {
        close(client.fd);
        client.fd = -1;
        return;
    }
    if (client.closing) {
        return;  // past an oversized line: ignore the rest
    }
    client.in.append(buffer, static_cast<std::size_t>(n));
    std::size_t end;
    while ((end = client.in.find('\n')) != std::string::npos) {
        std::string line = client.in.substr(0, end);
        client.in.erase(0, end + 1);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        client.out += handler(line);
    }
    if (client.in.size() > kMaxLineLength) {
        client.in.clear();
        client.out += "error: line too long\n";
        client.closing = true;
    }
    WriteTo(client);
}

void ControlServer::WriteTo(Client& client) {
    while (!client.out.empty()) {
        const ssize_t n =
            send(client.fd, client.out.data(), client.out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            return;
        }
        if (n <= 0) {
            close(client.fd);
            client.fd = -1;
            return;
        }
        client.out.erase(0, static_cast<std::size_t>(n));
    }
    if (client.closing) {
        close(client.fd);
        client.fd = -1;
    }
}

int SendControlCommand(const std::string& path, const std::string& command, std::string& answer,
                       std::chrono::milliseconds deadline) {
    sockaddr_un address;
    if (!FillAddress(path, address, answer)) {
        return 2;
    }
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        answer = ErrnoText("socket");
        return 2;
    }
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        answer = ErrnoText("no simulator answers on " + path);
        close(fd);
        return 2;
    }
    const std::string line = command + "\n";
    if (send(fd, line.data(), line.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(line.size())) {
        answer = ErrnoText("send");
        close(fd);
        return 2;
    }
    const auto until = std::chrono::steady_clock::now() + deadline;
    std::string received;
    for (;;) {
        // The final line decides; everything before it is detail.
        std::size_t start = 0;
        std::size_t end;
        while ((end = received.find('\n', start)) != std::string::npos) {
            const std::string text = received.substr(start, end - start);
            if (IsFinalLine(text)) {
                answer = received.substr(0, end + 1);
                close(fd);
                return text == "ok" ? 0 : 1;
            }
            start = end + 1;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            until - std::chrono::steady_clock::now());
        pollfd pfd{fd, POLLIN, 0};
        const int ready = left.count() > 0 ? poll(&pfd, 1, static_cast<int>(left.count())) : 0;
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        char buffer[1024];
        const ssize_t n = ready > 0 ? recv(fd, buffer, sizeof buffer, 0) : -1;
        if (n <= 0) {
            answer = received + "error: no complete answer from " + path + "\n";
            close(fd);
            return 2;
        }
        received.append(buffer, static_cast<std::size_t>(n));
    }
}

}  // namespace gw::upssim
