// The instant commands of the network UPS protocol: who may send them, which tool bar command
// each runs, and what anyone may read about them.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "reports/nut_protocol.h"

namespace gw::reports {
namespace {

using monitor::UserCommand;
using Effect = NutAnswer::Effect;
using Clock = std::chrono::steady_clock;

struct NoClients final : NutClients {
    int Logins() const override { return 0; }
    std::vector<std::string> Addresses() const override { return {}; }
};

const Clock::time_point kNow = Clock::time_point() + std::chrono::hours(1);

NutState Serving() {
    NutState state;
    state.UpsFound = true;
    state.LastGoodReply = kNow;
    state.User = "nas";
    state.Password = "s3cret";
    // The UPS refused the deep test once: its button is off, so it is not served.
    state.Commands = {UserCommand::ToggleBeeper, UserCommand::Test10s, UserCommand::TestMinutes,
                      UserCommand::CancelTest};
    return state;
}

enum class Who { Anyone, NameOnly, WrongPassword, RightLogin, LoggedIn };

NutConnection ConnectionOf(Who who) {
    NutConnection connection;
    if (who != Who::Anyone) connection.User = "nas";
    if (who == Who::WrongPassword) connection.Password = "guess";
    if (who == Who::RightLogin || who == Who::LoggedIn) connection.Password = "s3cret";
    connection.LoggedIn = who == Who::LoggedIn;
    return connection;
}

TEST(NutCommandsTest, OnlyTheLoginRunsTheToolBarsCommands) {
    struct Case {
        Who From;
        const char* Line;
        const char* Answer;
        Effect Then;
        std::optional<UserCommand> Runs;
        int Minutes;
    };
    constexpr std::optional<UserCommand> kNone;
    // clang-format off
    const Case cases[] = {
        {Who::RightLogin,    "INSTCMD gridwarden test.battery.start.quick", "OK\n", Effect::Command, UserCommand::Test10s, 0},
        {Who::RightLogin,    "INSTCMD gridwarden test.battery.stop",        "OK\n", Effect::Command, UserCommand::CancelTest, 0},
        {Who::LoggedIn,      "instcmd gridwarden beeper.toggle",            "OK\n", Effect::Command, UserCommand::ToggleBeeper, 0},
        // The length in seconds, as NUT's drivers take it; whole minutes within 1..99.
        {Who::RightLogin,    "INSTCMD gridwarden test.battery.start 300",   "OK\n", Effect::Command, UserCommand::TestMinutes, 5},
        {Who::RightLogin,    "INSTCMD gridwarden test.battery.start",       "OK\n", Effect::Command, UserCommand::TestMinutes, 10},
        {Who::RightLogin,    "INSTCMD gridwarden test.battery.start 10",    "OK\n", Effect::Command, UserCommand::TestMinutes, 1},
        {Who::RightLogin,    "INSTCMD gridwarden test.battery.start 99999", "OK\n", Effect::Command, UserCommand::TestMinutes, 99},
        {Who::RightLogin,    "INSTCMD gridwarden test.battery.start 5m",    "ERR INVALID-VALUE\n", Effect::None, kNone, 0},
        {Who::RightLogin,    "INSTCMD gridwarden test.battery.start -60",   "ERR INVALID-VALUE\n", Effect::None, kNone, 0},
        // Refused by the UPS before, and what would switch it off: never.
        {Who::RightLogin,    "INSTCMD gridwarden test.battery.start.deep",  "ERR CMD-NOT-SUPPORTED\n", Effect::None, kNone, 0},
        {Who::RightLogin,    "INSTCMD gridwarden shutdown.return",          "ERR CMD-NOT-SUPPORTED\n", Effect::None, kNone, 0},
        {Who::LoggedIn,      "INSTCMD gridwarden load.off",                 "ERR CMD-NOT-SUPPORTED\n", Effect::None, kNone, 0},
        {Who::RightLogin,    "INSTCMD gridwarden shutdown.stayoff",         "ERR CMD-NOT-SUPPORTED\n", Effect::None, kNone, 0},
        {Who::RightLogin,    "INSTCMD otherups beeper.toggle",              "ERR UNKNOWN-UPS\n", Effect::None, kNone, 0},
        {Who::RightLogin,    "INSTCMD gridwarden",                          "ERR INVALID-ARGUMENT\n", Effect::None, kNone, 0},
        // Without the login nothing runs and nothing is told about the commands.
        {Who::Anyone,        "INSTCMD gridwarden beeper.toggle",            "ERR ACCESS-DENIED\n", Effect::None, kNone, 0},
        {Who::NameOnly,      "INSTCMD gridwarden beeper.toggle",            "ERR ACCESS-DENIED\n", Effect::None, kNone, 0},
        {Who::WrongPassword, "INSTCMD gridwarden beeper.toggle",            "ERR ACCESS-DENIED\n", Effect::LoginRefused, kNone, 0},
        {Who::WrongPassword, "INSTCMD gridwarden shutdown.return",          "ERR ACCESS-DENIED\n", Effect::LoginRefused, kNone, 0},
        // Reading them is anyone's, as upscmd -l asks.
        {Who::Anyone,        "LIST CMD gridwarden",
         "BEGIN LIST CMD gridwarden\nCMD gridwarden beeper.toggle\nCMD gridwarden test.battery.start\n"
         "CMD gridwarden test.battery.start.quick\nCMD gridwarden test.battery.stop\nEND LIST CMD gridwarden\n",
         Effect::None, kNone, 0},
        {Who::Anyone,        "GET CMDDESC gridwarden test.battery.start.quick",
         "CMDDESC gridwarden test.battery.start.quick \"Start a quick battery test\"\n", Effect::None, kNone, 0},
    };
    // clang-format on
    const NutState state = Serving();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Line);
        NutConnection connection = ConnectionOf(c.From);
        const NutAnswer answer = AnswerNutLine(c.Line, connection, state, NoClients(), kNow);
        EXPECT_EQ(answer.Text, c.Answer);
        EXPECT_EQ(answer.Then, c.Then);
        ASSERT_EQ(answer.Command.has_value(), c.Runs.has_value());
        if (!c.Runs) continue;
        EXPECT_EQ(answer.Command->Which, *c.Runs);
        EXPECT_EQ(answer.Command->Minutes, c.Minutes);
    }
}

