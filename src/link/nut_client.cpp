#include "link/nut_client.h"

#include <atomic>
#include <boost/asio.hpp>
#include <cctype>
#include <istream>

namespace gw::link {

namespace asio = boost::asio;
using asio::ip::tcp;
using boost::system::error_code;

namespace {

// No answer line of the protocol comes near this; a server that sends one is broken.
constexpr std::size_t kMaxLine = 64 * 1024;
// LIST VAR of the richest drivers stays under a few hundred.
constexpr int kMaxListLines = 5000;
constexpr std::chrono::seconds kFirstRetry{2};
constexpr std::chrono::seconds kLongestRetry{60};

bool PlainWordChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '.' || c == '-' || c == '_';
}

std::optional<std::uint16_t> PortOf(std::string_view text) {
    if (text.empty() || text.size() > 5) return std::nullopt;
    unsigned value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value == 0 || value > 65535) return std::nullopt;
    return static_cast<std::uint16_t>(value);
}

// What an ERR word means for the watch.
NutOutcome OutcomeOfError(const std::string& word) {
    if (word == "DATA-STALE" || word == "DRIVER-NOT-CONNECTED") return NutOutcome::Stale;
    if (word == "UNKNOWN-UPS") return NutOutcome::UnknownUps;
    if (word == "ACCESS-DENIED" || word == "INVALID-PASSWORD" || word == "PASSWORD-REQUIRED" ||
        word == "USERNAME-REQUIRED" || word == "INVALID-USERNAME") {
        return NutOutcome::Refused;
    }
    return NutOutcome::Failed;
}

// The ERR word of an answer; empty when it is none.
std::string ErrorWord(const std::vector<std::string>& words) {
    if (words.size() >= 2 && words[0] == "ERR") return words[1];
    return {};
}

}  // namespace

std::string NutTarget::Name() const {
    std::string host = Host.find(':') != std::string::npos ? "[" + Host + "]" : Host;
    std::string name = Ups + "@" + host;
    if (Port != kNutDefaultPort) name += ":" + std::to_string(Port);
    return name;
}

std::optional<NutTarget> ParseNutTarget(std::string_view text, std::string& error) {
    const std::size_t at = text.find('@');
    if (at == std::string_view::npos || at == 0) {
        error = "\"" + std::string(text) + "\" is not UPS@HOST[:PORT]";
        return std::nullopt;
    }
    NutTarget target;
    target.Ups = std::string(text.substr(0, at));
    for (char c : target.Ups) {
        if (!PlainWordChar(c)) {
            error = "\"" + target.Ups + "\" is no UPS name";
            return std::nullopt;
        }
    }
    std::string_view rest = text.substr(at + 1);
    std::string_view port;
    if (!rest.empty() && rest.front() == '[') {
        const std::size_t close = rest.find(']');
        if (close == std::string_view::npos || close == 1) {
            error = "\"" + std::string(text) + "\": an IPv6 address goes in brackets";
            return std::nullopt;
        }
        target.Host = std::string(rest.substr(1, close - 1));
        rest.remove_prefix(close + 1);
        if (!rest.empty()) {
            if (rest.front() != ':') {
                error = "\"" + std::string(text) + "\" is not UPS@HOST[:PORT]";
                return std::nullopt;
            }
            port = rest.substr(1);
            if (port.empty()) port = "x";
        }
    } else {
        const std::size_t colon = rest.find(':');
        target.Host = std::string(rest.substr(0, colon));
        if (colon != std::string_view::npos) {
            port = rest.substr(colon + 1);
            if (port.empty()) port = "x";
        }
        if (target.Host.find_first_of(" []@/") != std::string::npos) target.Host.clear();
    }
    if (target.Host.empty()) {
        error = "\"" + std::string(text) + "\" names no host";
        return std::nullopt;
    }
    if (!port.empty()) {
        const std::optional<std::uint16_t> number = PortOf(port);
        if (!number) {
            error = "\"" + std::string(port) + "\" is no port";
            return std::nullopt;
        }
        target.Port = *number;
    }
    return target;
}

