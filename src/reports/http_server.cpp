#include "reports/http_server.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/write.hpp>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "reports/http_handler.h"

namespace gw::reports {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = net::ip::tcp;

namespace {

constexpr char kAddressInUse[] = "Could not bind socket. Address and port are already in use.";
// After the answer, what the client still sends is read and dropped for this long, so that
// closing with unread bytes does not reset the connection under the answer.
constexpr std::chrono::seconds kLingerLimit{1};
constexpr std::chrono::milliseconds kAcceptRetry{50};

class Session;

// What the sessions share: the page copy and the registry that Stop closes them through.
struct Registry {
    Registry(const PageSource& page_source, HttpServer::Limits server_limits)
        : source(page_source), limits(server_limits) {}
    const PageSource& source;
    const HttpServer::Limits limits;
    std::mutex mutex;
    std::condition_variable drained;
    std::unordered_map<Session*, std::weak_ptr<Session>> sessions;
    bool stopping = false;

    void Remove(Session* session) {
        const std::lock_guard<std::mutex> lock(mutex);
        sessions.erase(session);
        if (sessions.empty()) drained.notify_all();
    }
};

// One connection: read one request within the deadline, answer it (or not), close. All of its
// handlers run on its own strand.
class Session : public std::enable_shared_from_this<Session> {
public:
    Session(tcp::socket socket, Registry& registry)
        : stream_(std::move(socket)), registry_(registry) {
        parser_.header_limit(HttpServer::kHeaderLimit);
        parser_.body_limit(HttpServer::kBodyLimit);
    }
    ~Session() { registry_.Remove(this); }

    net::any_io_executor Executor() { return stream_.get_executor(); }

    void Run() {
        // One deadline for the whole exchange, so a silent or trickling client cannot keep it.
        stream_.expires_after(registry_.limits.RequestDeadline);
        http::async_read(stream_, buffer_, parser_,
                         [self = shared_from_this()](beast::error_code error, std::size_t) {
                             self->OnRead(error);
                         });
    }

    void Close() {
        beast::error_code ignored;
        stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
        stream_.close();
    }

private:
    void OnRead(beast::error_code error) {
        if (error) return Close();
        const std::shared_ptr<const PageState> state = registry_.source.Current();
        std::optional<HttpResponse> response =
            HandleRequest(parser_.get(), *state, std::chrono::system_clock::now());
        if (!response) return Close();
        response_ = std::move(*response);
        http::async_write(stream_, response_,
                          [self = shared_from_this()](beast::error_code error, std::size_t) {
                              self->OnWritten(error);
                          });
    }

    void OnWritten(beast::error_code error) {
        if (error) return Close();
        beast::error_code ignored;
        stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
        stream_.expires_after(kLingerLimit);
        Drain();
    }

    void Drain() {
        stream_.async_read_some(net::buffer(drain_),
                                [self = shared_from_this()](beast::error_code error, std::size_t) {
                                    if (error) return self->Close();
                                    self->Drain();
                                });
    }

    beast::tcp_stream stream_;
    Registry& registry_;
    beast::flat_buffer buffer_;
    http::request_parser<http::string_body> parser_;
    HttpResponse response_;
    char drain_[512];
};

}  // namespace

struct HttpServer::Core : Registry {
    using Registry::Registry;
    ~Core() {
        // Handlers still queued go with the context; the registry they reach is still here.
        for (std::thread& thread : threads) {
            if (thread.joinable()) thread.join();
        }
    }

    void Accept() {
        acceptor.async_accept(net::make_strand(context),
                              [this](beast::error_code error, tcp::socket socket) {
                                  OnAccept(error, std::move(socket));
                              });
    }

    void OnAccept(beast::error_code error, tcp::socket socket) {
        if (error == net::error::operation_aborted || !acceptor.is_open()) return;
        if (error) {
            // Out of descriptors, most likely: try again shortly instead of spinning on it.
            retry.expires_after(kAcceptRetry);
            retry.async_wait([this](beast::error_code wait_error) {
                if (!wait_error) Accept();
            });
            return;
        }
        Admit(std::move(socket));
        Accept();
    }

    void Admit(tcp::socket socket) {
        std::unique_lock<std::mutex> lock(mutex);
        if (stopping || sessions.size() >= limits.MaxConnections) {
            lock.unlock();
            beast::error_code ignored;
            socket.close(ignored);
            return;
        }
        auto session = std::make_shared<Session>(std::move(socket), *this);
        sessions.emplace(session.get(), session);
        lock.unlock();
        net::post(session->Executor(), [session] { session->Run(); });
    }

    void RunThread() {
        for (;;) {
            try {
                context.run();
                return;
            } catch (const std::exception&) {
                // A handler that threw (out of memory) loses its connection, not the server.
            }
        }
    }

    void Shutdown() {
        std::vector<std::shared_ptr<Session>> open;
        {
            const std::lock_guard<std::mutex> lock(mutex);
            stopping = true;
            for (auto& [key, weak] : sessions) {
                if (auto session = weak.lock()) open.push_back(std::move(session));
            }
        }
        net::post(acceptor.get_executor(), [this] {
            beast::error_code ignored;
            acceptor.close(ignored);
            retry.cancel();
        });
        for (auto& session : open) {
            net::post(session->Executor(), [session] { session->Close(); });
        }
        open.clear();
        std::unique_lock<std::mutex> lock(mutex);
        drained.wait_for(lock, kStopWait, [this] { return sessions.empty(); });
        lock.unlock();
        context.stop();
        for (std::thread& thread : threads) {
            if (thread.joinable()) thread.join();
        }
    }

    // The context comes after the registry, so it goes first.
    net::io_context context{kThreads};
    tcp::acceptor acceptor{net::make_strand(context)};
    net::steady_timer retry{acceptor.get_executor()};
    std::vector<std::thread> threads;
    std::uint16_t port = 0;
};

HttpServer::HttpServer(const PageSource& source, Limits limits)
    : source_(source), limits_(limits) {}

HttpServer::~HttpServer() { Stop(); }

std::string HttpServer::Start(std::uint16_t port) {
    Stop();
    auto core = std::make_shared<Core>(source_, limits_);
    const tcp::endpoint endpoint(tcp::v4(), port);
    beast::error_code error;
    core->acceptor.open(endpoint.protocol(), error);
    // A port left in TIME_WAIT by the last run may be taken again; one that is listened on not.
    if (!error) core->acceptor.set_option(net::socket_base::reuse_address(true), error);
    if (!error) core->acceptor.bind(endpoint, error);
    if (error == net::error::address_in_use) return kAddressInUse;
    if (!error) core->acceptor.listen(net::socket_base::max_listen_connections, error);
    if (error) return "Could not bind socket: " + error.message();
    core->port = core->acceptor.local_endpoint(error).port();
    core->Accept();
    try {
        for (int i = 0; i < kThreads; ++i) {
            core->threads.emplace_back([raw = core.get()] { raw->RunThread(); });
        }
    } catch (const std::system_error& failure) {
        core->Shutdown();
        return std::string("Could not start the server's threads: ") + failure.what();
    }
    core_ = std::move(core);
    return {};
}

void HttpServer::Stop() {
    if (!core_) return;
    core_->Shutdown();
    core_.reset();
}

std::uint16_t HttpServer::Port() const { return core_ ? core_->port : 0; }

}  // namespace gw::reports