TEST(NutCommandsTest, TheLoginAsItIsNowAndAUpsThereToTakeIt) {
    const char* const beeper = "INSTCMD gridwarden beeper.toggle";
    // A password changed since the connection logged in holds at once.
    NutState changed = Serving();
    changed.Password = "new";
    NutConnection logged_in = ConnectionOf(Who::LoggedIn);
    EXPECT_EQ(AnswerNutLine(beeper, logged_in, changed, NoClients(), kNow).Text,
              "ERR ACCESS-DENIED\n");
    // No login configured: nobody commands.
    NutState open = Serving();
    open.User.clear();
    open.Password.clear();
    NutConnection anyone = ConnectionOf(Who::RightLogin);
    EXPECT_EQ(AnswerNutLine(beeper, anyone, open, NoClients(), kNow).Text, "ERR ACCESS-DENIED\n");
    // No UPS, or none heard of lately: nothing to take the command.
    NutState stale = Serving();
    stale.LastGoodReply = kNow - kNutStaleAfter - std::chrono::seconds(1);
    NutConnection right = ConnectionOf(Who::RightLogin);
    const NutAnswer answer = AnswerNutLine(beeper, right, stale, NoClients(), kNow);
    EXPECT_EQ(answer.Text, "ERR DATA-STALE\n");
    EXPECT_FALSE(answer.Command);
    // Every name served has a row; the rows are sorted, as LIST CMD gives them.
    for (std::size_t i = 1; i < std::size(kNutCommands); ++i) {
        EXPECT_LT(std::string(kNutCommands[i - 1].Name), kNutCommands[i].Name);
    }
}

TEST(NutCommandsTest, CommandsWaitTheirTurnLikeLogins) {
    struct Case {
        Who From;
        const char* Line;
        bool Checks;
    };
    const Case cases[] = {
        {Who::RightLogin, "INSTCMD gridwarden beeper.toggle", true},
        {Who::LoggedIn, "INSTCMD gridwarden beeper.toggle\r", true},
        {Who::NameOnly, "INSTCMD gridwarden beeper.toggle", false},
        {Who::RightLogin, "INSTCMD gridwarden", false},
        {Who::RightLogin, "LOGIN gridwarden", true},
        {Who::LoggedIn, "LOGIN gridwarden", false},
        {Who::RightLogin, "GET VAR gridwarden ups.status", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ChecksCredentials(c.Line, ConnectionOf(c.From)), c.Checks) << c.Line;
    }
}

}  // namespace
}  // namespace gw::reports
