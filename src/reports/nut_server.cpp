#include "reports/nut_server.h"

#include <algorithm>
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
    Session(tcp::socket socket, std::string address, TcpPool& pool, const NutSource& source,
            NutRoster& roster, LoginThrottle& throttle, NutServer::CommandSink sink,
            NutServer::Limits limits)
        : socket_(std::move(socket)),
          watch_(socket_.get_executor()),
          turn_(socket_.get_executor()),
          address_(std::move(address)),
          pool_(pool),
          source_(source),
          roster_(roster),
          throttle_(throttle),
          sink_(std::move(sink)),
          limits_(limits),
          last_valid_(Clock::now().time_since_epoch().count()) {}
    ~Session() override {
        if (connection_.LoggedIn) roster_.Remove(address_);
        pool_.Remove(this);
    }

    net::any_io_executor Executor() override { return socket_.get_executor(); }

    std::optional<Clock::time_point> IdleSince() const override {
        if (logged_in_.load()) return std::nullopt;
        return Clock::time_point(Clock::duration(last_valid_.load()));
    }
    // A secondary gives its name and password a line at a time; a crowd of anonymous
    // connections must not push it out before its LOGIN.
    int Standing() const override { return logging_in_.load() ? 1 : 0; }

    void Run() override {
        boost::system::error_code error;
        socket_.non_blocking(true, error);
        Heard(Clock::now());
        ArmWatch();
        Read();
    }

    void Close() override {
        CloseQuietly(socket_);
        watch_.cancel();
        turn_.cancel();
    }

private:
    void Heard(Clock::time_point now) {
        last_line_ = now;
        last_valid_.store(now.time_since_epoch().count());
    }

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
        socket_.async_read_some(
            net::buffer(chunk_),
            [self = shared_from_this()](boost::system::error_code error, std::size_t got) {
                self->OnRead(error, got);
            });
    }

    void OnRead(boost::system::error_code error, std::size_t got) {
        if (error) return Close();
        buffer_.append(chunk_, got);
        AnswerLines();
    }

    // Every whole line that came, answered in one write. A LOGIN whose address must wait for
    // its turn ends the batch: the lines before it are answered, the rest when the turn comes.
    void AnswerLines() {
        const Clock::time_point now = Clock::now();
        if (!state_ || source_.Version() != state_version_) {
            state_version_ = source_.Version();
            state_ = source_.Current();
        }
        const NutState& state = *state_;
        std::string reply;
        std::size_t start = 0;
        bool waiting = false;
        for (std::size_t end; (end = buffer_.find('\n', start)) != std::string::npos;
             start = end + 1) {
            if (end - start > NutServer::kMaxLine) break;
            const std::string_view line = std::string_view(buffer_).substr(start, end - start);
            const bool login = ChecksCredentials(line, connection_);
            if (login && !turn_granted_) {
                const std::optional<Clock::time_point> turn = throttle_.Schedule(address_, now);
                if (!turn) {
                    reply += "ERR ACCESS-DENIED\n";
                    continue;
                }
                if (*turn > now) {
                    waiting = true;
                    WaitForTurn(*turn);
                    break;
                }
            }
            turn_granted_ = false;
            NutAnswer answer = AnswerNutLine(line, connection_, state, roster_, now);
            if (answer.Valid) Heard(now);
            if (answer.Then == NutAnswer::Effect::LoggedIn) {
                logged_in_.store(true);
                roster_.Add(address_);
                throttle_.Passed(address_);
            } else if (answer.Then == NutAnswer::Effect::LoginRefused) {
                throttle_.Failed(address_, now);
                refused_ = true;
            } else if (answer.Then == NutAnswer::Effect::Command) {
                throttle_.Passed(address_);
                if (sink_ && answer.Command && !sink_(*answer.Command, address_)) {
                    answer.Text = "ERR INSTCMD-FAILED\n";
                }
            }
            logging_in_.store(!refused_ && (connection_.User || connection_.Password));
            reply += answer.Text;
            if (answer.Then == NutAnswer::Effect::Close) {
                // Gone from the count at once, not when the client gets round to closing; the
                // slot is anybody's while the answer lingers.
                if (connection_.LoggedIn) roster_.Remove(address_);
                connection_.LoggedIn = false;
                logged_in_.store(false);
                logging_in_.store(false);
                return Answer(std::move(reply), true);
            }
        }
        buffer_.erase(0, start);
        if (!waiting && buffer_.size() > NutServer::kMaxLine) {
            return Answer(reply + kTooLong, true);
        }
        if (reply.empty()) {
            if (!waiting) Read();
            return;
        }
        Answer(std::move(reply), false);
    }

    void WaitForTurn(Clock::time_point turn) {
        waiting_for_turn_ = true;
        turn_.expires_at(turn);
        turn_.async_wait([self = shared_from_this()](boost::system::error_code error) {
            if (error || !self->socket_.is_open()) return;
            self->waiting_for_turn_ = false;
            self->turn_granted_ = true;
            // An answer still being written goes on to the rest when it is done.
            if (!self->writing_) self->AnswerLines();
        });
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
        net::async_write(
            socket_,
            net::buffer(reply_.data() + (error ? 0 : sent), reply_.size() - (error ? 0 : sent)),
            [self = shared_from_this()](boost::system::error_code write_error, std::size_t) {
                self->writing_ = false;
                if (write_error) return self->Close();
                self->Written();
            });
    }

    void Written() {
        if (close_after_) return Linger();
        if (waiting_for_turn_) return;  // the turn's handler goes on
        if (turn_granted_) return AnswerLines();
        Read();
    }

    // What the client still sends is read and dropped for a moment before the close, so that
    // unread bytes do not reset the connection under the last answer.
    void Linger() {
        boost::system::error_code ignored;
        socket_.shutdown(tcp::socket::shutdown_send, ignored);
        lingering_ = true;
        linger_start_ = Clock::now();
        ArmWatch();
        Drain();
    }

    void Drain() {
        socket_.async_read_some(
            net::buffer(chunk_),
            [self = shared_from_this()](boost::system::error_code error, std::size_t) {
                if (error) return self->Close();
                self->Drain();
            });
    }

    tcp::socket socket_;
    net::steady_timer watch_;
    net::steady_timer turn_;  // until this address may have its credentials checked
    const std::string address_;
    TcpPool& pool_;
    const NutSource& source_;
    NutRoster& roster_;
    LoginThrottle& throttle_;
    const NutServer::CommandSink sink_;
    const NutServer::Limits limits_;
    Clock::time_point watch_due_{};
    bool watch_armed_ = false;
    std::shared_ptr<const NutState> state_;
    std::uint64_t state_version_ = 0;
    std::string buffer_;
    std::string reply_;
    char chunk_[1024];
    NutConnection connection_;
    // What the acceptor's thread reads for IdleSince.
    std::atomic<bool> logged_in_{false};
    std::atomic<bool> logging_in_{false};  // a name or password given, no LOGIN refused yet
    std::atomic<Clock::rep> last_valid_{0};
    Clock::time_point last_line_{};  // the last valid command
    Clock::time_point write_start_{};
    Clock::time_point linger_start_{};
    bool writing_ = false;
    bool close_after_ = false;
    bool lingering_ = false;
    bool waiting_for_turn_ = false;
    bool turn_granted_ = false;  // the LOGIN at the head of the buffer may be checked now
    bool refused_ = false;       // a LOGIN failed: no longer counts as logging in
};

}  // namespace

