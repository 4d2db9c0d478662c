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

// Each line also says whether it waits its turn in the login throttle.
TEST(NutCommandsTest, OnlyTheLoginRunsTheToolBarsCommands) {
    struct Case {
        Who From;
        const char* Line;
        const char* Answer;
        Effect Then;
        bool Checks;
        std::optional<UserCommand> Runs;
        int Minutes;
    };
    constexpr std::optional<UserCommand> kNone;
    // clang-format off
    const Case cases[] = {
        {Who::RightLogin,    "INSTCMD gridwarden test.battery.start.quick", "OK\n", Effect::Command, true, UserCommand::Test10s, 0},
        {Who::LoggedIn,      "instcmd gridwarden beeper.toggle\r",          "OK\n", Effect::Command, true, UserCommand::ToggleBeeper, 0},
        // The length in seconds, as NUT's drivers take it; whole minutes within 1..99.
        {Who::RightLogin,    "INSTCMD gridwarden test.battery.start 300",   "OK\n", Effect::Command, true, UserCommand::TestMinutes, 5},
        {Who::RightLogin,    "INSTCMD gridwarden test.battery.start",       "OK\n", Effect::Command, true, UserCommand::TestMinutes, 10},
        {Who::RightLogin,    "INSTCMD gridwarden test.battery.start 10",    "OK\n", Effect::Command, true, UserCommand::TestMinutes, 1},
        {Who::RightLogin,    "INSTCMD gridwarden test.battery.start 99999", "OK\n", Effect::Command, true, UserCommand::TestMinutes, 99},
        {Who::RightLogin,    "INSTCMD gridwarden test.battery.start -60",   "ERR INVALID-VALUE\n", Effect::None, true, kNone, 0},
        // Refused by the UPS before, and what would switch it off: never.
        {Who::RightLogin,    "INSTCMD gridwarden test.battery.start.deep",  "ERR CMD-NOT-SUPPORTED\n", Effect::None, true, kNone, 0},
        {Who::LoggedIn,      "INSTCMD gridwarden shutdown.return",          "ERR CMD-NOT-SUPPORTED\n", Effect::None, true, kNone, 0},
        // Without the login nothing runs and nothing is told about the commands.
        {Who::Anyone,        "INSTCMD gridwarden beeper.toggle",            "ERR ACCESS-DENIED\n", Effect::None, false, kNone, 0},
        {Who::NameOnly,      "INSTCMD gridwarden beeper.toggle",            "ERR ACCESS-DENIED\n", Effect::None, false, kNone, 0},
        {Who::WrongPassword, "INSTCMD gridwarden shutdown.return",          "ERR ACCESS-DENIED\n", Effect::LoginRefused, true, kNone, 0},
        // Reading them is anyone's, as upscmd -l asks.
        {Who::Anyone,        "LIST CMD gridwarden",
         "BEGIN LIST CMD gridwarden\nCMD gridwarden beeper.toggle\nCMD gridwarden test.battery.start\n"
         "CMD gridwarden test.battery.start.quick\nCMD gridwarden test.battery.stop\nEND LIST CMD gridwarden\n",
         Effect::None, false, kNone, 0},
        {Who::RightLogin,    "LOGIN gridwarden",                            "OK\n", Effect::LoggedIn, true, kNone, 0},
    };
    // clang-format on
    const NutState state = Serving();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Line);
        NutConnection connection = ConnectionOf(c.From);
        EXPECT_EQ(ChecksCredentials(c.Line, connection), c.Checks);
        const NutAnswer answer = AnswerNutLine(c.Line, connection, state, NoClients(), kNow);
        EXPECT_EQ(answer.Text, c.Answer);
        EXPECT_EQ(answer.Then, c.Then);
        ASSERT_EQ(answer.Command.has_value(), c.Runs.has_value());
        if (!c.Runs) continue;
        EXPECT_EQ(answer.Command->Which, *c.Runs);
        EXPECT_EQ(answer.Command->Minutes, c.Minutes);
    }
}

// The login as it is now (a changed password holds at once; none set, nobody may), and a UPS
// there to take the command.
TEST(NutCommandsTest, TheLoginAsItIsNowAndAUpsThereToTakeIt) {
    NutState changed = Serving();
    changed.Password = "new";
    NutState open = Serving();
    open.User = open.Password = "";
    NutState stale = Serving();
    stale.LastGoodReply -= kNutStaleAfter + std::chrono::seconds(1);
    for (const auto& [state, text] :
         {std::pair{changed, "ERR ACCESS-DENIED\n"}, std::pair{open, "ERR ACCESS-DENIED\n"},
          std::pair{stale, "ERR DATA-STALE\n"}}) {
        NutConnection connection = ConnectionOf(Who::LoggedIn);
        const NutAnswer answer =
            AnswerNutLine("INSTCMD gridwarden beeper.toggle", connection, state, NoClients(), kNow);
        EXPECT_EQ(answer.Text, text);
        EXPECT_FALSE(answer.Command);
    }
}

}  // namespace
}  // namespace gw::reports
