// What the two TCP servers share: one listening socket, a small fixed pool of threads running
// every connection as a task, a bound on the connections open at once, and a stop that closes
// them all and waits for them to wind down.
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
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace gw::reports {

// One connection. Its destructor must call TcpPool::Remove.
class TcpSession {
public:
    virtual ~TcpSession() = default;
    // Starts the exchange; runs on the session's executor.
    virtual void Run() = 0;
    // Closes the socket, so that pending handlers end; runs on the session's executor.
    virtual void Close() = 0;
    virtual boost::asio::any_io_executor Executor() = 0;
};

class TcpPool {
public:
    using Socket = boost::asio::ip::tcp::socket;
    // Makes the session of an accepted socket; on the pool's threads, under the registry's lock.
    using MakeSession = std::function<std::shared_ptr<TcpSession>(Socket socket, TcpPool& pool)>;

    TcpPool(int threads, std::size_t max_connections, MakeSession make);
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

    const std::size_t max_connections_;
    MakeSession make_;
    std::mutex mutex_;
    std::condition_variable drained_;
    std::unordered_map<TcpSession*, std::weak_ptr<TcpSession>> sessions_;
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
