// The network UPS client: the UPS@HOST[:PORT] names, the line grammar, the back-off, and the
// conversation with a scripted server on a loopback socket (login, variables, each failure as
// its outcome, instant commands, LOGOUT).
#include "link/nut_client.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>

#include "fakes/manual_main_loop.h"

namespace gw::link {
namespace {

using namespace std::chrono_literals;

struct TargetCase {
    const char* Text;
    const char* Ups;  // null: refused
    const char* Host;
    std::uint16_t Port;
    const char* Name;
};

// clang-format off
const TargetCase kTargets[] = {
    {"ups@nas",                "ups", "nas",         3493, "ups@nas"},
    {"ups@nas:3494",           "ups", "nas",         3494, "ups@nas:3494"},
    {"ups@nas:3493",           "ups", "nas",         3493, "ups@nas"},
    {"my-ups.1@192.168.1.20",  "my-ups.1", "192.168.1.20", 3493, "my-ups.1@192.168.1.20"},
    {"ups@[::1]",              "ups", "::1",         3493, "ups@[::1]"},
    {"ups@[fe80::1]:1234",     "ups", "fe80::1",     1234, "ups@[fe80::1]:1234"},
    {"nas",                    nullptr, "", 0, ""},
    {"@nas",                   nullptr, "", 0, ""},
    {"ups@",                   nullptr, "", 0, ""},
    {"ups@nas:",               nullptr, "", 0, ""},
    {"ups@nas:0",              nullptr, "", 0, ""},
    {"ups@nas:65536",          nullptr, "", 0, ""},
    {"ups@nas:34x",            nullptr, "", 0, ""},
    {"ups@[::1",               nullptr, "", 0, ""},
    {"ups@[::1]x",             nullptr, "", 0, ""},
    {"ups@::1",                nullptr, "", 0, ""},
    {"u ps@nas",               nullptr, "", 0, ""},
};
// clang-format on

TEST(NutTarget, ParsesAsNutClientsNameAUps) {
    for (const TargetCase& c : kTargets) {
        std::string error;
        const std::optional<NutTarget> target = ParseNutTarget(c.Text, error);
        if (c.Ups == nullptr) {
            EXPECT_FALSE(target) << c.Text;
            EXPECT_FALSE(error.empty()) << c.Text;
            continue;
        }
        ASSERT_TRUE(target) << c.Text << ": " << error;
        EXPECT_EQ(target->Ups, c.Ups) << c.Text;
        EXPECT_EQ(target->Host, c.Host) << c.Text;
        EXPECT_EQ(target->Port, c.Port) << c.Text;
        EXPECT_EQ(target->Name(), c.Name) << c.Text;
    }
}

TEST(NutLine, SplitsAndQuotesAsUpsdDoes) {
    EXPECT_EQ(SplitNutLine("VAR ups ups.status \"OB LB\"\r"),
              (std::vector<std::string>{"VAR", "ups", "ups.status", "OB LB"}));
    EXPECT_EQ(SplitNutLine(R"(VAR ups x "a \"b\" \\c")"),
              (std::vector<std::string>{"VAR", "ups", "x", R"(a "b" \c)"}));
    EXPECT_EQ(SplitNutLine("VAR ups x \"\""), (std::vector<std::string>{"VAR", "ups", "x", ""}));
    EXPECT_EQ(QuoteNutWord("nas"), "nas");
    EXPECT_EQ(QuoteNutWord("s3 cret"), "\"s3 cret\"");
    EXPECT_EQ(QuoteNutWord(R"(a"b\)"), R"("a\"b\\")");
    EXPECT_EQ(QuoteNutWord(""), "\"\"");
    // What is quoted splits back to itself.
    for (const char* word : {"s3 cret", R"(a"b\)", "", "x"}) {
        EXPECT_EQ(SplitNutLine("PASSWORD " + QuoteNutWord(word)).at(1), word);
    }
}

TEST(NutLine, RetriesWaitTwoFourEightUpToAMinute) {
    const std::pair<int, int> cases[] = {{1, 2},  {2, 4},  {3, 8},  {4, 16},
                                         {5, 32}, {6, 60}, {40, 60}};
    for (const auto& [failures, seconds] : cases) {
        EXPECT_EQ(NutRetryDelay(failures).count(), seconds) << failures;
    }
}

// A server on a loopback port that answers each line by `answer` (empty: no answer at all)
// and keeps every line it was sent.
class ScriptedServer {
public:
    explicit ScriptedServer(std::function<std::string(const std::string&)> answer)
        : answer_(std::move(answer)) {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        socklen_t length = sizeof address;
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        listen(listener_, 4);
        thread_ = std::thread([this] { Serve(); });
    }
    ~ScriptedServer() {
        stopping_ = true;
        shutdown(listener_, SHUT_RDWR);
        close(listener_);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (client_ >= 0) shutdown(client_, SHUT_RDWR);
        }
        thread_.join();
    }
    std::uint16_t Port() const { return port_; }
    std::vector<std::string> Lines() {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }

private:
    void Serve() {
        while (!stopping_) {
            const int client = accept(listener_, nullptr, nullptr);
            if (client < 0) return;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                client_ = client;
            }
            std::string pending;
            char buffer[512];
            for (ssize_t n; (n = read(client, buffer, sizeof buffer)) > 0;) {
                pending.append(buffer, static_cast<std::size_t>(n));
                for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
                    const std::string line = pending.substr(0, end);
                    pending.erase(0, end + 1);
                    {
                        std::lock_guard<std::mutex> lock(mutex_);
                        lines_.push_back(line);
                    }
                    const std::string reply = answer_(line);
                    if (!reply.empty()) (void)!write(client, reply.data(), reply.size());
                }
            }
            std::lock_guard<std::mutex> lock(mutex_);
            close(client);
            client_ = -1;
        }
    }

