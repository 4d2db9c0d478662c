#include "monitor/user_commands.h"

#include <gtest/gtest.h>

#include <vector>

#include "fakes/manual_main_loop.h"

namespace gw::monitor {
namespace {

struct StatusLine final : StatusBar {
    void ShowStatus(std::string_view text) override { Texts.emplace_back(text); }
    std::vector<std::string> Texts;
};

struct Bench {
    Bench() = default;
    explicit Bench(UserCommands::Now now) : now(std::move(now)) {}
    UserCommands::Now now = UserCommands::Clock::now;
    DisplayModel display;
    StatusLine status;
    std::vector<std::string> sent;
    std::string reply;
    bool link = true;
    UserCommands commands{[this](std::string_view c) {
                              sent.emplace_back(c);
                              return reply;
                          },
                          [this] { return link; }, display, status, now};
    std::string LastStatus() const { return status.Texts.empty() ? "" : status.Texts.back(); }
};

TEST(UserCommandsTest, EchoRuleDisablesOnlyTheRefusedButton) {
    struct Case {
        UserCommand which;
        int minutes;
        const char* reply;
        const char* sent;  // nullptr: nothing goes out
        bool refused;
    };
    // clang-format off
    const Case cases[] = {
        {UserCommand::Test10s,      0,   "T\r",    "T\r",   true},
        {UserCommand::Test10s,      0,   "",       "T\r",   false},   // silent: accepted
        {UserCommand::Test10s,      0,   "(NAK\r", "T\r",   false},
        {UserCommand::TestMinutes,  7,   "T07\r",  "T07\r", true},
        {UserCommand::TestMinutes,  7,   "T08\r",  "T07\r", false},   // another digit: accepted
        {UserCommand::TestMinutes,  99,  "",       "T99\r", false},
        {UserCommand::TestMinutes,  0,   "",       nullptr, false},
        {UserCommand::TestMinutes,  100, "",       nullptr, false},
        {UserCommand::TestUntilLow, 0,   "TL\r",   "TL\r",  true},
        {UserCommand::TestUntilLow, 0,   "T",      "TL\r",  false},   // shorter than the echo
        {UserCommand::CancelTest,   0,   "CT\r",   "CT\r",  true},
        {UserCommand::ToggleBeeper, 0,   "Q\r",    "Q\r",   true},
    };
    // clang-format on
    for (const Case& c : cases) {
        Bench bench;
        bench.reply = c.reply;
        bench.commands.Send(c.which, c.minutes);
        const std::string label = std::string(RowOf(c.which).Button) + " " + c.reply;
        ASSERT_EQ(bench.sent.size(), c.sent ? 1u : 0u) << label;
        if (c.sent) {
            EXPECT_EQ(bench.sent[0], c.sent) << label;
        }
        for (const UserCommandRow& row : kUserCommands) {
            EXPECT_EQ(bench.display.*row.Enabled, !(c.refused && row.Which == c.which))
                << label << " " << row.Button;
        }
        EXPECT_EQ(bench.LastStatus(), c.refused ? RowOf(c.which).NotSupported : "") << label;
    }
}

TEST(UserCommandsTest, WithoutALinkNothingIsSentAndTheUserIsTold) {
    Bench bench;
    bench.link = false;
    EXPECT_FALSE(bench.commands.Send(UserCommand::Test10s));
    EXPECT_TRUE(bench.sent.empty());
    EXPECT_EQ(bench.LastStatus(), kNoUpsForCommand);
    EXPECT_TRUE(bench.display.Test10sSBEnabled);
}

// An accepted command is judged by the replies that fall within the time its effect should
// show, and only when it went out while monitoring ran.
TEST(UserCommandsTest, AnIgnoredCommandIsToldOnlyByRepliesThatCouldShowIt) {
    struct Reply {
        int at_ms;  // after the click
        bool bit;   // the test bit, or the beeper bit for the beeper
    };
    struct Case {
        const char* what;
        std::vector<UserCommand> clicks;  // one after the other
        bool monitoring;
        std::vector<Reply> replies;
        const char* told;
    };
    const UserCommand test = UserCommand::Test10s;
    const UserCommand beep = UserCommand::ToggleBeeper;
    // clang-format off
    const Case cases[] = {
        {"test shown",               {test}, true,  {{1000, false}, {4000, true}},  ""},
        {"test never shown",         {test}, true,  {{1000, false}, {4000, false}}, kTestNotStarted},
        {"20 s refresh",             {test}, true,  {{200, false}, {20200, false}}, ""},
        {"a poll older than it",     {test}, true,  {{10, false}, {12000, false}},  ""},
        {"sent while stopped",       {test}, false, {{4000, false}, {7000, false}}, ""},
        {"cancelled",                {test, UserCommand::CancelTest}, true, {{4000, false}}, ""},
        {"until low, shown",         {UserCommand::TestUntilLow}, true, {{2000, false}, {5000, true}}, ""},
        {"until low, never",         {UserCommand::TestUntilLow}, true, {{60000, false}}, kTestNotStarted},
        {"beeper flips",             {beep}, true,  {{1000, false}, {4000, true}},  ""},
        {"beeper stays",             {beep}, true,  {{1000, false}, {4000, false}}, kBeeperNotChanged},
        {"beeper double click",      {beep, beep}, true, {{1000, false}, {4000, false}}, ""},
        {"beeper, no reply in time", {beep}, true,  {{200000, false}},              ""},
    };
    // clang-format on
    for (const Case& c : cases) {
        fakes::ManualLoop loop;
        Bench bench([&loop] { return loop.Now(); });
        bench.display.StopSBEnabled = c.monitoring;
        UpsState state;
        bench.commands.OnStatusShown(state);  // the state before: no test, beeper off
        loop.AdvanceBy(std::chrono::seconds(1));
        for (UserCommand click : c.clicks) bench.commands.Send(click);
        int at_ms = 0;
        for (const Reply& reply : c.replies) {
            loop.AdvanceBy(std::chrono::milliseconds(reply.at_ms - at_ms));
            at_ms = reply.at_ms;
            const link::StatusFlag flag =
                c.clicks[0] == beep ? link::StatusFlag::BeeperOn : link::StatusFlag::TestInProgress;
            state.Flags[static_cast<std::size_t>(flag)] = reply.bit;
            bench.commands.OnStatusShown(state);
        }
        EXPECT_EQ(bench.LastStatus(), c.told) << c.what;
        EXPECT_LE(bench.status.Texts.size(), 1u) << c.what << ": told once";
    }
}

}  // namespace
}  // namespace gw::monitor
