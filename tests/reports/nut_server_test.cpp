// The network UPS server over real sockets: the answers clients rely on, the login count the
// power-fail response waits for, and the bounds against misbehaving clients.
#include "reports/nut_server.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "link/protocol.h"
#include "reports/loopback_client.h"
#include "reports/nut_state.h"

namespace gw::reports {
namespace {

using namespace std::chrono_literals;
using Client = testing::LoopbackClient;
using link::StatusFlag;

monitor::UpsStatus OnMains() {
    monitor::UpsStatus status;
    status.FieldText = {"230.0", "229.0", "231.0", "021", "50.0", "13.60", "25.0", "00001001"};
    status.BatteryVoltage = 13.6L;
    status.Flags[static_cast<std::size_t>(StatusFlag::StandbyUps)] = true;
    status.Flags[static_cast<std::size_t>(StatusFlag::BeeperOn)] = true;
    return status;
}

NutState Serving(monitor::UpsStatus status, bool forced = false) {
    // As the evaluation reads them: each field as a number, once.
    for (std::size_t k = 0; k + 1 < status.FieldText.size(); ++k) {
        status.FieldNumber[k] = link::ParseNumber(status.FieldText[k]).Value;
    }
    link::UpsLink ups;
    NutState state;
    state.UpsFound = true;
    state.LastGoodReply = std::chrono::steady_clock::now();
    state.Description = R"(Model "A" \ 1)";
    state.Variables = TakeNutVariables(status, true, ups, forced, "0.1.0");
    state.User = "nas";
    state.Password = "s3cret";
    state.Version = "0.1.0";
    return state;
}

std::string Ask(Client& client, const std::string& line, const std::string& end = "\n") {
    client.Send(line + "\n");
    return client.ReadUntil(end);
}

class NutServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        source_.Publish(Serving(OnMains()));
        ASSERT_EQ(server_.Start("127.0.0.1", 0), "");
    }
    NutSource source_;
    NutServer server_{source_, {300ms, 300ms, 32}};
};

