#include "link/nut_client.h"

#include <atomic>
#include <boost/asio.hpp>
#include <cctype>
#include <condition_variable>
#include <deque>
#include <istream>
#include <mutex>

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
            // The line's own end is no character of a word, escaped or not.
            const char next = line[++i];
            if (next != '\r' && next != '\n') word += next;
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

namespace {

// One TCP connection to the server. Every operation is asynchronous and run on the
// connection's own io_context for at most its deadline, so no server can hold the thread.
class Connection {
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

// What the thread knows of its connection; nothing of it is shared with the main thread.
struct Session {
    bool LoggedIn = false;
    bool LoggedOut = false;  // for good: the machine is going down
    bool CommandsKnown = false;
    std::vector<std::string> Commands;
};

struct Request {
    std::string Command;  // INSTCMD's; empty: LOGOUT
    NutClient::OnCommandDone Done;
    std::function<void()> LoggedOut;
    bool ForGood = true;
};

}  // namespace

// Everything the thread uses. The thread holds it by a shared pointer, so that a thread left
// behind in a name lookup never reaches a client that is gone.
struct NutClient::Shared {
    NutTarget Target;
    std::string User;
    std::string Password;
    NutTimings Timings;
    bool LogIn = true;
    MainLoop* Loop = nullptr;
    OnReading Reading;
    std::shared_ptr<bool> Alive = std::make_shared<bool>(true);  // main thread only

    std::mutex Mutex;
    std::condition_variable Wake;
    // Guarded by Mutex.
    std::chrono::milliseconds Interval{3000};
    std::deque<Request> Requests;
    bool Stopping = false;
    std::function<void()> Interrupt;  // stops the thread's own I/O at once

