// The network UPS protocol server: listens on one address and port and answers each line of
// each connection with AnswerNutLine, from the copy the main thread last published. Counts the
// connections logged in as secondaries, which the power-fail response waits for.
//
// A connection that is not logged in is closed after kIdleLimit without a valid command; an
// answer the client does not take within kWriteDeadline closes it too. Logged-in secondaries
// always have room: when all kMaxConnections slots (fewer when the limit of open files is low)
// or an address's kMaxPerAddress are taken, a newcomer takes the slot of the connection that
// has not logged in and has been idle longest, an anonymous one before one that has given a
// name or password (a secondary logging in), and only when every slot is logged in is it
// closed at once. A line longer than kMaxLine is answered "ERR TOO-LONG" and closed. LOGIN
// and INSTCMD take their turn in a LoginThrottle per address. An accepted instant command goes
// to the command sink, on the connection's thread; the owner takes it to its own.
//
// Two servers (a listener on the loopback address beside the configured one) may share one
// roster, so that each counts and lists the secondaries of both.
//
// Thread rule: Start, Stop, Running, Port, SetCommandSink and TakeFailedLoginReports on the
// main thread (the owner's); the pool's threads only read the source, call the sink and use the
// throttle and the roster. Logins on any thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "reports/login_throttle.h"
#include "reports/nut_protocol.h"
#include "reports/shared_copy.h"

namespace gw::reports {

class TcpPool;
using NutSource = SharedCopy<NutState>;

// The connections logged in: their count, read on every answer, and their addresses, for
// LIST CLIENT. Any thread.
class NutRoster final : public NutClients {
public:
    void Add(const std::string& address);
    void Remove(const std::string& address);
    int Logins() const override { return count_.load(); }
    std::vector<std::string> Addresses() const override;

private:
    mutable std::mutex mutex_;
    std::vector<std::string> addresses_;
    std::atomic<int> count_{0};
};

class NutServer {
public:
    // Client sessions that poll seldom keep their connection, as upsd keeps them; a crowd of
    // idle ones is bounded by the slots instead.
    static constexpr std::chrono::minutes kIdleLimit{5};
    static constexpr std::chrono::seconds kWriteDeadline{10};
    static constexpr std::size_t kMaxConnections = 32;
    // Half the slots: one machine cannot push every other one's idle connections out.
    static constexpr std::size_t kMaxPerAddress = 16;
    // Its share of the descriptors the servers may take (see BoundByDescriptors).
    static constexpr unsigned kDescriptorEighths = 1;
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
        std::size_t MaxPerAddress = kMaxPerAddress;
        std::chrono::milliseconds LoginDelay = LoginThrottle::kFirstDelay;
        // How many servers share the descriptors of kDescriptorEighths.
        unsigned SharingDescriptors = 1;
    };

    // An instant command accepted from the peer `address`; called on a connection's thread.
    // False: not taken now, and the client is answered "ERR INSTCMD-FAILED".
    using CommandSink = std::function<bool(const NutCommand& command, const std::string& address)>;

    // `source`, and `roster` when given, outlive this; without one the server keeps its own.
    explicit NutServer(const NutSource& source) : NutServer(source, Limits{}) {}
    NutServer(const NutSource& source, Limits limits, NutRoster* roster = nullptr);
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
    // Takes effect at the next Start. None: every INSTCMD that passes its
    // checks is answered OK and dropped.
    void SetCommandSink(CommandSink sink) { sink_ = std::move(sink); }
    // Connections logged in right now (of every server sharing the roster).
    int Logins() const { return roster_.Logins(); }
    // The lines "N failed logins from ADDRESS" of the bursts that ended; `all`: of every one.
    std::vector<std::string> TakeFailedLoginReports(bool all = false);

private:
    const NutSource& source_;
    Limits limits_;
    NutRoster own_roster_;
    NutRoster& roster_;
    LoginThrottle throttle_;
    CommandSink sink_;
    std::unique_ptr<TcpPool> pool_;
};

}  // namespace gw::reports