std::vector<std::string> SplitNutLine(std::string_view line) {
    std::vector<std::string> words;
    std::string word;
    bool in_word = false;
    bool quoted = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (c == '\\' && i + 1 < line.size()) {
            word += line[++i];
            in_word = true;
        } else if (c == '"') {
            quoted = !quoted;
            in_word = true;
        } else if ((c == ' ' || c == '\t') && !quoted) {
            if (in_word) words.push_back(std::move(word));
            word.clear();
            in_word = false;
        } else if (c != '\r' && c != '\n') {
            word += c;
            in_word = true;
        }
    }
    if (in_word) words.push_back(std::move(word));
    return words;
}

std::string QuoteNutWord(std::string_view word) {
    bool plain = !word.empty();
    for (char c : word) plain = plain && PlainWordChar(c);
    if (plain) return std::string(word);
    std::string quoted = "\"";
    for (char c : word) {
        if (c == '"' || c == '\\') quoted += '\\';
        quoted += c;
    }
    return quoted + "\"";
}

std::chrono::seconds NutRetryDelay(int failures) {
    std::chrono::seconds delay = kFirstRetry;
    for (int i = 1; i < failures && delay < kLongestRetry; ++i) delay *= 2;
    return std::min(delay, kLongestRetry);
}

// One TCP connection to the server. Every operation is asynchronous and run on the
// connection's own io_context for at most its deadline, so no server can hold the thread.
class NutClient::Connection {
public:
    Connection(NutTimings timings, const std::atomic<bool>& halt)
        : timings_(timings), halt_(halt) {}

    asio::io_context& Io() { return io_; }
    bool Open() const { return socket_.is_open(); }

    bool Connect(const NutTarget& target, std::string& error) {
        Close();
        tcp::resolver resolver(io_);
        tcp::resolver::results_type endpoints;
        const auto resolve = [&](error_code& result) {
            resolver.async_resolve(target.Host, std::to_string(target.Port),
                                   [&](const error_code& e, tcp::resolver::results_type found) {
                                       result = e;
                                       endpoints = std::move(found);
                                   });
        };
        if (!Run(
                timings_.Connect, resolve, [&] { resolver.cancel(); }, error))
            return false;
        const auto connect = [&](error_code& result) {
            asio::async_connect(socket_, endpoints,
                                [&](const error_code& e, const tcp::endpoint&) { result = e; });
        };
        if (!Run(
                timings_.Connect, connect, [&] { Close(); }, error))
            return false;
        error_code ignored;
        socket_.set_option(tcp::no_delay(true), ignored);
        return true;
    }

    // Writes one request line and reads the first line of its answer.
    bool Ask(const std::string& request, std::vector<std::string>& answer, std::string& error) {
        const std::string line = request + "\n";
        const auto write = [&](error_code& result) {
            asio::async_write(socket_, asio::buffer(line),
                              [&](const error_code& e, std::size_t) { result = e; });
        };
        if (!Run(
                timings_.Reply, write, [&] { Close(); }, error))
            return false;
        return ReadLine(answer, error);
    }

    bool ReadLine(std::vector<std::string>& words, std::string& error) {
        const auto read = [&](error_code& result) {
            asio::async_read_until(socket_, buffer_, '\n',
                                   [&](const error_code& e, std::size_t) { result = e; });
        };
        if (!Run(
                timings_.Reply, read, [&] { Close(); }, error))
            return false;
        std::istream stream(&buffer_);
        std::string line;
        std::getline(stream, line);
        words = SplitNutLine(line);
        return true;
    }

    void Close() {
        error_code ignored;
        socket_.shutdown(tcp::socket::shutdown_both, ignored);
        socket_.close(ignored);
        buffer_.consume(buffer_.size());
    }

private:
    template <typename Start, typename Cancel>
    bool Run(std::chrono::milliseconds limit, Start start, Cancel cancel, std::string& error) {
        error_code result = asio::error::would_block;
        io_.restart();
        start(result);
        if (!halt_) io_.run_for(limit);
        if (result == asio::error::would_block) {
            cancel();
            io_.restart();
            io_.run();  // the cancelled handler ends before its captures do
            Close();
            const long long ms = limit.count();
            error = halt_            ? "stopped"
                    : ms % 1000 == 0 ? "no answer within " + std::to_string(ms / 1000) + " s"
                                     : "no answer within " + std::to_string(ms) + " ms";
            return false;
        }
        if (result) {
            error = result == asio::error::eof         ? "the server closed the connection"
                    : result == asio::error::not_found ? "an answer line too long"
                                                       : result.message();
            Close();
            return false;
        }
        return true;
    }

