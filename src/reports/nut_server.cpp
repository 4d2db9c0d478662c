#include "reports/nut_server.h"

#include <boost/asio/read_until.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/tcp_stream.hpp>

#include "reports/tcp_pool.h"

namespace gw::reports {

namespace net = boost::asio;
namespace beast = boost::beast;
using tcp = net::ip::tcp;

namespace {

constexpr char kTooLong[] = "ERR TOO-LONG\n";
constexpr std::chrono::seconds kLingerLimit{1};

// One connection: a line in, its answer out, until the client leaves, idles or misbehaves. All
// of its handlers run on its own strand.
class Session final : public TcpSession, public std::enable_shared_from_this<Session> {
public:
    Session(tcp::socket socket, TcpPool& pool, const NutSource& source,
            std::atomic<int>& logins, NutServer::Limits limits)
        : stream_(std::move(socket)),
          pool_(pool),
          source_(source),
          logins_(logins),
          limits_(limits) {}
    ~Session() override {
        if (connection_.LoggedIn) --logins_;
        pool_.Remove(this);
    }

    net::any_io_executor Executor() override { return stream_.get_executor(); }

    void Run() override { ReadLine(); }

    void Close() override {
        beast::error_code ignored;
        stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
        stream_.close();
    }

private:
    void ReadLine() {
        // A logged-in secondary may poll seldom; it must never be dropped for that.
        if (connection_.LoggedIn) {
            stream_.expires_never();
        } else {
            stream_.expires_after(limits_.IdleLimit);
        }
        net::async_read_until(stream_, net::dynamic_buffer(buffer_, NutServer::kMaxLine + 1), '\n',
                              [self = shared_from_this()](beast::error_code error, std::size_t n) {
                                  self->OnLine(error, n);
                              });
    }

    void OnLine(beast::error_code error, std::size_t length) {
        if (error == net::error::not_found) return Answer(kTooLong, true);
        if (error) return Close();
        const std::string_view line(buffer_.data(), length - 1);
        const std::shared_ptr<const NutState> state = source_.Current();
        NutAnswer answer = AnswerNutLine(line, connection_, *state, logins_.load(),
                                         std::chrono::steady_clock::now());
        buffer_.erase(0, length);
        if (answer.Then == NutAnswer::Effect::LoggedIn) ++logins_;
        if (answer.Text.empty()) return ReadLine();
        Answer(std::move(answer.Text), answer.Then == NutAnswer::Effect::Close);
    }

    void Answer(std::string text, bool close_after) {
        reply_ = std::move(text);
        stream_.expires_after(limits_.WriteDeadline);
        net::async_write(stream_, net::buffer(reply_),
                         [self = shared_from_this(), close_after](beast::error_code error,
                                                                  std::size_t) {
                             if (error) return self->Close();
                             if (close_after) return self->Linger();
                             self->ReadLine();
                         });
    }

    // What the client still sends is read and dropped for a moment before the close, so that
    // unread bytes do not reset the connection under the last answer.
    void Linger() {
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
    TcpPool& pool_;
    const NutSource& source_;
    std::atomic<int>& logins_;
    const NutServer::Limits limits_;
    std::string buffer_;
    std::string reply_;
    NutConnection connection_;
    char drain_[512];
};

}  // namespace

NutServer::NutServer(const NutSource& source, Limits limits) : source_(source), limits_(limits) {}

NutServer::~NutServer() { Stop(); }

std::string NutServer::Start(const std::string& address, std::uint16_t port) {
    Stop();
    auto pool = std::make_unique<TcpPool>(
        kThreads, limits_.MaxConnections,
        [this](tcp::socket socket, TcpPool& owner) -> std::shared_ptr<TcpSession> {
            return std::make_shared<Session>(std::move(socket), owner, source_, logins_, limits_);
        });
    std::string error = pool->Start(address, port);
    if (error.empty()) pool_ = std::move(pool);
    return error;
}

void NutServer::Stop() {
    if (!pool_) return;
    pool_->Shutdown(kStopWait);
    pool_.reset();
}

std::uint16_t NutServer::Port() const { return pool_ ? pool_->Port() : 0; }

}  // namespace gw::reports
