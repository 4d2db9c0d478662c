// A load of NUT network protocol `GET VAR` requests: N clients, each on its own
// TCP connection, each with one request in flight (send a line, read the one
// reply line, send the next). Counts the replies that start with "VAR " and
// everything else as an error, and prints one line of key=value figures:
//
//   rps=… requests=… errors=… p50_us=… p99_us=… clients=… seconds=…
//
//   gw_nut_load HOST PORT UPS VARIABLE CLIENTS SECONDS [USER PASSWORD]
//
// With USER and PASSWORD each client logs in first (USERNAME, PASSWORD, both
// answered "OK"); the load itself does not need it. A lost connection counts as
// an error and the client connects again, so a server that drops clients shows
// up in the figures instead of ending the run. Used by bench/nut_bench.py.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Latencies in whole microseconds; the last bucket holds everything slower.
constexpr std::size_t kBuckets = 200000;

struct Options {
    std::string host;
    std::string port;
    std::string ups;
    std::string variable;
    int clients = 8;
    double seconds = 10;
    std::string user;
    std::string password;
};

struct ClientResult {
    std::uint64_t replies = 0;
    std::uint64_t errors = 0;
    std::vector<std::uint32_t> histogram = std::vector<std::uint32_t>(kBuckets, 0);
    std::string first_error;
};

class Connection {
public:
    Connection() = default;
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    ~Connection() { Close(); }

    bool Open(const Options& options, std::string& why) {
        Close();
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        const int rc = getaddrinfo(options.host.c_str(), options.port.c_str(), &hints, &found);
        if (rc != 0) {
            why = std::string("resolve: ") + gai_strerror(rc);
            return false;
        }
        for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
            fd_ = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
            if (fd_ < 0) continue;
            if (connect(fd_, a->ai_addr, a->ai_addrlen) == 0) break;
            why = std::string("connect: ") + std::strerror(errno);
            Close();
        }
        freeaddrinfo(found);
        if (fd_ < 0) return false;
        // Each request is one small write that waits for its answer; Nagle would
        // only hold it back.
        const int one = 1;
        setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        // A server that stops answering ends the wait with an error, not a hang.
        timeval timeout{5, 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
        buffer_.clear();
        return true;
    }

    void Close() {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }

    bool Send(const std::string& line, std::string& why) {
        std::size_t sent = 0;
        while (sent < line.size()) {
            const ssize_t n = send(fd_, line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                why = std::string("send: ") + std::strerror(errno);
                return false;
            }
            sent += static_cast<std::size_t>(n);
        }
        return true;
    }

    // One line without its LF. A reply longer than any the protocol gives is
    // treated as a broken connection rather than buffered for ever.
    bool ReadLine(std::string& line, std::string& why) {
        for (;;) {
            const std::size_t end = buffer_.find('\n');
            if (end != std::string::npos) {
                line.assign(buffer_, 0, end);
                buffer_.erase(0, end + 1);
                return true;
            }
            if (buffer_.size() > 64 * 1024) {
                why = "reply line longer than 64 KiB";
                return false;
            }
            char chunk[4096];
            const ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
            if (n < 0 && errno == EINTR) continue;
            if (n == 0) {
                why = "server closed the connection";
                return false;
            }
            if (n < 0) {
                why = std::string("recv: ") + std::strerror(errno);
                return false;
            }
            buffer_.append(chunk, static_cast<std::size_t>(n));
        }
    }

private:
    int fd_ = -1;
    std::string buffer_;
};

bool LogIn(Connection& connection, const Options& options, std::string& why) {
    if (options.user.empty()) return true;
    std::string reply;
    for (const std::string& line :
         {"USERNAME " + options.user + "\n", "PASSWORD " + options.password + "\n"}) {
        if (!connection.Send(line, why) || !connection.ReadLine(reply, why)) return false;
        if (reply.rfind("OK", 0) != 0) {
            why = "login refused: " + reply;
            return false;
        }
    }
    return true;
}

bool Connect(Connection& connection, const Options& options, std::string& why) {
    return connection.Open(options, why) && LogIn(connection, options, why);
}

void RecordError(ClientResult& result, const std::string& why) {
    ++result.errors;
    if (result.first_error.empty()) result.first_error = why;
}

