// The network UPS protocol server: listens on one address and port and answers each line of
// each connection with AnswerNutLine, from the copy the main thread last published. Counts the
// connections logged in as secondaries, which the power-fail response waits for.
//
// A connection that is not logged in is closed after kIdleLimit without a line; an answer the
// client does not take within kWriteDeadline closes it too. Beyond kMaxConnections a new one is
// closed at once; a line longer than kMaxLine is answered "ERR TOO-LONG" and closed.
//
// Thread rule: Start, Stop, Running and Port on the main thread (the owner's); the pool's
// threads only read the source. Logins on any thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "reports/nut_protocol.h"
#include "reports/shared_copy.h"

namespace gw::reports {

class TcpPool;
using NutSource = SharedCopy<NutState>;

class NutServer {
public:
    static constexpr std::chrono::seconds kIdleLimit{20};
    static constexpr std::chrono::seconds kWriteDeadline{10};
    static constexpr std::size_t kMaxConnections = 32;
    static constexpr std::size_t kMaxLine = 512;
    static constexpr std::chrono::seconds kStopWait{2};
    // One: a flood of requests then loads one core at most, and the polling thread (which runs
    // only when nothing else wants a processor) keeps the other. Two threads served about as
    // many requests but let a flood delay a poll cycle by seconds.
    static constexpr int kThreads = 1;

    // The bounds a client meets; tests shrink them.
    struct Limits {
        std::chrono::milliseconds IdleLimit = kIdleLimit;
        std::chrono::milliseconds WriteDeadline = kWriteDeadline;
        std::size_t MaxConnections = kMaxConnections;
    };

    // `source` outlives this.
    explicit NutServer(const NutSource& source) : NutServer(source, Limits{}) {}
    NutServer(const NutSource& source, Limits limits);
    ~NutServer();
    NutServer(const NutServer&) = delete;
    NutServer& operator=(const NutServer&) = delete;

    // Stops a running server, then listens on `address` (dotted IPv4) and `port` (0: a free
    // one). Empty on success, else the reason; the server is then stopped.
    std::string Start(const std::string& address, std::uint16_t port);
    // Closes every connection (the secondaries count as gone) and the listening socket.
    void Stop();
    bool Running() const { return pool_ != nullptr; }
    std::uint16_t Port() const;
    // Connections logged in right now.
    int Logins() const { return logins_.load(); }

private:
    const NutSource& source_;
    Limits limits_;
    std::atomic<int> logins_{0};
    std::unique_ptr<TcpPool> pool_;
};

}  // namespace gw::reports
