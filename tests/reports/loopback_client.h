// A TCP client on the loopback interface for tests of the servers: raw bytes out, everything
// until the server closes back in. Every wait is bounded, so a server fault fails a test
// instead of hanging it.
#pragma once

#include <arpa/inet.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>

namespace gw::testing {

class LoopbackClient {
public:
    // `from`: the local address to connect from, another of 127.0.0.0/8 to look like another
    // machine; empty: the kernel's choice.
    explicit LoopbackClient(std::uint16_t port, const char* from = nullptr) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (from != nullptr) {
            sockaddr_in local{};
            local.sin_family = AF_INET;
            ::inet_pton(AF_INET, from, &local.sin_addr);
            ::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local);
        }
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~LoopbackClient() { ::close(fd_); }
    bool Connected() const { return connected_; }
    void Send(const std::string& bytes) {
        EXPECT_EQ(::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(bytes.size()));
    }
    // Everything until the server closes; `closed` false when `limit` passed first.
    std::string ReadToEnd(bool& closed, std::chrono::milliseconds limit = std::chrono::seconds(5)) {
        std::string text;
        closed = false;
        pollfd ready{fd_, POLLIN, 0};
        while (::poll(&ready, 1, static_cast<int>(limit.count())) == 1) {
            char chunk[4096];
            const ssize_t got = ::recv(fd_, chunk, sizeof chunk, 0);
            if (got <= 0) {
                closed = true;  // end of stream or reset: either way the server let go
                reset_ = got < 0 && errno == ECONNRESET;
                break;
            }
            text.append(chunk, static_cast<std::size_t>(got));
        }
        return text;
    }

    // What arrives until the text ends with `end` (or the server closes, or `limit` passes).
    std::string ReadUntil(const std::string& end,
                          std::chrono::milliseconds limit = std::chrono::seconds(5)) {
        std::string text;
        pollfd ready{fd_, POLLIN, 0};
        while (text.size() < end.size() ||
               text.compare(text.size() - end.size(), end.size(), end)) {
            if (::poll(&ready, 1, static_cast<int>(limit.count())) != 1) break;
            char chunk[4096];
            const ssize_t got = ::recv(fd_, chunk, sizeof chunk, 0);
            if (got <= 0) break;
            text.append(chunk, static_cast<std::size_t>(got));
        }
        return text;
    }
    // Sends without waiting; false once the socket's buffer is full.
    bool TrySend(const std::string& bytes) {
        return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT) ==
               static_cast<ssize_t>(bytes.size());
    }

    // The last ReadToEnd ended in a reset rather than an orderly close.
    bool Reset() const { return reset_; }
    int Descriptor() const { return fd_; }

private:
    int fd_ = -1;
    bool reset_ = false;
    bool connected_ = false;
};

}  // namespace gw::testing