void NutRoster::Add(const std::string& address) {
    const std::lock_guard<std::mutex> lock(mutex_);
    addresses_.push_back(address);
    ++count_;
}

void NutRoster::Remove(const std::string& address) {
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto found = std::find(addresses_.begin(), addresses_.end(), address);
    if (found == addresses_.end()) return;
    addresses_.erase(found);
    --count_;
}

std::vector<std::string> NutRoster::Addresses() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return addresses_;
}

NutServer::NutServer(const NutSource& source, Limits limits, NutRoster* roster)
    : source_(source),
      limits_(limits),
      roster_(roster ? *roster : own_roster_),
      throttle_(limits.LoginDelay) {}

NutServer::~NutServer() { Stop(); }

std::string NutServer::Start(const std::string& address, std::uint16_t port) {
    Stop();
    // Servers that share the eighth split what it leaves them.
    const std::size_t sharing = std::max(1U, limits_.SharingDescriptors);
    const std::size_t most = std::max<std::size_t>(
        1, BoundByDescriptors(limits_.MaxConnections * sharing, kDescriptorEighths) / sharing);
    const TcpPool::Bounds bounds{most, limits_.MaxPerAddress};
    auto pool = std::make_unique<TcpPool>(
        kThreads, bounds,
        [this, sink = sink_](tcp::socket socket, const std::string& address,
                             TcpPool& owner) -> std::shared_ptr<TcpSession> {
            return std::make_shared<Session>(std::move(socket), address, owner, source_, roster_,
                                             throttle_, sink, limits_);
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

std::vector<std::string> NutServer::TakeFailedLoginReports(bool all) {
    return throttle_.TakeReports(LoginThrottle::Clock::now(), all);
}

}  // namespace gw::reports