TEST_F(NutServerTest, AnswersWhatClientsAsk) {
    struct Case {
        const char* Line;
        const char* Answer;
    };
    // clang-format off
    const Case cases[] = {
        {"NETVER",                                 "1.3\n"},
        {"protver",                                "1.3\n"},
        {"GET VAR gridwarden ups.status",          "VAR gridwarden ups.status \"OL\"\n"},
        {"get var \"gridwarden\" \"ups.load\"",    "VAR gridwarden ups.load \"21\"\n"},
        {"GET VAR gridwarden battery.voltage\r",   "VAR gridwarden battery.voltage \"13.60\"\n"},
        {"GET VAR gridwarden ups.beeper.status",   "VAR gridwarden ups.beeper.status \"enabled\"\n"},
        {"GET VAR gridwarden ups.type",            "VAR gridwarden ups.type \"offline\"\n"},
        {"GET VAR gridwarden battery.charge",      "ERR VAR-NOT-SUPPORTED\n"},
        {"GET VAR gridwarden device.mfr",          "ERR VAR-NOT-SUPPORTED\n"},
        {"GET VAR otherups ups.status",            "ERR UNKNOWN-UPS\n"},
        {"GET VAR gridwarden",                     "ERR INVALID-ARGUMENT\n"},
        {"GET VAR \"gridwarden ups.status",        "ERR INVALID-ARGUMENT\n"},
        {"GET VAR gridwarden ups.status\\",        "ERR INVALID-ARGUMENT\n"},
        {"GET TYPE gridwarden input.voltage",      "TYPE gridwarden input.voltage NUMBER\n"},
        {"GET TYPE gridwarden ups.status",         "TYPE gridwarden ups.status STRING:2\n"},
        {"GET DESC gridwarden ups.status",         "DESC gridwarden ups.status \"UPS status\"\n"},
        {"GET UPSDESC gridwarden",                 "UPSDESC gridwarden \"Model \\\"A\\\" \\\\ 1\"\n"},
        {"GET NUMLOGINS gridwarden",               "NUMLOGINS gridwarden 0\n"},
        {"LIST UPS",                               "BEGIN LIST UPS\nUPS gridwarden \"Model \\\"A\\\" \\\\ 1\"\nEND LIST UPS\n"},
        {"LIST RW gridwarden",                     "BEGIN LIST RW gridwarden\nEND LIST RW gridwarden\n"},
        {"LIST CMD gridwarden",                    "BEGIN LIST CMD gridwarden\nEND LIST CMD gridwarden\n"},
        {"LIST ENUM gridwarden ups.status",        "BEGIN LIST ENUM gridwarden ups.status\nEND LIST ENUM gridwarden ups.status\n"},
        {"LIST RANGE gridwarden nothing.here",     "ERR VAR-NOT-SUPPORTED\n"},
        {"PRIMARY gridwarden",                     "ERR ACCESS-DENIED\n"},
        {"MASTER gridwarden",                      "ERR ACCESS-DENIED\n"},
        {"FSD gridwarden",                         "ERR ACCESS-DENIED\n"},
        {"SET VAR gridwarden ups.id x",            "ERR ACCESS-DENIED\n"},
        {"INSTCMD gridwarden beeper.toggle",       "ERR ACCESS-DENIED\n"},
        {"STARTTLS",                               "ERR FEATURE-NOT-CONFIGURED\n"},
        {"LOGIN gridwarden",                       "ERR USERNAME-REQUIRED\n"},
        {"REQ ups.status",                         "ERR UNKNOWN-COMMAND\n"},
        // What the clients people run ask as well.
        {"VER",                                    "Gridwarden upsd 0.1.0 - network UPS protocol 1.3\n"},
        {"GET TRACKING",                           "OFF\n"},
        {"GET CMDDESC gridwarden beeper.toggle",   "CMDDESC gridwarden beeper.toggle \"Toggle the UPS beeper\"\n"},
        {"GET CMDDESC gridwarden load.off",        "CMDDESC gridwarden load.off \"Description unavailable\"\n"},
        {"GET DESC gridwarden no.such.thing",      "DESC gridwarden no.such.thing \"Description unavailable\"\n"},
        {"GET DESC gridwarden \"a\\\"b\"",          "ERR INVALID-ARGUMENT\n"},
        {"GET VAR gridwarden ups.status extra",    "VAR gridwarden ups.status \"OL\"\n"},
        {"LIST UPS extra words",                   "BEGIN LIST UPS\nUPS gridwarden \"Model \\\"A\\\" \\\\ 1\"\nEND LIST UPS\n"},
        {"LIST CLIENT gridwarden",                 "BEGIN LIST CLIENT gridwarden\nEND LIST CLIENT gridwarden\n"},
        {"LIST CLIENT otherups",                   "ERR UNKNOWN-UPS\n"},
    };
    // clang-format on
    Client client(server_.Port());
    ASSERT_TRUE(client.Connected());
    for (const Case& c : cases) {
        const std::string end =
            std::string(c.Answer).rfind("BEGIN", 0) == 0
                ? std::string(c.Answer).substr(std::string(c.Answer).rfind("END"))
                : "\n";
        EXPECT_EQ(Ask(client, c.Line, end), c.Answer) << c.Line;
    }
    const std::string list = Ask(client, "LIST VAR gridwarden x", "END LIST VAR gridwarden\n");
    EXPECT_NE(list.find("VAR gridwarden input.voltage.fault \"229.0\"\n"), std::string::npos);
    EXPECT_NE(list.find("VAR gridwarden driver.name \"gridwarden\"\n"), std::string::npos);
    EXPECT_EQ(list.find("nominal"), std::string::npos) << "no rating reply, no rating";
}

TEST(NutStateTest, StatusWordsFollowTheFlags) {
    struct Case {
        std::vector<StatusFlag> Flags;
        const char* Avr;
        bool Forced;
        const char* Words;
    };
    const Case cases[] = {
        {{}, "...", false, "OL"},
        {{StatusFlag::PowerFail}, "...", false, "OB"},
        {{StatusFlag::PowerFail, StatusFlag::BatteryLow}, "...", true, "OB LB FSD"},
        {{StatusFlag::TestInProgress}, "...", false, "OL CAL"},
        {{StatusFlag::Avr}, "BOOST", false, "OL BOOST"},
        {{StatusFlag::Avr}, "TRIM", false, "OL TRIM"},
    };
    for (const Case& c : cases) {
        monitor::UpsStatus status = OnMains();
        for (StatusFlag flag : c.Flags) status.Flags[static_cast<std::size_t>(flag)] = true;
        status.AVRState = c.Avr;
        const NutState state = Serving(status, c.Forced);
        const auto found =
            std::find_if(state.Variables.begin(), state.Variables.end(),
                         [](const NutVariable& v) { return v.Name == "ups.status"; });
        ASSERT_NE(found, state.Variables.end());
        EXPECT_EQ(found->Value, c.Words);
    }
    // A reading that is not a number is left out rather than passed on.
    monitor::UpsStatus garbled = OnMains();
    garbled.FieldText[0] = "2#0.0";
    for (const NutVariable& v : Serving(garbled).Variables) EXPECT_NE(v.Name, "input.voltage");
    for (const auto& [text, plain] : std::vector<std::pair<const char*, const char*>>{
             {"021", "21"}, {"000", "0"}, {"050.0", "50.0"}, {" 13.60", "13.60"}, {"-05", "-5"}}) {
        EXPECT_EQ(PlainNumber(text).value_or("none"), plain) << text;
    }
    for (const char* text : {"", ".", "1.", "1.2.3", "12a", "--1"}) {
        EXPECT_FALSE(PlainNumber(text)) << text;
    }
}