    std::function<std::string(const std::string&)> answer_;
    int listener_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
    std::mutex mutex_;
    int client_ = -1;
    std::vector<std::string> lines_;
};

// upsd's answers for one UPS "ups", the password "s3cret" and the status `status`.
std::string Upsd(const std::string& line, const std::string& status) {
    if (line.rfind("USERNAME", 0) == 0 || line == "PASSWORD s3cret") return "OK\n";
    if (line.rfind("PASSWORD", 0) == 0) return "OK\n";  // upsd checks it at LOGIN
    if (line == "LOGIN ups") return "OK\n";
    if (line.rfind("LOGIN", 0) == 0) return "ERR UNKNOWN-UPS\n";
    if (line == "LIST CMD ups") {
        return "BEGIN LIST CMD ups\nCMD ups beeper.toggle\nCMD ups test.battery.start.quick\n"
               "END LIST CMD ups\n";
    }
    if (line == "LIST VAR ups") {
        if (status.empty()) return "ERR DATA-STALE\n";
        return "BEGIN LIST VAR ups\nVAR ups ups.status \"" + status +
               "\"\nVAR ups ups.model \"Smart \\\"X\\\" 1500\"\nVAR ups battery.charge \"87\"\n"
               "END LIST VAR ups\n";
    }
    if (line == "INSTCMD ups beeper.toggle") return "OK\n";
    if (line.rfind("INSTCMD", 0) == 0) return "ERR ACCESS-DENIED\n";
    if (line == "LOGOUT") return "OK Goodbye\n";
    return "ERR UNKNOWN-COMMAND\n";
}

class NutClientTest : public ::testing::Test {
protected:
    // Runs the loop until `reading_` holds `count` readings, for at most 10 s of wall time.
    void WaitForReadings(std::size_t count) {
        for (int i = 0; i < 1000 && readings_.size() < count; ++i) {
            loop_.RunUntilIdle();
            std::this_thread::sleep_for(10ms);
        }
        ASSERT_GE(readings_.size(), count);
    }
    std::unique_ptr<NutClient> Client(std::uint16_t port, const std::string& ups,
                                      const std::string& password, NutTimings timings = {}) {
        NutTarget target{ups, "127.0.0.1", port};
        return std::make_unique<NutClient>(
            target, "nas", password, loop_,
            [this](const NutReading& reading) { readings_.push_back(reading); }, timings);
    }

