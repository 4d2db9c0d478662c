#include "scenario.h"

#include <gtest/gtest.h>

#include <cctype>

namespace gw::upssim {
namespace {

struct LineCase {
    const char* line;
    bool parses;
    Action action;
};

void PrintTo(const LineCase& c, std::ostream* os) { *os << '"' << c.line << '"'; }

class ScenarioLine : public ::testing::TestWithParam<LineCase> {};

TEST_P(ScenarioLine, ParsesOrExplains) {
    const ParsedLine parsed = ParseScenarioLine(GetParam().line);
    if (GetParam().parses) {
        ASSERT_TRUE(parsed.command.has_value()) << parsed.error;
        EXPECT_EQ(parsed.command->action, GetParam().action);
        EXPECT_TRUE(parsed.error.empty());
    } else {
        EXPECT_FALSE(parsed.command.has_value());
        EXPECT_FALSE(parsed.error.empty());
    }
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Lines, ScenarioLine, ::testing::Values(
    LineCase{"fail",                 true,  Action::Fail},
    LineCase{"  restore \r",         true,  Action::Restore},
    LineCase{"low",                  true,  Action::Low},
    LineCase{"avr on",               true,  Action::Avr},
    LineCase{"upsfail off",          true,  Action::UpsFail},
    LineCase{"silent on",            true,  Action::Silent},
    LineCase{"garbage 12",           true,  Action::Garbage},
    LineCase{"garbage off",          true,  Action::Garbage},
    LineCase{"echo on",              true,  Action::Echo},
    LineCase{"mustek off",           true,  Action::Mustek},
    LineCase{"nocr on",              true,  Action::NoCr},
    LineCase{"trailing on",          true,  Action::Trailing},
    LineCase{"load 100",             true,  Action::Load},
    LineCase{"battery 11.2",         true,  Action::Battery},
    LineCase{"battery 40%",          true,  Action::Battery},
    LineCase{"battery auto",         true,  Action::Battery},
    LineCase{"unsupported I,F,Q",    true,  Action::Unsupported},
    LineCase{"unsupported none",     true,  Action::Unsupported},
    LineCase{"wait 0.25",            true,  Action::Wait},
    LineCase{"status",               true,  Action::Status},
    LineCase{"truth",                true,  Action::Truth},
    LineCase{"test low",             true,  Action::Test},
    LineCase{"test off",             true,  Action::Test},
    LineCase{"test long",            false, Action::Test},
    LineCase{"timescale 0.5",        true,  Action::TimeScale},
    LineCase{"timescale 0",          false, Action::TimeScale},
    LineCase{"quit",                 true,  Action::Quit},
    LineCase{"avr",                  false, Action::Avr},
    LineCase{"avr maybe",            false, Action::Avr},
    LineCase{"load 101",             false, Action::Load},
    LineCase{"load -1",              false, Action::Load},
    LineCase{"load 5x",              false, Action::Load},
    LineCase{"garbage 0",            false, Action::Garbage},
    LineCase{"battery 120%",         false, Action::Battery},
    LineCase{"battery nan",          false, Action::Battery},
    LineCase{"unsupported I,X",      false, Action::Unsupported},
    LineCase{"wait -1",              false, Action::Wait},
    LineCase{"status now",           false, Action::Status},
    LineCase{"FAIL",                 false, Action::Fail},
    LineCase{"explode",              false, Action::Fail}),
    [](const auto& info) {
        std::string name = std::to_string(info.index) + "_";
        for (char c : std::string(info.param.line)) {
            name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
        }
        return name;
    });
// clang-format on

TEST(ScenarioLine, BlankAndCommentLinesAreNothing) {
    for (const char* line : {"", "   ", "# fail", "  # comment"}) {
        const ParsedLine parsed = ParseScenarioLine(line);
        EXPECT_FALSE(parsed.command.has_value()) << line;
        EXPECT_TRUE(parsed.error.empty()) << line;
    }
}

ScenarioCommand Command(const char* line) {
    ParsedLine parsed = ParseScenarioLine(line);
    EXPECT_TRUE(parsed.command.has_value()) << line << ": " << parsed.error;
    return parsed.command.value_or(ScenarioCommand{});
}

TEST(ApplyScenario, DrivesTheUnit) {
    SimulatedUps ups(UpsOptions{});
    ASSERT_TRUE(ApplyScenario(ups, Command("load 50")).ok);
    ASSERT_TRUE(ApplyScenario(ups, Command("battery 11.9")).ok);
    EXPECT_EQ(ups.Receive("Q1\r"), "(228.6 228.6 228.6 050 50.0 11.9 28.5 00001001\r");

    ASSERT_TRUE(ApplyScenario(ups, Command("unsupported I")).ok);
    EXPECT_EQ(ups.Receive("I\r"), "I\r");

    ASSERT_TRUE(ApplyScenario(ups, Command("garbage 5")).ok);
    EXPECT_EQ(ups.Receive("F\r").size(), 5u);

    ASSERT_TRUE(ApplyScenario(ups, Command("battery auto")).ok);
    ASSERT_TRUE(ApplyScenario(ups, Command("test low")).ok);
    EXPECT_EQ(ups.Receive("Q1\r").substr(38, 8), "00001101") << "the unit tests itself";
    ASSERT_TRUE(ApplyScenario(ups, Command("test off")).ok);
    const ScenarioOutcome truth = ApplyScenario(ups, Command("truth"));
    EXPECT_EQ(truth.detail.rfind("runtime ", 0), 0u) << truth.detail;

    ASSERT_TRUE(ApplyScenario(ups, Command("fail")).ok);
    const ScenarioOutcome status = ApplyScenario(ups, Command("status"));
    EXPECT_TRUE(status.ok);
    EXPECT_NE(status.detail.find("mains=failed"), std::string::npos) << status.detail;
}

TEST(ApplyScenario, WaitIsRefusedOutsideScripts) {
    SimulatedUps ups(UpsOptions{});
    EXPECT_FALSE(ApplyScenario(ups, Command("wait 1")).ok);
}

TEST(ParseScript, NamesTheBadLine) {
    std::string error;
    EXPECT_FALSE(ParseScript("fail\n# ok\nload 500\n", error).has_value());
    EXPECT_NE(error.find("line 3"), std::string::npos) << error;
}

TEST(ScriptRunner, HoldsCommandsBackUntilTheirWaitsHavePassed) {
    std::string error;
    auto lines = ParseScript("fail\nwait 1.5\n\nrestore\nwait 1\nquit\n", error);
    ASSERT_TRUE(lines.has_value()) << error;
    using namespace std::chrono;
    const ScriptRunner::Clock::time_point start{};
    ScriptRunner runner(std::move(*lines), start);

    auto due = runner.TakeDue(start);
    ASSERT_EQ(due.size(), 1u);
    EXPECT_EQ(due[0].action, Action::Fail);
    EXPECT_EQ(runner.NextDue(), start + milliseconds(1500));
    EXPECT_TRUE(runner.TakeDue(start + milliseconds(1499)).empty());

    due = runner.TakeDue(start + milliseconds(1600));
    ASSERT_EQ(due.size(), 1u);
    EXPECT_EQ(due[0].action, Action::Restore);
    EXPECT_EQ(runner.NextDue(), start + milliseconds(2500))
        << "waits count from when they were due";

    due = runner.TakeDue(start + seconds(10));
    ASSERT_EQ(due.size(), 1u);
    EXPECT_EQ(due[0].action, Action::Quit);
    EXPECT_FALSE(runner.NextDue().has_value());
}

}  // namespace
}  // namespace gw::upssim