TEST_F(NutServerTest, LoginCountsUntilLogoutOrDisconnect) {
    Client wrong(server_.Port());
    Ask(wrong, "USERNAME nas");
    Ask(wrong, "PASSWORD s3cret!");
    EXPECT_EQ(Ask(wrong, "LOGIN gridwarden"), "ERR ACCESS-DENIED\n");
    EXPECT_EQ(Ask(wrong, "USERNAME other"), "ERR ALREADY-SET-USERNAME\n");

    auto first = std::make_unique<Client>(server_.Port());
    Client second(server_.Port());
    for (Client* client : {first.get(), &second}) {
        EXPECT_EQ(Ask(*client, "USERNAME nas"), "OK\n");
        EXPECT_EQ(Ask(*client, "PASSWORD s3cret"), "OK\n");
        EXPECT_EQ(Ask(*client, "LOGIN gridwarden"), "OK\n");
    }
    EXPECT_EQ(Ask(second, "LOGIN gridwarden"), "ERR ALREADY-LOGGED-IN\n");
    EXPECT_EQ(server_.Logins(), 2);
    Client watcher(server_.Port());
    EXPECT_EQ(Ask(watcher, "GET NUMLOGINS gridwarden"), "NUMLOGINS gridwarden 2\n");
    EXPECT_EQ(Ask(watcher, "LIST CLIENT gridwarden", "END LIST CLIENT gridwarden\n"),
              "BEGIN LIST CLIENT gridwarden\nCLIENT gridwarden 127.0.0.1\n"
              "CLIENT gridwarden 127.0.0.1\nEND LIST CLIENT gridwarden\n");
    // Logged in, a client is not idle-limited.
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(Ask(second, "GET VAR gridwarden ups.load"), "VAR gridwarden ups.load \"21\"\n");

    EXPECT_EQ(Ask(second, "LOGOUT"), "OK Goodbye\n");
    bool closed = false;
    second.ReadToEnd(closed);
    EXPECT_TRUE(closed);
    first.reset();
    for (int i = 0; i < 100 && server_.Logins() > 0; ++i) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(server_.Logins(), 0);

    // No login configured: nobody logs in.
    NutState open = Serving(OnMains());
    open.User.clear();
    open.Password.clear();
    source_.Publish(open);
    Client anyone(server_.Port());
    Ask(anyone, "USERNAME x");
    Ask(anyone, "PASSWORD y");
    EXPECT_EQ(Ask(anyone, "LOGIN gridwarden"), "ERR ACCESS-DENIED\n");
}

TEST_F(NutServerTest, StaleOrMissingUpsGivesDataStale) {
    NutState stale = Serving(OnMains());
    stale.LastGoodReply -= kNutStaleAfter + 1s;
    NutState missing = Serving(OnMains());
    missing.UpsFound = false;
    for (const NutState& state : {stale, missing}) {
        source_.Publish(state);
        Client client(server_.Port());
        EXPECT_EQ(Ask(client, "GET VAR gridwarden ups.status"), "ERR DATA-STALE\n");
        EXPECT_EQ(Ask(client, "LIST VAR gridwarden"), "ERR DATA-STALE\n");
        EXPECT_EQ(Ask(client, "GET NUMLOGINS gridwarden"), "NUMLOGINS gridwarden 0\n");
    }
}