    fakes::ManualLoop loop_;
    std::vector<NutReading> readings_;
};

TEST_F(NutClientTest, LogsInReadsTheVariablesSendsCommandsAndLogsOut) {
    ScriptedServer server([](const std::string& line) { return Upsd(line, "OB LB"); });
    auto client = Client(server.Port(), "ups", "s3cret");
    client->Start(1h);
    WaitForReadings(1);
    const NutReading& reading = readings_[0];
    EXPECT_EQ(reading.Outcome, NutOutcome::Fresh);
    EXPECT_TRUE(reading.LoggedIn);
    EXPECT_EQ(reading.Variables.at("ups.status"), "OB LB");
    EXPECT_EQ(reading.Variables.at("ups.model"), "Smart \"X\" 1500");
    EXPECT_TRUE(reading.CommandsKnown);
    EXPECT_EQ(reading.Commands,
              (std::vector<std::string>{"beeper.toggle", "test.battery.start.quick"}));

    std::vector<std::string> results;
    client->SendInstantCommand("beeper.toggle",
                               [&](const std::string& e) { results.push_back(e); });
    client->SendInstantCommand("test.battery.start.quick",
                               [&](const std::string& e) { results.push_back(e); });
    bool logged_out = false;
    client->LogOut([&] { logged_out = true; });
    for (int i = 0; i < 1000 && !logged_out; ++i) {
        loop_.RunUntilIdle();
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_TRUE(logged_out);
    EXPECT_EQ(results, (std::vector<std::string>{"", "ACCESS-DENIED"}));
    EXPECT_EQ(server.Lines(),
              (std::vector<std::string>{"USERNAME nas", "PASSWORD s3cret", "LOGIN ups",
                                        "LIST CMD ups", "LIST VAR ups", "INSTCMD ups beeper.toggle",
                                        "INSTCMD ups test.battery.start.quick", "LOGOUT"}));
    client->Stop();
}

TEST_F(NutClientTest, EachFailureIsItsOutcomeWithAGrowingWait) {
    struct Case {
        const char* Name;
        std::function<std::string(const std::string&)> Answer;
        std::string Ups;
        NutOutcome Outcome;
        const char* Detail;
        int RetryIn;
    };
    const Case cases[] = {
        {"refused login",
         [](const std::string& line) {
             return line == "LOGIN ups" ? "ERR ACCESS-DENIED\n" : Upsd(line, "OL");
         },
         "ups", NutOutcome::Refused, "ACCESS-DENIED", 2},
        {"unknown UPS", [](const std::string& line) { return Upsd(line, "OL"); }, "nosuch",
         NutOutcome::UnknownUps, "UNKNOWN-UPS", 2},
        {"stale data", [](const std::string& line) { return Upsd(line, ""); }, "ups",
         NutOutcome::Stale, "DATA-STALE", 0},
        {"silent server", [](const std::string&) { return std::string(); }, "ups",
         NutOutcome::Unreachable, "no answer within 300 ms", 2},
    };
    for (const Case& c : cases) {
        readings_.clear();
        ScriptedServer server(c.Answer);
        auto client = Client(server.Port(), c.Ups, "s3cret", {1000ms, 300ms});
        client->Start(1h);
        WaitForReadings(1);
        EXPECT_EQ(readings_[0].Outcome, c.Outcome) << c.Name;
        EXPECT_EQ(readings_[0].Detail, c.Detail) << c.Name;
        EXPECT_EQ(readings_[0].RetryIn.count(), c.RetryIn) << c.Name;
        client->Stop();
    }
    // Nobody listening.
    readings_.clear();
    std::uint16_t port = 0;
    {
        port = ScriptedServer([](const std::string&) { return std::string(); }).Port();
    }
    auto client = Client(port, "ups", "s3cret");
    client->Start(1h);
    WaitForReadings(1);
    EXPECT_EQ(readings_[0].Outcome, NutOutcome::Unreachable);
    EXPECT_EQ(readings_[0].Detail, "Connection refused");
    client->Stop();
}

}  // namespace
}  // namespace gw::link
