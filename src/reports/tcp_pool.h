// What the two TCP servers share: one listening socket, a small fixed pool of threads running
// every connection as a task, bounds on the connections open at once (in all and per peer
// address), and a stop that closes them all and waits for them to wind down.
//
// When a bound is reached, a newcomer takes the slot of a connection that allows it
// (TcpSession::IdleSince): of the lowest standing (TcpSession::Standing), the one idle longest.
// When none does, the newcomer is closed at once. While a few of those told to give way are
// still closing, accepting pauses, so that newcomers wait in the backlog.
//
// Each thread runs its own io_context and a connection stays on the one it was accepted to, so
// the threads share no queue and a connection's handlers never run at the same time.
//
// Thread rule: Start and Shutdown on the owner's thread (the main thread); the pool's threads
// run the sessions. Remove and Count from any thread.
#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace gw::reports {

// Descriptors that no server's connections may take: what the process holds anyway (its
// libraries, the window, the bus) and what the UPS link, the journal, the settings and the
// external program must always be able to open.
inline constexpr std::size_t kDescriptorReserve = 256;

// How many connections a server may keep open: `wanted`, or when the soft limit of open files
// is too low for that, its `eighths` of what the limit leaves beyond kDescriptorReserve (at
// least one). The servers' shares add up to eight at most, so together they never eat into the
// reserve. Reads the limit when called: at each server start.
std::size_t BoundByDescriptors(std::size_t wanted, unsigned eighths);

// One connection. Its destructor must call TcpPool::Remove.
class TcpSession {
public:
    using Clock = std::chrono::steady_clock;
    virtual ~TcpSession() = default;
    // Starts the exchange; runs on the session's executor.
    virtual void Run() = 0;
    // Closes the socket, so that pending handlers end; runs on the session's executor.
    virtual void Close() = 0;
    virtual boost::asio::any_io_executor Executor() = 0;
    // Since when the connection has done nothing worth its slot, when it may give the slot up
    // to a newcomer; none when it must keep it. Called on the acceptor's thread: thread-safe.
    virtual std::optional<Clock::time_point> IdleSince() const { return std::nullopt; }
    // Of the connections that may give up their slot, those of a lower standing do first: one
    // that is logging in keeps its slot while an anonymous one is left. Thread-safe, as above.
    virtual int Standing() const { return 0; }
};

// Closes `socket` after reading and dropping what the peer has sent already, without waiting
// and at most kQuietCloseBytes: closing with unread bytes resets the connection, and a reset
// can destroy an answer that the peer has not read yet.
inline constexpr std::size_t kQuietCloseBytes = 64 * 1024;
void CloseQuietly(boost::asio::ip::tcp::socket& socket);

class TcpPool {
public:
    using Socket = boost::asio::ip::tcp::socket;
    // Makes the session of an accepted socket from `address` (the peer's, dotted); on the
    // pool's threads, under the registry's lock.
    using MakeSession = std::function<std::shared_ptr<TcpSession>(
        Socket socket, const std::string& address, TcpPool& pool)>;

    struct Bounds {
        std::size_t MaxConnections;
        std::size_t MaxPerAddress;
    };

    TcpPool(int threads, Bounds bounds, MakeSession make);
    ~TcpPool();
    TcpPool(const TcpPool&) = delete;
    TcpPool& operator=(const TcpPool&) = delete;

    // Listens on `address` (dotted IPv4; empty: every interface) and `port` (0: a free one).
    // Empty on success, else the text for the message box.
    std::string Start(const std::string& address, std::uint16_t port);
    // Closes the listening socket and every connection, waits at most `wait` for them to end,
    // then stops the threads. Once.
    void Shutdown(std::chrono::milliseconds wait);
    std::uint16_t Port() const { return port_; }

    void Remove(TcpSession* session);
    std::size_t Count();

private:
    void Accept();
    void OnAccept(const boost::system::error_code& error, Socket socket);
    void Admit(Socket socket);
    void RunThread(boost::asio::io_context& context);

    struct Entry {
        std::weak_ptr<TcpSession> Session;
        std::string Address;
        bool Evicted = false;  // told to close; its slot is the newcomer's already
    };
    // The connection idle longest that may give up its slot, of `address` when one is given;
    // under the lock. Every session it looked at goes into `seen`.
    Entry* Victim(const std::string* address, std::vector<std::shared_ptr<TcpSession>>& seen);

    const Bounds bounds_;
    MakeSession make_;
    std::mutex mutex_;
    std::condition_variable drained_;
    std::unordered_map<TcpSession*, Entry> sessions_;
    std::unordered_map<std::string, std::size_t> per_address_;  // not counting evicted ones
    std::size_t evicting_ = 0;
    bool accept_paused_ = false;  // until one of those evicting is gone
    bool stopping_ = false;
    std::uint16_t port_ = 0;
    // The contexts come after the registry, so they go first: sessions still queued in them
    // unregister themselves on the way out.
    std::vector<std::unique_ptr<boost::asio::io_context>> contexts_;
    std::vector<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>> busy_;
    std::size_t next_context_ = 0;  // where the next connection goes; the acceptor's thread only
    boost::asio::ip::tcp::acceptor acceptor_;
    boost::asio::steady_timer retry_;
    std::vector<std::thread> threads_;
};

}  // namespace gw::reports