TEST_F(NutServerTest, MisbehavingClientsAreClosedAndOthersStillServed) {
    bool closed = false;
    // A line beyond 512 bytes.
    Client talker(server_.Port());
    talker.Send(std::string(600, 'A'));
    EXPECT_EQ(talker.ReadToEnd(closed), "ERR TOO-LONG\n");
    EXPECT_TRUE(closed);
    // Pipelined lines are all answered, in order.
    Client pipeline(server_.Port());
    pipeline.Send("NETVER\nGET NUMLOGINS gridwarden\n");
    EXPECT_EQ(pipeline.ReadUntil("0\n"), "1.3\nNUMLOGINS gridwarden 0\n");
    // Idle past the limit.
    Client idle(server_.Port());
    EXPECT_EQ(idle.ReadToEnd(closed, 2s), "");
    EXPECT_TRUE(closed);

    // One that asks and never reads is dropped at the write deadline, not kept for ever.
    Client hog(server_.Port());
    std::string requests;
    for (int i = 0; i < 400; ++i) requests += "LIST VAR gridwarden\n";
    while (hog.TrySend(requests)) {
    }
    Client other(server_.Port());
    EXPECT_EQ(Ask(other, "NETVER"), "1.3\n") << "served while the hog waits";
    std::this_thread::sleep_for(1s);
    hog.ReadToEnd(closed, 2s);
    EXPECT_TRUE(closed);
}

// Closed by the server within a second, having said nothing.
bool ShutOut(Client& client) {
    bool closed = false;
    return client.ReadToEnd(closed, 1s).empty() && closed;
}

TEST(NutServerBoundTest, SecondariesAlwaysFindRoom) {
    NutSource source;
    source.Publish(Serving(OnMains()));
    NutServer server(source, {10s, 10s, 4, 2, 10ms});
    ASSERT_EQ(server.Start("127.0.0.1", 0), "");
    const auto log_in = [](Client& client) {
        Ask(client, "USERNAME nas");
        Ask(client, "PASSWORD s3cret");
        return Ask(client, "LOGIN gridwarden");
    };

    // One address: a newcomer takes the slot of its idle connection, never of a login.
    Client a(server.Port(), "127.0.0.1");
    ASSERT_EQ(log_in(a), "OK\n");
    Client idle_a(server.Port(), "127.0.0.1");
    EXPECT_EQ(Ask(idle_a, "NETVER"), "1.3\n");
    Client h(server.Port(), "127.0.0.1");
    EXPECT_TRUE(ShutOut(idle_a));
    ASSERT_EQ(log_in(h), "OK\n");
    Client third(server.Port(), "127.0.0.1");
    EXPECT_TRUE(ShutOut(third)) << "both of its slots are logged in";

    // All slots: the one idle longest goes, however recently the others spoke.
    Client idle_b(server.Port(), "127.0.0.2");
    Client talker(server.Port(), "127.0.0.3");
    EXPECT_EQ(Ask(talker, "NETVER"), "1.3\n");
    Client late(server.Port(), "127.0.0.4");
    EXPECT_TRUE(ShutOut(idle_b));
    ASSERT_EQ(log_in(late), "OK\n");
    ASSERT_EQ(log_in(talker), "OK\n");
    Client crowd(server.Port(), "127.0.0.5");
    EXPECT_TRUE(ShutOut(crowd)) << "every slot is logged in";
    EXPECT_EQ(server.Logins(), 4);
    EXPECT_EQ(Ask(a, "GET VAR gridwarden ups.status"), "VAR gridwarden ups.status \"OL\"\n");
}

TEST(NutServerBoundTest, ConnectionsLoggingInGiveWayAfterAnonymousOnes) {
    NutSource source;
    source.Publish(Serving(OnMains()));
    NutServer server(source, {10s, 10s, 3, 3, 10ms});
    ASSERT_EQ(server.Start("127.0.0.1", 0), "");
    // A secondary that logs in slowly, one line at a time, while a crowd comes and goes: it is
    // idle longest, yet anonymous connections go first.
    Client secondary(server.Port());
    EXPECT_EQ(Ask(secondary, "USERNAME nas"), "OK\n");
    Client idle_a(server.Port());
    EXPECT_EQ(Ask(idle_a, "NETVER"), "1.3\n");
    Client idle_b(server.Port());
    EXPECT_EQ(Ask(idle_b, "NETVER"), "1.3\n");
    Client crowd_a(server.Port());
    EXPECT_TRUE(ShutOut(idle_a));
    EXPECT_EQ(Ask(secondary, "PASSWORD s3cret"), "OK\n");
    EXPECT_EQ(Ask(crowd_a, "USERNAME x"), "OK\n");
    Client crowd_b(server.Port());
    EXPECT_TRUE(ShutOut(idle_b));
    EXPECT_EQ(Ask(secondary, "LOGIN gridwarden"), "OK\n");
    EXPECT_EQ(server.Logins(), 1);

    // With none anonymous left, the one logging in that is idle longest gives way: a USERNAME
    // alone does not hold a slot for good.
    EXPECT_EQ(Ask(crowd_b, "USERNAME y"), "OK\n");
    Client late(server.Port());
    EXPECT_TRUE(ShutOut(crowd_a));
    EXPECT_EQ(Ask(late, "NETVER"), "1.3\n");
    EXPECT_EQ(Ask(secondary, "GET VAR gridwarden ups.status"),
              "VAR gridwarden ups.status \"OL\"\n");
}

