// The status server: listens on a TCP port on every IPv4 interface and answers each connection's
// one request with HandleRequest, from the copy the main thread last published.
//
// Each connection is a task on a small fixed pool of threads (Asio), so an idle connection costs
// a socket and a buffer, not a thread. A connection has kRequestDeadline for its whole request
// and answer; beyond kMaxConnections (fewer when the limit of open files is low), or beyond
// kMaxPerAddress from one address, a new one takes the slot of one that was answered and waits
// for its client to close, or else is closed at once. Once answered, a connection shuts down
// its sending side and reads what the client still sends before it closes, so that the client
// (or a proxy) sees an orderly end rather than a reset. Requests that carry credentials for
// any guarded path (IsGuardedPath) take their turn in a LoginThrottle per address.
// The history pages are composed on their own thread (HistoryWorker), so a year's chart never
// holds up "/" or "/metrics".
//
// Thread rule: Start, Stop, Running, Port, Connections and TakeFailedLoginReports on the main
// thread (the owner's); the pool's threads only read the PageSource and use the throttle.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "reports/login_throttle.h"
#include "reports/page_source.h"

namespace gw::reports {

class HistoryWorker;
class TcpPool;

class HttpServer {
public:
    static constexpr std::chrono::seconds kRequestDeadline{10};
    static constexpr std::size_t kMaxConnections = 1024;
    // A browser opens a handful; a few machines behind one router a few handfuls.
    static constexpr std::size_t kMaxPerAddress = 64;
    // Of the descriptors the servers may take (see BoundByDescriptors), the network UPS
    // server keeps the rest.
    static constexpr unsigned kDescriptorEighths = 7;
    static constexpr std::chrono::seconds kStopWait{5};
    static constexpr int kThreads = 2;
    static constexpr std::size_t kHeaderLimit = 8 * 1024;
    static constexpr std::size_t kBodyLimit = 64 * 1024;

    // The bounds a client meets; tests shrink them.
    struct Limits {
        std::chrono::milliseconds RequestDeadline = kRequestDeadline;
        std::size_t MaxConnections = kMaxConnections;
        std::size_t MaxPerAddress = kMaxPerAddress;
        std::chrono::milliseconds LoginDelay = LoginThrottle::kFirstDelay;
    };

    // `source` outlives this.
    explicit HttpServer(const PageSource& source) : HttpServer(source, Limits{}) {}
    HttpServer(const PageSource& source, Limits limits);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Stops a running server, then listens on `port` (0: a free port, for tests). Empty on
    // success, else the text for the message box; the server is then stopped.
    std::string Start(std::uint16_t port);
    // Closes the listening socket and every connection and joins the threads; waits at most
    // kStopWait for connections to wind down. Harmless when stopped.
    void Stop();
    bool Running() const { return pool_ != nullptr; }
    // The port listened on; 0 when stopped.
    std::uint16_t Port() const;
    // Connections open right now.
    std::size_t Connections() const;
    // The lines "N failed logins from ADDRESS" of the bursts that ended; `all`: of every one.
    std::vector<std::string> TakeFailedLoginReports(bool all = false);

private:
    const PageSource& source_;
    Limits limits_;
    LoginThrottle throttle_;
    std::unique_ptr<HistoryWorker> history_;  // while running; the history pages' thread
    std::unique_ptr<TcpPool> pool_;
};

}  // namespace gw::reports
