#include "reports/http_server.h"

#include <atomic>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/serializer.hpp>
#include <boost/beast/http/write.hpp>
#include <optional>

#include "reports/history_worker.h"
#include "reports/http_handler.h"
#include "reports/tcp_pool.h"

namespace gw::reports {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = net::ip::tcp;

namespace {

// After the answer, what the client still sends is read and dropped for this long and up to
// this much, so that closing with unread bytes does not reset the connection under the answer.
constexpr std::chrono::seconds kLingerLimit{1};
constexpr std::size_t kLingerBytes = 64 * 1024;

// One connection: read one request within the deadline, answer it (or not), close. All of its
// handlers run on its context's one thread.
class Session final : public TcpSession, public std::enable_shared_from_this<Session> {
public:
    Session(tcp::socket socket, std::string address, TcpPool& pool, const PageSource& source,
            LoginThrottle& throttle, std::chrono::milliseconds deadline, HistoryWorker& history)
        : stream_(std::move(socket)),
          turn_(stream_.get_executor()),
          address_(std::move(address)),
          pool_(pool),
          source_(source),
          throttle_(throttle),
          deadline_(deadline),
          history_(history) {
        parser_.header_limit(HttpServer::kHeaderLimit);
        parser_.body_limit(HttpServer::kBodyLimit);
    }
    ~Session() override { pool_.Remove(this); }

    net::any_io_executor Executor() override { return stream_.get_executor(); }

    // Answered, a connection only waits for its client to close: its slot is a newcomer's.
    std::optional<Clock::time_point> IdleSince() const override {
        const Clock::rep answered = answered_.load();
        if (answered == 0) return std::nullopt;
        return Clock::time_point(Clock::duration(answered));
    }

    void Run() override {
        // One deadline for the whole exchange, so a silent or trickling client cannot keep it.
        stream_.expires_after(deadline_);
        give_up_ = HistoryWorker::Clock::now() + deadline_;
        http::async_read(stream_, buffer_, parser_,
                         [self = shared_from_this()](beast::error_code error, std::size_t) {
                             self->OnRead(error);
                         });
    }

    void Close() override {
        CloseQuietly(stream_.socket());
        stream_.close();  // and its timer
        turn_.cancel();
    }

private:
    void OnRead(beast::error_code error) {
        if (error) return Close();
        const HttpRequest& request = parser_.get();
        // Only credentials for a guarded path are checked; a request without them is no login.
        if (request.count(http::field::authorization) == 0 ||
            !IsGuardedPath(
                DocumentPath(std::string_view(request.target().data(), request.target().size())))) {
            return Respond(false);
        }
        const auto now = LoginThrottle::Clock::now();
        const std::optional<LoginThrottle::Clock::time_point> turn =
            throttle_.Schedule(address_, now);
        if (!turn) return Close();
        if (*turn <= now) return Respond(true);
        turn_.expires_at(*turn);
        turn_.async_wait([self = shared_from_this()](beast::error_code wait_error) {
            if (!wait_error) self->Respond(true);
        });
    }

    void Respond(bool login) {
        const std::shared_ptr<const PageState> state = source_.Current();
        if (IsHistoryRequest(parser_.get())) return AskHistory(state, login);
        Send(HandleRequest(parser_.get(), *state, std::chrono::system_clock::now()), login);
    }

    // The history is composed on its own thread; the answer comes back to this connection's.
    void AskHistory(std::shared_ptr<const PageState> state, bool login) {
        auto self = shared_from_this();
        const bool queued = history_.Submit(
            HistoryAnswerKey(parser_.get(), *state), give_up_,
            [request = parser_.get(), state] {
                return HandleRequest(request, *state, std::chrono::system_clock::now());
            },
            [self, login](std::optional<HttpResponse> answer) {
                net::post(self->Executor(), [self, login, answer = std::move(answer)]() mutable {
                    self->Send(std::move(answer), login);
                });
            });
        // Refused unchecked: no login either way.
        if (!queued) Send(BusyAnswer(parser_.get()), false);
    }