void RunClient(const Options& options, Connection& connection, const std::atomic<bool>& go,
               Clock::time_point end, ClientResult& result) {
    const std::string request = "GET VAR " + options.ups + " " + options.variable + "\n";
    std::string reply;
    std::string why;
    bool connected = true;
    while (!go.load(std::memory_order_acquire)) std::this_thread::yield();
    for (;;) {
        const Clock::time_point start = Clock::now();
        if (start >= end) break;
        if (!connected) {
            connected = Connect(connection, options, why);
            if (!connected) {
                RecordError(result, why);
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
                continue;
            }
        }
        if (!connection.Send(request, why) || !connection.ReadLine(reply, why)) {
            RecordError(result, why);
            connection.Close();
            connected = false;
            continue;
        }
        const auto micros =
            std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count();
        ++result.histogram[std::min<std::size_t>(static_cast<std::size_t>(micros), kBuckets - 1)];
        if (reply.rfind("VAR ", 0) == 0) {
            ++result.replies;
        } else {
            RecordError(result, "reply: " + reply);
        }
    }
}

double Percentile(const std::vector<std::uint64_t>& histogram, std::uint64_t total,
                  double fraction) {
    if (total == 0) return 0;
    const auto rank = static_cast<std::uint64_t>(fraction * static_cast<double>(total - 1)) + 1;
    std::uint64_t seen = 0;
    for (std::size_t i = 0; i < histogram.size(); ++i) {
        seen += histogram[i];
        if (seen >= rank) return static_cast<double>(i);
    }
    return static_cast<double>(histogram.size() - 1);
}

[[noreturn]] void Usage() {
    std::fprintf(stderr,
                 "usage: gw_nut_load HOST PORT UPS VARIABLE CLIENTS SECONDS [USER PASSWORD]\n");
    std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 7 && argc != 9) Usage();
    Options options;
    options.host = argv[1];
    options.port = argv[2];
    options.ups = argv[3];
    options.variable = argv[4];
    options.clients = std::atoi(argv[5]);
    options.seconds = std::atof(argv[6]);
    if (argc == 9) {
        options.user = argv[7];
        options.password = argv[8];
    }
    if (options.clients < 1 || options.clients > 10000 || !(options.seconds > 0)) Usage();

    // Every client is connected (and logged in) before the clock starts, so the
    // figures hold no connection set-up.
    std::vector<Connection> connections(static_cast<std::size_t>(options.clients));
    for (Connection& connection : connections) {
        std::string why;
        if (!Connect(connection, options, why)) {
            std::fprintf(stderr, "gw_nut_load: %s:%s: %s\n", options.host.c_str(),
                         options.port.c_str(), why.c_str());
            return 1;
        }
    }

    std::vector<ClientResult> results(connections.size());
    std::vector<std::thread> threads;
    std::atomic<bool> go{false};
    const auto length =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options.seconds));
    // The end is fixed before the threads start and they are released together,
    // so a slow thread start does not stretch the run.
    const Clock::time_point start = Clock::now() + std::chrono::milliseconds(50);
    const Clock::time_point end = start + length;
    for (std::size_t i = 0; i < connections.size(); ++i) {
        threads.emplace_back(RunClient, std::cref(options), std::ref(connections[i]), std::cref(go),
                             end, std::ref(results[i]));
    }
    std::this_thread::sleep_until(start);
    go.store(true, std::memory_order_release);
    for (std::thread& thread : threads) thread.join();
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();

    std::uint64_t replies = 0;
    std::uint64_t errors = 0;
    std::uint64_t timed = 0;
    std::vector<std::uint64_t> histogram(kBuckets, 0);
    std::string first_error;
    for (const ClientResult& result : results) {
        replies += result.replies;
        errors += result.errors;
        if (first_error.empty()) first_error = result.first_error;
        for (std::size_t i = 0; i < kBuckets; ++i) {
            histogram[i] += result.histogram[i];
            timed += result.histogram[i];
        }
    }
    std::printf(
        "rps=%.0f requests=%llu errors=%llu p50_us=%.0f p99_us=%.0f clients=%d seconds=%.2f\n",
        static_cast<double>(replies) / elapsed, static_cast<unsigned long long>(replies),
        static_cast<unsigned long long>(errors), Percentile(histogram, timed, 0.50),
        Percentile(histogram, timed, 0.99), options.clients, elapsed);
    if (!first_error.empty())
        std::fprintf(stderr, "gw_nut_load: first error: %s\n", first_error.c_str());
    return 0;
}