    // To the main loop, unless stopping: once Stop has set that, nothing more is posted.
    void Post(std::function<void()> task) {
        std::lock_guard<std::mutex> lock(Mutex);
        if (Stopping) return;
        Loop->Post([alive = Alive, task = std::move(task)] {
            if (*alive) task();
        });
    }
};

namespace {

using Shared = std::shared_ptr<NutClient::Shared>;

NutReading Try(NutClient::Shared& shared, Connection& connection, Session& session) {
    NutReading reading;
    reading.Time = std::chrono::system_clock::now();
    std::string error;
    std::vector<std::string> answer;
    const std::string ups = QuoteNutWord(shared.Target.Ups);
    const auto failed = [&](NutOutcome outcome, std::string detail) {
        reading.Outcome = outcome;
        reading.Detail = std::move(detail);
        return reading;
    };
    if (!connection.Open()) {
        session = Session{};
        if (!connection.Connect(shared.Target, error)) {
            return failed(NutOutcome::Unreachable, error);
        }
        if (!shared.User.empty()) {
            std::vector<std::string> requests{"USERNAME " + QuoteNutWord(shared.User),
                                              "PASSWORD " + QuoteNutWord(shared.Password)};
            if (shared.LogIn) requests.push_back("LOGIN " + ups);
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
            session.LoggedIn = shared.LogIn;
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

// False when the connection failed meanwhile.
bool Serve(NutClient::Shared& shared, Connection& connection, Session& session, Request& request) {
    std::string error;
    std::vector<std::string> answer;
    if (request.Command.empty()) {
        // A server that does not answer LOGOUT in time is left: closing counts the same.
        if (connection.Open() && session.LoggedIn) connection.Ask("LOGOUT", answer, error);
        connection.Close();
        session.LoggedIn = false;
        session.LoggedOut = request.ForGood;
        shared.Post(std::move(request.LoggedOut));
        return true;
    }
    std::string result;
    bool open = true;
    if (session.LoggedOut || !connection.Open()) {
        result = "NOT-CONNECTED";
    } else if (!connection.Ask("INSTCMD " + QuoteNutWord(shared.Target.Ups) + " " +
                                   QuoteNutWord(request.Command),
                               answer, error)) {
        result = "NOT-CONNECTED";
        open = false;
    } else if (answer.empty() || answer[0] != "OK") {
        result = ErrorWord(answer);
        if (result.empty()) result = "UNEXPECTED-ANSWER";
    }
    shared.Post([done = std::move(request.Done), result] {
        if (done) done(result);
    });
    return open;
}

void Body(Shared shared, std::shared_ptr<std::atomic<bool>> finished) {
    auto halt = std::make_shared<std::atomic<bool>>(false);
    Connection connection(shared->Timings, *halt);
    Session session;
    {
        std::lock_guard<std::mutex> lock(shared->Mutex);
        shared->Interrupt = [halt, &connection] {
            *halt = true;
            connection.Io().stop();
        };
        // A Stop before the thread got here found no interrupt to call.
        if (shared->Stopping) *halt = true;
    }
    int failures = 0;
    bool stop = false;
    while (!stop) {
        std::chrono::steady_clock::duration wait = std::chrono::hours(24);
        if (!session.LoggedOut) {
            NutReading reading = Try(*shared, connection, session);
            const bool failed =
                reading.Outcome != NutOutcome::Fresh && reading.Outcome != NutOutcome::Stale;
            failures = failed ? failures + 1 : 0;
            if (failed) reading.RetryIn = NutRetryDelay(failures);
            const std::chrono::seconds retry = reading.RetryIn;
            shared->Post([shared, reading = std::move(reading)] { shared->Reading(reading); });
            std::lock_guard<std::mutex> lock(shared->Mutex);
            wait = failed ? std::chrono::steady_clock::duration(retry)
                          : std::chrono::steady_clock::duration(shared->Interval);
        }
        const auto until = std::chrono::steady_clock::now() + wait;
        for (;;) {
            std::unique_lock<std::mutex> lock(shared->Mutex);
            shared->Wake.wait_until(lock, until,
                                    [&] { return shared->Stopping || !shared->Requests.empty(); });
            if (shared->Stopping) {
                stop = true;
                break;
            }
            if (shared->Requests.empty()) break;
            Request request = std::move(shared->Requests.front());
            shared->Requests.pop_front();
            lock.unlock();
            Serve(*shared, connection, session, request);
        }
    }
    {
        std::lock_guard<std::mutex> lock(shared->Mutex);
        shared->Interrupt = nullptr;
    }
    // Closing is as good as LOGOUT to the server's count, and never waits.
    connection.Close();
    *finished = true;
}

}  // namespace

NutClient::NutClient(NutTarget target, std::string user, std::string password, MainLoop& loop,
                     OnReading on_reading, NutTimings timings)
    : target_(target), shared_(std::make_shared<Shared>()) {
    shared_->Target = std::move(target);
    shared_->User = std::move(user);
    shared_->Password = std::move(password);
    shared_->Timings = timings;
    shared_->Loop = &loop;
    shared_->Reading = std::move(on_reading);
}

NutClient::~NutClient() { Stop(); }

void NutClient::SetLogIn(bool log_in) { shared_->LogIn = log_in; }

void NutClient::Start(std::chrono::milliseconds interval) {
    if (thread_.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(shared_->Mutex);
        shared_->Interval = interval;
    }
    thread_ = std::thread(Body, shared_, finished_);
}

void NutClient::SetInterval(std::chrono::milliseconds interval) {
    std::lock_guard<std::mutex> lock(shared_->Mutex);
    shared_->Interval = interval;
}

void NutClient::SendInstantCommand(const std::string& command, OnCommandDone done) {
    {
        std::lock_guard<std::mutex> lock(shared_->Mutex);
        shared_->Requests.push_back({command, std::move(done), nullptr, true});
    }
    shared_->Wake.notify_all();
}

void NutClient::LogOut(std::function<void()> done, bool for_good) {
    {
        std::lock_guard<std::mutex> lock(shared_->Mutex);
        shared_->Requests.push_back({std::string(), nullptr, std::move(done), for_good});
    }
    shared_->Wake.notify_all();
}

void NutClient::Stop() {
    *shared_->Alive = false;
    {
        std::lock_guard<std::mutex> lock(shared_->Mutex);
        shared_->Stopping = true;
        if (shared_->Interrupt) shared_->Interrupt();
    }
    shared_->Wake.notify_all();
    if (!thread_.joinable()) return;
    // Every step but a name lookup ends at the interrupt; a lookup ends when the resolver
    // gives up, and the thread may take its time then: it owns what it uses.
    const auto until = std::chrono::steady_clock::now() + kStopWait;
    while (!*finished_ && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (*finished_) {
        thread_.join();
    } else {
        thread_.detach();
    }
}

}  // namespace gw::link
