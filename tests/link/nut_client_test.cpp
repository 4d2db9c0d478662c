// The network UPS client: the UPS@HOST[:PORT] names, the line grammar, the back-off, and the
// conversation with a scripted server on a loopback socket (login, variables, each failure as
// its outcome, instant commands, LOGOUT).
#include "link/nut_client.h"

#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include "fakes/manual_main_loop.h"
#include "fakes/scripted_nut_server.h"

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
    // The line's end is no character of a word, escaped or not (found by nut_answer_fuzz).
    EXPECT_EQ(SplitNutLine("VAR ups x \"a\\\r\"\r"),
              (std::vector<std::string>{"VAR", "ups", "x", "a"}));
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
    fakes::ScriptedServer server([](const std::string& line) { return Upsd(line, "OB LB"); });
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
        fakes::ScriptedServer server(c.Answer);
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
        port = fakes::ScriptedServer([](const std::string&) { return std::string(); }).Port();
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
