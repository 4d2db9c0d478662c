#include "reports/tcp_pool.h"

#include <sys/resource.h>

#include <algorithm>
#include <boost/asio/ip/address_v4.hpp>
#include <boost/asio/post.hpp>
#include <utility>

namespace gw::reports {

namespace net = boost::asio;
using tcp = net::ip::tcp;
using boost::system::error_code;

namespace {

constexpr char kAddressInUse[] = "Could not bind socket. Address and port are already in use.";
constexpr std::chrono::milliseconds kAcceptRetry{50};
// Connections told to close whose descriptors may not be free yet: at this many, accepting
// pauses and newcomers wait in the backlog rather than push the count past the bound (or be
// turned away, which resets them).
constexpr std::size_t kMaxEvicting = 4;

std::vector<std::unique_ptr<net::io_context>> MakeContexts(int count) {
    std::vector<std::unique_ptr<net::io_context>> contexts;
    for (int i = 0; i < std::max(count, 1); ++i) {
        contexts.push_back(std::make_unique<net::io_context>(1));
    }
    return contexts;
}

}  // namespace

std::size_t BoundByDescriptors(std::size_t wanted, unsigned eighths) {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return wanted;
    const rlim_t spare =
        limit.rlim_cur > kDescriptorReserve ? limit.rlim_cur - kDescriptorReserve : 0;
    const rlim_t share = spare / 8 * eighths;
    return std::max<std::size_t>(1, std::min<rlim_t>(wanted, share));
}

void CloseQuietly(tcp::socket& socket) {
    if (!socket.is_open()) return;
    error_code error;
    socket.non_blocking(true, error);
    char scrap[4096];
    for (std::size_t dropped = 0; !error && dropped < kQuietCloseBytes;) {
        dropped += socket.read_some(net::buffer(scrap), error);
    }
    socket.shutdown(tcp::socket::shutdown_both, error);
    socket.close(error);
}

TcpPool::TcpPool(int threads, Bounds bounds, MakeSession make)
    : bounds_(bounds),
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
    acceptor_.async_accept(
        target, [this](error_code error, Socket socket) { OnAccept(error, std::move(socket)); });
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
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (evicting_ >= kMaxEvicting) {
            accept_paused_ = true;  // Remove resumes it
            return;
        }
    }
    Accept();
}

void TcpPool::Admit(Socket socket) {
    error_code error;
    const tcp::endpoint peer = socket.remote_endpoint(error);
    if (error) return;  // gone already; the socket closes with it
    const std::string address = peer.address().to_string();

    // Sessions looked at under the lock are let go only after it: the last reference would
    // run a destructor that takes the lock.
    std::vector<std::shared_ptr<TcpSession>> seen;
    std::unique_lock<std::mutex> lock(mutex_);
    Entry* victim = nullptr;
    bool refuse = stopping_;
    if (!refuse && per_address_[address] >= bounds_.MaxPerAddress) {
        victim = Victim(&address, seen);
        refuse = victim == nullptr;
    } else if (!refuse && sessions_.size() - evicting_ >= bounds_.MaxConnections) {
        victim = Victim(nullptr, seen);
        refuse = victim == nullptr;
    }
    if (victim && evicting_ >= kMaxEvicting) refuse = true;
    if (refuse) {
        if (per_address_[address] == 0) per_address_.erase(address);
        lock.unlock();
        CloseQuietly(socket);
        return;
    }
    if (victim) {
        victim->Evicted = true;
        ++evicting_;
        if (--per_address_[victim->Address] == 0) per_address_.erase(victim->Address);
        if (auto session = victim->Session.lock()) {
            net::post(session->Executor(), [session] { session->Close(); });
            seen.push_back(std::move(session));
        }
    }
    std::shared_ptr<TcpSession> session = make_(std::move(socket), address, *this);
    sessions_.emplace(session.get(), Entry{session, address});
    ++per_address_[address];
    lock.unlock();
    net::post(session->Executor(), [session] { session->Run(); });
}

TcpPool::Entry* TcpPool::Victim(const std::string* address,
                                std::vector<std::shared_ptr<TcpSession>>& seen) {
    Entry* victim = nullptr;
    std::pair<int, TcpSession::Clock::time_point> first{0, {}};
    for (auto& [key, entry] : sessions_) {
        if (entry.Evicted || (address && entry.Address != *address)) continue;
        std::shared_ptr<TcpSession> session = entry.Session.lock();
        if (!session) continue;
        const std::optional<TcpSession::Clock::time_point> since = session->IdleSince();
        const int standing = session->Standing();
        seen.push_back(std::move(session));
        if (since && (victim == nullptr || std::make_pair(standing, *since) < first)) {
            first = {standing, *since};
            victim = &entry;
        }
    }
    return victim;
}

void TcpPool::Remove(TcpSession* session) {
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto found = sessions_.find(session);
    if (found == sessions_.end()) return;
    if (found->second.Evicted) {
        --evicting_;
        if (accept_paused_ && !stopping_) {
            accept_paused_ = false;
            net::post(acceptor_.get_executor(), [this] { Accept(); });
        }
    } else if (--per_address_[found->second.Address] == 0) {
        per_address_.erase(found->second.Address);
    }
    sessions_.erase(found);
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
        for (auto& [key, entry] : sessions_) {
            if (auto session = entry.Session.lock()) open.push_back(std::move(session));
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
