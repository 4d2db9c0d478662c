#include "reports/nut_server.h"

#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>

#include "reports/tcp_pool.h"

namespace gw::reports {

namespace net = boost::asio;
using tcp = net::ip::tcp;

namespace {

constexpr char kTooLong[] = "ERR TOO-LONG\n";
constexpr std::chrono::milliseconds kLingerLimit{1000};
using Clock = std::chrono::steady_clock;

// One connection: lines in, their answers out, until the client leaves, idles or misbehaves.
// All of its handlers run on its context's one thread. One watch timer per connection checks
// the idle and write limits, so that a request arms no timer of its own: answering is the hot
// path.
class Session final : public TcpSession, public std::enable_shared_from_this<Session> {
public:
    Session(tcp::socket socket, TcpPool& pool, const NutSource& source,
            std::atomic<int>& logins, NutServer::Limits limits)
        : socket_(std::move(socket)),
          watch_(socket_.get_executor()),
          pool_(pool),
          source_(source),
          logins_(logins),
          limits_(limits) {}
    ~Session() override {
        if (connection_.LoggedIn) --logins_;
        pool_.Remove(this);
    }

    net::any_io_executor Executor() override { return socket_.get_executor(); }

    void Run() override {
        boost::system::error_code error;
        socket_.non_blocking(true, error);
        last_line_ = Clock::now();
        ArmWatch();
        Read();
    }

    void Close() override {
        boost::system::error_code ignored;
        socket_.shutdown(tcp::socket::shutdown_both, ignored);
        socket_.close(ignored);
        watch_.cancel();
    }

private:
    // The next time something must have happened; none while a logged-in client is quiet.
    Clock::time_point Deadline() const {
        if (writing_) return write_start_ + limits_.WriteDeadline;
        if (lingering_) return linger_start_ + kLingerLimit;
        // A logged-in secondary may poll seldom; it must never be dropped for that.
        if (!connection_.LoggedIn) return last_line_ + limits_.IdleLimit;
        return Clock::time_point::max();
    }

    // Arms the watch for the deadline. A wait already armed for a later deadline is moved
    // earlier; one armed for an earlier one is left, and re-arms itself when it finds the
    // deadline moved on: lines arriving cost no timer operation.
    void ArmWatch() {
        const Clock::time_point due = Deadline();
        if (due == Clock::time_point::max() || (watch_armed_ && watch_due_ <= due)) return;
        watch_due_ = due;
        watch_armed_ = true;
        watch_.expires_at(due);
        watch_.async_wait([self = shared_from_this()](boost::system::error_code error) {
            if (!error) self->Watch();
        });
    }

    void Watch() {
        watch_armed_ = false;
        if (!socket_.is_open()) return;
        if (Clock::now() >= Deadline()) return Close();
        ArmWatch();
    }

    void Read() {
        socket_.async_read_some(net::buffer(chunk_),
                                [self = shared_from_this()](boost::system::error_code error,
                                                            std::size_t got) {
                                    self->OnRead(error, got);
                                });
    }

    void OnRead(boost::system::error_code error, std::size_t got) {
        if (error) return Close();
        buffer_.append(chunk_, got);
        const Clock::time_point now = Clock::now();
        // Every whole line that came, answered in one write.
        if (!state_ || source_.Version() != state_version_) {
            state_version_ = source_.Version();
            state_ = source_.Current();
        }
        const NutState& state = *state_;
        std::string reply;
        std::size_t start = 0;
        for (std::size_t end; (end = buffer_.find('\n', start)) != std::string::npos;
             start = end + 1) {
            if (end - start > NutServer::kMaxLine) break;
            NutAnswer answer =
                AnswerNutLine(std::string_view(buffer_).substr(start, end - start), connection_,
                              state, logins_.load(), now);
            if (answer.Then == NutAnswer::Effect::LoggedIn) ++logins_;
            reply += answer.Text;
            if (answer.Then == NutAnswer::Effect::Close) {
                // Gone from the count at once, not when the client gets round to closing.
                if (connection_.LoggedIn) --logins_;
                connection_.LoggedIn = false;
                return Answer(std::move(reply), true);
            }
        }
        // Only whole lines count as activity: a trickle of bytes does not hold the connection.
        if (start > 0) last_line_ = now;
        buffer_.erase(0, start);
        if (buffer_.size() > NutServer::kMaxLine) return Answer(reply + kTooLong, true);
        if (reply.empty()) return Read();
        Answer(std::move(reply), false);
    }

    void Answer(std::string text, bool close_after) {
        reply_ = std::move(text);
        close_after_ = close_after;
        // Most answers fit the socket's buffer at once; only the rest waits for the client.
        boost::system::error_code error;
        const std::size_t sent = socket_.write_some(net::buffer(reply_), error);
        if (error && error != net::error::would_block) return Close();
        if (!error && sent == reply_.size()) return Written();
        writing_ = true;
        write_start_ = Clock::now();
        ArmWatch();
        net::async_write(socket_, net::buffer(reply_.data() + (error ? 0 : sent),
                                              reply_.size() - (error ? 0 : sent)),
                         [self = shared_from_this()](boost::system::error_code write_error,
                                                     std::size_t) {
                             self->writing_ = false;
                             if (write_error) return self->Close();
                             self->Written();
                         });
    }

    void Written() {
        if (!close_after_) return Read();
        // What the client still sends is read and dropped for a moment before the close, so
        // that unread bytes do not reset the connection under the last answer.
        boost::system::error_code ignored;
        socket_.shutdown(tcp::socket::shutdown_send, ignored);
        lingering_ = true;
        linger_start_ = Clock::now();
        ArmWatch();
        Drain();
    }

    void Drain() {
        socket_.async_read_some(net::buffer(chunk_),
                                [self = shared_from_this()](boost::system::error_code error,
                                                            std::size_t) {
                                    if (error) return self->Close();
                                    self->Drain();
                                });
    }

    tcp::socket socket_;
    net::steady_timer watch_;
    TcpPool& pool_;
    const NutSource& source_;
    std::atomic<int>& logins_;
    const NutServer::Limits limits_;
    Clock::time_point watch_due_{};
    bool watch_armed_ = false;
    std::shared_ptr<const NutState> state_;
    std::uint64_t state_version_ = 0;
    std::string buffer_;
    std::string reply_;
    char chunk_[1024];
    NutConnection connection_;
    Clock::time_point last_line_{};
    Clock::time_point write_start_{};
    Clock::time_point linger_start_{};
    bool writing_ = false;
    bool close_after_ = false;
    bool lingering_ = false;
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
