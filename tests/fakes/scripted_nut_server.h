// A network UPS server of the tests' own: a loopback port whose answer to each line is a
// function of the line (empty: no answer at all), keeping every line it was sent. One
// connection at a time, on a thread of its own.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace gw::fakes {

class ScriptedServer {
public:
    explicit ScriptedServer(std::function<std::string(const std::string&)> answer)
        : answer_(std::move(answer)) {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        socklen_t length = sizeof address;
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        listen(listener_, 4);
        thread_ = std::thread([this] { Serve(); });
    }
    ~ScriptedServer() {
        stopping_ = true;
        shutdown(listener_, SHUT_RDWR);
        close(listener_);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (client_ >= 0) shutdown(client_, SHUT_RDWR);
        }
        thread_.join();
    }
    std::uint16_t Port() const { return port_; }
    std::vector<std::string> Lines() {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }

private:
    void Serve() {
        while (!stopping_) {
            const int client = accept(listener_, nullptr, nullptr);
            if (client < 0) return;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                client_ = client;
            }
            std::string pending;
            char buffer[512];
            for (ssize_t n; (n = read(client, buffer, sizeof buffer)) > 0;) {
                pending.append(buffer, static_cast<std::size_t>(n));
                for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
                    const std::string line = pending.substr(0, end);
                    pending.erase(0, end + 1);
                    {
                        std::lock_guard<std::mutex> lock(mutex_);
                        lines_.push_back(line);
                    }
                    const std::string reply = answer_(line);
                    if (!reply.empty()) (void)!write(client, reply.data(), reply.size());
                }
            }
            std::lock_guard<std::mutex> lock(mutex_);
            close(client);
            client_ = -1;
        }
    }

    std::function<std::string(const std::string&)> answer_;
    int listener_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
    std::mutex mutex_;
    int client_ = -1;
    std::vector<std::string> lines_;
};

}  // namespace gw::fakes