    void Send(std::optional<HttpResponse> response, bool login) {
        if (!response) return Close();
        if (login && response->result() == http::status::unauthorized) {
            throttle_.Failed(address_, LoginThrottle::Clock::now());
        } else if (login) {
            throttle_.Passed(address_);
        }
        response_ = std::move(*response);
        Send();
    }

    // Most answers fit the socket's buffer: written at once, the connection counts as answered
    // (and its slot as free for a newcomer) now rather than when a queued handler runs.
    void Send() {
        serializer_.emplace(response_);
        beast::error_code error;
        stream_.socket().non_blocking(true, error);
        while (!error && !serializer_->is_done()) {
            http::write_some(stream_.socket(), *serializer_, error);
        }
        if (serializer_->is_done()) return OnWritten({});
        if (error != net::error::would_block) return Close();
        http::async_write(stream_, *serializer_,
                          [self = shared_from_this()](beast::error_code write_error, std::size_t) {
                              self->OnWritten(write_error);
                          });
    }

    void OnWritten(beast::error_code error) {
        if (error) return Close();
        beast::error_code ignored;
        stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
        answered_.store(Clock::now().time_since_epoch().count());
        stream_.expires_after(kLingerLimit);
        Drain();
    }

    void Drain() {
        stream_.async_read_some(net::buffer(drain_), [self = shared_from_this()](
                                                         beast::error_code error, std::size_t got) {
            self->OnDrained(error, got);
        });
    }

    void OnDrained(beast::error_code error, std::size_t got) {
        drained_ += got;
        if (error || drained_ > kLingerBytes) return Close();
        Drain();
    }

    beast::tcp_stream stream_;
    net::steady_timer turn_;  // until this address may have its credentials checked
    const std::string address_;
    TcpPool& pool_;
    const PageSource& source_;
    LoginThrottle& throttle_;
    const std::chrono::milliseconds deadline_;
    HistoryWorker& history_;
    HistoryWorker::Clock::time_point give_up_;
    beast::flat_buffer buffer_;
    http::request_parser<http::string_body> parser_;
    HttpResponse response_;
    std::optional<http::response_serializer<http::string_body>> serializer_;
    char drain_[4096];
    std::size_t drained_ = 0;
    std::atomic<Clock::rep> answered_{0};  // when the answer went out; 0: not yet
};

}  // namespace

HttpServer::HttpServer(const PageSource& source, Limits limits)
    : source_(source), limits_(limits), throttle_(limits.LoginDelay) {}

HttpServer::~HttpServer() { Stop(); }

std::string HttpServer::Start(std::uint16_t port) {
    Stop();
    history_ = std::make_unique<HistoryWorker>();
    const TcpPool::Bounds bounds{BoundByDescriptors(limits_.MaxConnections, kDescriptorEighths),
                                 limits_.MaxPerAddress};
    auto pool = std::make_unique<TcpPool>(kThreads, bounds,
                                          [this](tcp::socket socket, const std::string& address,
                                                 TcpPool& owner) -> std::shared_ptr<TcpSession> {
                                              return std::make_shared<Session>(
                                                  std::move(socket), address, owner, source_,
                                                  throttle_, limits_.RequestDeadline, *history_);
                                          });
    std::string error = pool->Start({}, port);
    if (error.empty()) pool_ = std::move(pool);
    if (!error.empty()) history_.reset();
    return error;
}

void HttpServer::Stop() {
    if (!pool_) return;
    // First, so that the sessions it holds are let go and none waits on it.
    history_->Stop();
    pool_->Shutdown(kStopWait);
    pool_.reset();
    history_.reset();
}

std::uint16_t HttpServer::Port() const { return pool_ ? pool_->Port() : 0; }

std::size_t HttpServer::Connections() const { return pool_ ? pool_->Count() : 0; }

std::vector<std::string> HttpServer::TakeFailedLoginReports(bool all) {
    return throttle_.TakeReports(LoginThrottle::Clock::now(), all);
}

}  // namespace gw::reports
