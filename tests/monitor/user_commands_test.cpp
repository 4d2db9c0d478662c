#include "monitor/user_commands.h"

#include <gtest/gtest.h>

#include <vector>

namespace gw::monitor {
namespace {

struct StatusLine final : StatusBar {
    void ShowStatus(std::string_view text) override { Texts.emplace_back(text); }
    std::vector<std::string> Texts;
};

struct Bench {
    DisplayModel display;
    StatusLine status;
    std::vector<std::string> sent;
    std::string reply;
    bool link = true;
    UserCommands commands{[this](std::string_view c) {
                              sent.emplace_back(c);
                              return reply;
                          },
                          [this] { return link; }, display, status};
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

// An accepted command is judged by the next two status replies the window shows.
TEST(UserCommandsTest, ASilentlyIgnoredCommandIsToldAfterTwoReplies) {
    struct Case {
        UserCommand which;
        std::vector<bool> bit_after;  // test bit or beeper bit, per reply shown
        const char* told;
    };
    const Case cases[] = {
        {UserCommand::Test10s, {false, true}, ""},
        {UserCommand::Test10s, {false, false}, kTestNotStarted},
        {UserCommand::TestUntilLow, {false, false, true}, kTestNotStarted},  // too late
        {UserCommand::ToggleBeeper, {true}, ""},                             // was off
        {UserCommand::ToggleBeeper, {false, false}, kBeeperNotChanged},
        {UserCommand::CancelTest, {false, false}, ""},  // nothing to watch
    };
    for (const Case& c : cases) {
        Bench bench;
        bench.commands.Send(c.which, 5);
        for (bool bit : c.bit_after) {
            (c.which == UserCommand::ToggleBeeper ? bench.display.UPSStatusCB8
                                                  : bench.display.UPSStatusCB6) = bit;
            bench.commands.OnStatusShown();
        }
        EXPECT_EQ(bench.LastStatus(), c.told) << RowOf(c.which).Button;
        EXPECT_LE(bench.status.Texts.size(), 1u) << "told once";
    }
}

}  // namespace
}  // namespace gw::monitor
