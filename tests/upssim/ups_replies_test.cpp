#include "ups_replies.h"

#include <gtest/gtest.h>

#include <cctype>
#include <vector>

namespace gw::upssim {
namespace {

using namespace status_bit;

struct StatusCase {
    const char* name;
    StatusFields fields;
    const char* reply;
};

void PrintTo(const StatusCase& c, std::ostream* os) { *os << c.name; }

class StatusReply : public ::testing::TestWithParam<StatusCase> {};

TEST_P(StatusReply, FormatsEveryFieldAtItsWidth) {
    EXPECT_EQ(FormatStatusReply(GetParam().fields), GetParam().reply);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(States, StatusReply, ::testing::Values(
    StatusCase{"OnMains",
               {228.6, 228.6, 228.6, 12, 50.0, 13.6, false, 27.0, kStandbyType | kBeeperOn},
               "(228.6 228.6 228.6 012 50.0 13.6 27.0 00001001\r"},
    StatusCase{"OnBattery",
               {0.0, 0.0, 230.0, 12, 0.0, 12.55, false, 27.4, kUtilityFailed | kStandbyType},
               "(000.0 000.0 230.0 012 00.0 12.6 27.4 10001000\r"},
    StatusCase{"LowAndShuttingDown",
               {0.0, 0.0, 230.0, 100, 0.0, 11.3, false, 30.0,
                kUtilityFailed | kBatteryLow | kShutdownActive},
               "(000.0 000.0 230.0 100 00.0 11.3 30.0 11000010\r"},
    StatusCase{"AvrAndFailedAndTesting",
               {195.0, 195.0, 224.3, 5, 50.0, 27.2, false, 27.2,
                kAvrActive | kUpsFailed | kTestInProgress},
               "(195.0 195.0 224.3 005 50.0 27.2 27.2 00110100\r"},
    StatusCase{"PerCell",
               {230.0, 230.0, 230.0, 40, 60.0, 2.254, true, 28.0, 0},
               "(230.0 230.0 230.0 040 60.0 2.25 28.0 00000000\r"},
    StatusCase{"AbsurdValuesKeepTheWidths",
               {12345.0, -5.0, 999.96, 4000, 120.0, 250.0, false, -3.0, 0xFF},
               "(999.9 000.0 999.9 999 99.9 99.9 00.0 11111111\r"}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

TEST(StatusReply, DefaultStateIs47Bytes) {
    const StatusFields fields{228.6, 228.6, 228.6, 12, 50.0, 13.6, false, 27.0, 0};
    EXPECT_EQ(FormatStatusReply(fields).size(), 47u);
}

TEST(InfoReply, PadsAndCutsEachField) {
    EXPECT_EQ(FormatInfoReply("Tallowmere", "SIM-650", "1.0"),
              "#Tallowmere      SIM-650    1.0       \r");
    const std::string cut =
        FormatInfoReply("A manufacturer too long", "Model too long", "v12345678901");
    EXPECT_EQ(cut, "#A manufacturer  Model too  v123456789\r");
    EXPECT_EQ(cut.size(), 39u);
}

TEST(RatingReply, FormatsFourNumbers) {
    EXPECT_EQ(FormatRatingReply(220.0, 3, 12.0, 50.0), "#220.0 003 12.00 50.0\r");
    EXPECT_EQ(FormatRatingReply(120.0, 10, 48.0, 60.0), "#120.0 010 48.00 60.0\r");
}

struct CommandCase {
    const char* text;
    std::optional<UpsCommand> command;
    double minutes;
};

void PrintTo(const CommandCase& c, std::ostream* os) { *os << '"' << c.text << '"'; }

class CommandRecognition : public ::testing::TestWithParam<CommandCase> {};

TEST_P(CommandRecognition, KnowsTheCommandSet) {
    const auto parsed = ParseCommand(GetParam().text);
    ASSERT_EQ(parsed.has_value(), GetParam().command.has_value()) << GetParam().text;
    if (parsed) {
        EXPECT_EQ(parsed->command, *GetParam().command);
        EXPECT_DOUBLE_EQ(parsed->minutes, GetParam().minutes);
    }
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Commands, CommandRecognition, ::testing::Values(
    CommandCase{"Q1",  UpsCommand::StatusMegatec, 0},
    CommandCase{"QS",  UpsCommand::StatusMustek, 0},
    CommandCase{"Q",   UpsCommand::ToggleBeeper, 0},
    CommandCase{"I",   UpsCommand::Info, 0},
    CommandCase{"F",   UpsCommand::Rating, 0},
    CommandCase{"T",   UpsCommand::Test10s, 0},
    CommandCase{"T05", UpsCommand::TestMinutes, 5},
    CommandCase{"T99", UpsCommand::TestMinutes, 99},
    CommandCase{"TL",  UpsCommand::TestUntilLow, 0},
    CommandCase{"CT",  UpsCommand::CancelTest, 0},
    CommandCase{"C",   UpsCommand::CancelShutdown, 0},
    CommandCase{"S01", UpsCommand::Shutdown, 1},
    CommandCase{"S60", UpsCommand::Shutdown, 60},
    CommandCase{"S.5", UpsCommand::Shutdown, 0.5},
    CommandCase{"T00", std::nullopt, 0},
    CommandCase{"T5",  std::nullopt, 0},
    CommandCase{"T123", std::nullopt, 0},
    CommandCase{"S1",  std::nullopt, 0},
    CommandCase{"S.",  std::nullopt, 0},
    CommandCase{"q1",  std::nullopt, 0},
    CommandCase{"Q1 ", std::nullopt, 0},
    CommandCase{"",    std::nullopt, 0}),
    [](const auto& info) {
        std::string name = std::to_string(info.index) + "_";
        for (char c : std::string(info.param.text)) {
            name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
        }
        return name;
    });
// clang-format on

std::vector<std::string> Frame(std::string_view bytes) {
    CommandFramer framer;
    std::vector<std::string> commands;
    for (char c : bytes) {
        if (auto command = framer.Feed(c)) {
            commands.push_back(*command);
        }
    }
    return commands;
}

using Commands = std::vector<std::string>;

TEST(CommandFramer, CutsCommandsAtCr) {
    EXPECT_EQ(Frame("Q1\rI\rF\r"), (Commands{"Q1", "I", "F"}));
    EXPECT_EQ(Frame("Q1"), Commands{}) << "no CR, no command";
}

TEST(CommandFramer, IgnoresLineFeedsNulsAndLeadingNoise) {
    EXPECT_EQ(Frame(std::string("\n\x00\xff\xb0 Q\x00"
                                "1\r\n",
                                10)),
              Commands{"Q1"});
    EXPECT_EQ(Frame("\r\r\n\r"), Commands{}) << "empty lines are not commands";
}

TEST(CommandFramer, DiscardsAnOverlongCommandUpToItsCr) {
    const std::string sixteen(16, 'A');
    EXPECT_EQ(Frame(sixteen + "\r"), Commands{sixteen});
    EXPECT_EQ(Frame(sixteen + "Q1\rQ1\r"), Commands{"Q1"});
}

TEST(CommandList, ParsesNamesAndPrintsThemBack) {
    const auto set = ParseCommandList("I, F,q,tnn");
    ASSERT_TRUE(set.has_value());
    EXPECT_EQ(*set, Bit(UpsCommand::Info) | Bit(UpsCommand::Rating) |
                        Bit(UpsCommand::ToggleBeeper) | Bit(UpsCommand::TestMinutes));
    EXPECT_EQ(CommandListText(*set), "I,F,Tnn,Q");
    EXPECT_EQ(ParseCommandList("none"), CommandSet{0});
    EXPECT_FALSE(ParseCommandList("I,X").has_value());
    EXPECT_EQ(CommandListText(0), "none");
}

TEST(CommandList, EveryCommandHasAName) {
    for (int i = 0; i < kCommandCount; ++i) {
        const auto command = static_cast<UpsCommand>(i);
        EXPECT_EQ(CommandFromName(CommandName(command)), command) << i;
    }
}

}  // namespace
}  // namespace gw::upssim