TEST(NutServerIdleTest, OnlyValidCommandsKeepASession) {
    NutSource source;
    source.Publish(Serving(OnMains()));
    NutServer server(source, {600ms, 10s});
    ASSERT_EQ(server.Start("127.0.0.1", 0), "");
    Client keeper(server.Port());
    Client noisy(server.Port());
    bool closed = false;
    // Twice the idle limit, a line every 150 ms each.
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(Ask(keeper, "GET VAR gridwarden ups.load x"), "VAR gridwarden ups.load \"21\"\n");
        noisy.TrySend(i % 2 ? "\n" : "BOGUS\n");
        std::this_thread::sleep_for(150ms);
    }
    noisy.ReadToEnd(closed, 1s);
    EXPECT_TRUE(closed) << "blank lines and unknown commands are no sign of life";
    EXPECT_EQ(Ask(keeper, "NETVER"), "1.3\n");
}

TEST(NutServerLoginTest, FailedLoginsAreLoggedOncePerBurst) {
    NutSource source;
    source.Publish(Serving(OnMains()));
    NutServer server(source, {10s, 10s, 32, 8, 5ms});
    ASSERT_EQ(server.Start("127.0.0.1", 0), "");
    for (int i = 0; i < 3; ++i) {
        Client guesser(server.Port());
        Ask(guesser, "USERNAME nas");
        Ask(guesser, "PASSWORD guess" + std::to_string(i));
        EXPECT_EQ(Ask(guesser, "LOGIN gridwarden"), "ERR ACCESS-DENIED\n");
    }
    EXPECT_TRUE(server.TakeFailedLoginReports().empty()) << "the burst goes on";
    Client right(server.Port());
    Ask(right, "USERNAME nas");
    Ask(right, "PASSWORD s3cret");
    EXPECT_EQ(Ask(right, "LOGIN gridwarden"), "OK\n") << "waits its turn, then passes";
    EXPECT_EQ(server.TakeFailedLoginReports(true),
              std::vector<std::string>{"3 failed logins from 127.0.0.1"});
}

// The daemon's loopback listener beside the configured one: one roster, so that each counts and
// lists the secondaries of both; a wrong password for a command is reported like a failed login.
TEST(NutServerCommandTest, ListenersShareTheirSecondaries) {
    NutSource source;
    source.Publish(Serving(OnMains()));
    NutRoster roster;
    const NutServer::Limits limits{10s, 10s, 32, 16, 5ms};
    NutServer lan(source, limits, &roster);
    NutServer loopback(source, limits, &roster);
    ASSERT_EQ(lan.Start("127.0.0.1", 0), "");
    ASSERT_EQ(loopback.Start("127.0.0.1", 0), "");
    Client secondary(lan.Port());
    for (const char* line : {"USERNAME nas", "PASSWORD s3cret"}) Ask(secondary, line);
    ASSERT_EQ(Ask(secondary, "LOGIN gridwarden"), "OK\n");
    Client window(loopback.Port());
    EXPECT_EQ(Ask(window, "LIST CLIENT gridwarden", "END LIST CLIENT gridwarden\n"),
              "BEGIN LIST CLIENT gridwarden\nCLIENT gridwarden 127.0.0.1\n"
              "END LIST CLIENT gridwarden\n");
    for (const char* line : {"USERNAME nas", "PASSWORD guess"}) Ask(window, line);
    EXPECT_EQ(Ask(window, "INSTCMD gridwarden beeper.toggle"), "ERR ACCESS-DENIED\n");
    EXPECT_EQ(loopback.TakeFailedLoginReports(true),
              std::vector<std::string>{"1 failed logins from 127.0.0.1"});
    lan.Stop();
    EXPECT_EQ(Ask(window, "GET NUMLOGINS gridwarden"), "NUMLOGINS gridwarden 0\n");
}

}  // namespace
}  // namespace gw::reports