    NutTimings timings_;
    const std::atomic<bool>& halt_;
    asio::io_context io_;
    tcp::socket socket_{io_};
    asio::streambuf buffer_{kMaxLine};
};

NutClient::NutClient(NutTarget target, std::string user, std::string password, MainLoop& loop,
                     OnReading on_reading, NutTimings timings)
    : target_(std::move(target)),
      user_(std::move(user)),
      password_(std::move(password)),
      loop_(loop),
      on_reading_(std::move(on_reading)),
      timings_(timings) {}

NutClient::~NutClient() { Stop(); }

void NutClient::Start(std::chrono::milliseconds interval) {
    if (thread_.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        interval_ = interval;
        stopping_ = false;
    }
    *alive_ = true;
    thread_ = std::thread([this] { Body(); });
}

void NutClient::SetInterval(std::chrono::milliseconds interval) {
    std::lock_guard<std::mutex> lock(mutex_);
    interval_ = interval;
}

void NutClient::SendInstantCommand(const std::string& command, OnCommandDone done) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back({command, std::move(done), nullptr, true});
    }
    wake_.notify_all();
}

void NutClient::LogOut(std::function<void()> done, bool for_good) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back({std::string(), nullptr, std::move(done), for_good});
    }
    wake_.notify_all();
}

void NutClient::Stop() {
    *alive_ = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        if (interrupt_) interrupt_();
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void NutClient::PostToMain(std::function<void()> task) {
    loop_.Post([alive = alive_, task = std::move(task)] {
        if (*alive) task();
    });
}

// What the thread knows of its connection; nothing of it is shared with the main thread.
struct NutClient::Session {
    bool LoggedIn = false;
    bool LoggedOut = false;  // for good: the machine is going down
    bool CommandsKnown = false;
    std::vector<std::string> Commands;
};

void NutClient::Body() {
    auto halt = std::make_shared<std::atomic<bool>>(false);
    Connection connection(timings_, *halt);
    Session session;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        interrupt_ = [halt, &connection] {
            *halt = true;
            connection.Io().stop();
        };
        // A Stop before the thread got here finds no interrupt to call.
        if (stopping_) *halt = true;
    }
    int failures = 0;
    bool stop = false;
    while (!stop) {
        std::chrono::steady_clock::duration wait = std::chrono::hours(24);
        if (!session.LoggedOut) {
            NutReading reading = Try(connection, session);
            const bool failed =
                reading.Outcome != NutOutcome::Fresh && reading.Outcome != NutOutcome::Stale;
            failures = failed ? failures + 1 : 0;
            if (failed) reading.RetryIn = NutRetryDelay(failures);
            PostToMain([this, reading = std::move(reading)] { on_reading_(reading); });
            std::lock_guard<std::mutex> lock(mutex_);
            wait = failed ? std::chrono::steady_clock::duration(reading.RetryIn)
                          : std::chrono::steady_clock::duration(interval_);
        }
        const auto until = std::chrono::steady_clock::now() + wait;
        for (;;) {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait_until(lock, until, [this] { return stopping_ || !requests_.empty(); });
            if (stopping_) {
                stop = true;
                break;
            }
            if (requests_.empty()) break;
            Request request = std::move(requests_.front());
            requests_.pop_front();
            lock.unlock();
            Serve(connection, session, request);
        }
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        interrupt_ = nullptr;
    }
    // Closing is as good as LOGOUT to the server's count, and never waits.
    connection.Close();
}

