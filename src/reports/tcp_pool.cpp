#include "reports/tcp_pool.h"

#include <algorithm>
#include <boost/asio/ip/address_v4.hpp>
#include <boost/asio/post.hpp>

namespace gw::reports {

namespace net = boost::asio;
using tcp = net::ip::tcp;
using boost::system::error_code;

namespace {

constexpr char kAddressInUse[] = "Could not bind socket. Address and port are already in use.";
constexpr std::chrono::milliseconds kAcceptRetry{50};

std::vector<std::unique_ptr<net::io_context>> MakeContexts(int count) {
    std::vector<std::unique_ptr<net::io_context>> contexts;
    for (int i = 0; i < std::max(count, 1); ++i) {
        contexts.push_back(std::make_unique<net::io_context>(1));
    }
    return contexts;
}

}  // namespace

TcpPool::TcpPool(int threads, std::size_t max_connections, MakeSession make)
    : max_connections_(max_connections),
      make_(std::move(make)),
      contexts_(MakeContexts(threads)),
      acceptor_(*contexts_.front()),
      retry_(acceptor_.get_executor()) {
    for (auto& context : contexts_) busy_.push_back(net::make_work_guard(*context));
}

TcpPool::~TcpPool() {
    // Handlers still queued go with the context; the registry they reach is still here.
    for (std::thread& thread : threads_) {
        if (thread.joinable()) thread.join();
    }
}

std::string TcpPool::Start(const std::string& address, std::uint16_t port) {
    error_code error;
    net::ip::address_v4 ip = net::ip::address_v4::any();
    if (!address.empty()) {
        ip = net::ip::make_address_v4(address, error);
        if (error) return "'" + address + "' is not an IPv4 address";
    }
    const tcp::endpoint endpoint(ip, port);
    acceptor_.open(endpoint.protocol(), error);
    // A port left in TIME_WAIT by the last run may be taken again; one that is listened on not.
    if (!error) acceptor_.set_option(net::socket_base::reuse_address(true), error);
    if (!error) acceptor_.bind(endpoint, error);
    if (error == net::error::address_in_use) return kAddressInUse;
    if (!error) acceptor_.listen(net::socket_base::max_listen_connections, error);
    if (error) return "Could not bind socket: " + error.message();
    port_ = acceptor_.local_endpoint(error).port();
    Accept();
    try {
        for (auto& context : contexts_) {
            threads_.emplace_back([this, raw = context.get()] { RunThread(*raw); });
        }
    } catch (const std::system_error& failure) {
        Shutdown(std::chrono::milliseconds(0));
        return std::string("Could not start the server's threads: ") + failure.what();
    }
    return {};
}

void TcpPool::Accept() {
    net::io_context& target = *contexts_[next_context_++ % contexts_.size()];
    acceptor_.async_accept(target, [this](error_code error, Socket socket) {
        OnAccept(error, std::move(socket));
    });
}

void TcpPool::OnAccept(const error_code& error, Socket socket) {
    if (error == net::error::operation_aborted || !acceptor_.is_open()) return;
    if (error) {
        // Out of descriptors, most likely: try again shortly instead of spinning on it.
        retry_.expires_after(kAcceptRetry);
        retry_.async_wait([this](error_code wait_error) {
            if (!wait_error) Accept();
        });
        return;
    }
    Admit(std::move(socket));
    Accept();
}

void TcpPool::Admit(Socket socket) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (stopping_ || sessions_.size() >= max_connections_) {
        lock.unlock();
        error_code ignored;
        socket.close(ignored);
        return;
    }
    std::shared_ptr<TcpSession> session = make_(std::move(socket), *this);
    sessions_.emplace(session.get(), session);
    lock.unlock();
    net::post(session->Executor(), [session] { session->Run(); });
}

void TcpPool::Remove(TcpSession* session) {
    const std::lock_guard<std::mutex> lock(mutex_);
    sessions_.erase(session);
    if (sessions_.empty()) drained_.notify_all();
}

std::size_t TcpPool::Count() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return sessions_.size();
}

void TcpPool::RunThread(net::io_context& context) {
    for (;;) {
        try {
            context.run();
            return;
        } catch (const std::exception&) {
            // A handler that threw (out of memory) loses its connection, not the server.
        }
    }
}

void TcpPool::Shutdown(std::chrono::milliseconds wait) {
    std::vector<std::shared_ptr<TcpSession>> open;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) return;
        stopping_ = true;
        for (auto& [key, weak] : sessions_) {
            if (auto session = weak.lock()) open.push_back(std::move(session));
        }
    }
    net::post(acceptor_.get_executor(), [this] {
        error_code ignored;
        acceptor_.close(ignored);
        retry_.cancel();
    });
    for (auto& session : open) {
        net::post(session->Executor(), [session] { session->Close(); });
    }
    open.clear();
    std::unique_lock<std::mutex> lock(mutex_);
    drained_.wait_for(lock, wait, [this] { return sessions_.empty(); });
    lock.unlock();
    busy_.clear();
    for (auto& context : contexts_) context->stop();
    for (std::thread& thread : threads_) {
        if (thread.joinable()) thread.join();
    }
}

}  // namespace gw::reports