NutReading NutClient::Try(Connection& connection, Session& session) {
    NutReading reading;
    reading.Time = std::chrono::system_clock::now();
    std::string error;
    std::vector<std::string> answer;
    const std::string ups = QuoteNutWord(target_.Ups);
    const auto failed = [&](NutOutcome outcome, std::string detail) {
        reading.Outcome = outcome;
        reading.Detail = std::move(detail);
        return reading;
    };
    if (!connection.Open()) {
        session = Session{};
        if (!connection.Connect(target_, error)) return failed(NutOutcome::Unreachable, error);
        if (!user_.empty()) {
            std::vector<std::string> requests{"USERNAME " + QuoteNutWord(user_),
                                              "PASSWORD " + QuoteNutWord(password_)};
            if (log_in_) requests.push_back("LOGIN " + ups);
            for (const std::string& request : requests) {
                if (!connection.Ask(request, answer, error)) {
                    return failed(NutOutcome::Unreachable, error);
                }
                if (answer.empty() || answer[0] != "OK") {
                    connection.Close();
                    const std::string word = ErrorWord(answer);
                    if (word.empty()) return failed(NutOutcome::Failed, "unexpected answer");
                    // A login that is refused is refused, whatever word the server picks.
                    const NutOutcome outcome = OutcomeOfError(word);
                    return failed(outcome == NutOutcome::UnknownUps ? outcome : NutOutcome::Refused,
                                  word);
                }
            }
            session.LoggedIn = log_in_;
        }
        if (!connection.Ask("LIST CMD " + ups, answer, error)) {
            return failed(NutOutcome::Unreachable, error);
        }
        if (answer.size() >= 2 && answer[0] == "BEGIN") {
            for (int i = 0; i < kMaxListLines; ++i) {
                if (!connection.ReadLine(answer, error)) {
                    return failed(NutOutcome::Unreachable, error);
                }
                if (!answer.empty() && answer[0] == "END") {
                    session.CommandsKnown = true;
                    break;
                }
                if (answer.size() >= 3 && answer[0] == "CMD") session.Commands.push_back(answer[2]);
            }
        }
    }
    reading.LoggedIn = session.LoggedIn;
    reading.CommandsKnown = session.CommandsKnown;
    reading.Commands = session.Commands;

    if (!connection.Ask("LIST VAR " + ups, answer, error)) {
        return failed(NutOutcome::Unreachable, error);
    }
    if (answer.size() < 2 || answer[0] != "BEGIN") {
        const std::string word = ErrorWord(answer);
        const NutOutcome outcome = word.empty() ? NutOutcome::Failed : OutcomeOfError(word);
        // Stale data is the server's news, not the connection's fault: it stays.
        if (outcome != NutOutcome::Stale) connection.Close();
        return failed(outcome, word.empty() ? "unexpected answer" : word);
    }
    for (int i = 0; i < kMaxListLines; ++i) {
        if (!connection.ReadLine(answer, error)) return failed(NutOutcome::Unreachable, error);
        if (!answer.empty() && answer[0] == "END") {
            reading.Outcome = NutOutcome::Fresh;
            reading.Time = std::chrono::system_clock::now();
            return reading;
        }
        if (answer.size() >= 4 && answer[0] == "VAR") reading.Variables[answer[2]] = answer[3];
    }
    connection.Close();
    return failed(NutOutcome::Failed, "a list without end");
}

bool NutClient::Serve(Connection& connection, Session& session, Request& request) {
    std::string error;
    std::vector<std::string> answer;
    if (request.Command.empty()) {
        // A server that does not answer LOGOUT in time is left: closing counts the same.
        if (connection.Open() && session.LoggedIn) connection.Ask("LOGOUT", answer, error);
        connection.Close();
        session.LoggedIn = false;
        session.LoggedOut = request.ForGood;
        PostToMain(std::move(request.LoggedOut));
        return true;
    }
    std::string result;
    bool open = true;
    if (session.LoggedOut || !connection.Open()) {
        result = "NOT-CONNECTED";
    } else if (!connection.Ask(
                   "INSTCMD " + QuoteNutWord(target_.Ups) + " " + QuoteNutWord(request.Command),
                   answer, error)) {
        result = "NOT-CONNECTED";
        open = false;
    } else if (answer.empty() || answer[0] != "OK") {
        result = ErrorWord(answer);
        if (result.empty()) result = "UNEXPECTED-ANSWER";
    }
    PostToMain([done = std::move(request.Done), result] {
        if (done) done(result);
    });
    return open;
}

}  // namespace gw::link
