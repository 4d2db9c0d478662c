#include "link/protocol.h"

#include <gtest/gtest.h>

#include <string>

namespace gw::link {
namespace {

struct AcceptCase {
    const char* name;
    Command command;
    std::string reply;
    bool accepted;
};

std::string Padded(std::string head, std::size_t length) {
    head.resize(length, '0');
    return head;
}

class AcceptsReplyTest : public ::testing::TestWithParam<AcceptCase> {};

TEST_P(AcceptsReplyTest, JudgesReply) {
    EXPECT_EQ(AcceptsReply(GetParam().command, GetParam().reply), GetParam().accepted);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Rules, AcceptsReplyTest, ::testing::Values(
    AcceptCase{"Q1_real", Command::StatusMegatec, "(228.6 228.6 228.6 012 50.0 13.6 27.0 00001001\r", true},
    AcceptCase{"Q1_45", Command::StatusMegatec, Padded("(", 45), false},
    AcceptCase{"Q1_46", Command::StatusMegatec, Padded("(", 46), true},
    AcceptCase{"Q1_echo", Command::StatusMegatec, Padded("Q1", 60), false},
    AcceptCase{"Q1_no_paren", Command::StatusMegatec, Padded("#", 60), false},
    AcceptCase{"QS_echo", Command::StatusMustek, Padded("QS", 60), false},
    AcceptCase{"QS_real", Command::StatusMustek, "(228.6 228.6 228.6 012 50.0 13.6 27.0 00001001\r", true},
    AcceptCase{"Q1_empty", Command::StatusMegatec, "", false},
    AcceptCase{"I_37", Command::Info, Padded("#", 36) + "\r", false},
    AcceptCase{"I_38", Command::Info, Padded("#", 37) + "\r", true},
    AcceptCase{"I_no_cr", Command::Info, Padded("#", 50), false},
    AcceptCase{"I_echo", Command::Info, "I" + Padded("#", 50) + "\r", false},
    AcceptCase{"I_real", Command::Info, "#Energizer       ER-HMOF600 A0        \r", true},
    AcceptCase{"F_20", Command::Rating, Padded("#", 19) + "\r", false},
    AcceptCase{"F_21", Command::Rating, Padded("#", 20) + "\r", true},
    AcceptCase{"F_no_lead", Command::Rating, Padded("(", 20) + "\r", false},
    AcceptCase{"F_echo", Command::Rating, "F" + Padded("#", 20) + "\r", false},
    AcceptCase{"user_command", Command::Test10s, Padded("(", 60), false}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

TEST(CommandTextTest, MinutesAreTwoDigits) {
    EXPECT_EQ(CommandText(Command::TestMinutes, 5), "T05\r");
    EXPECT_EQ(CommandText(Command::TestMinutes, 12), "T12\r");
    EXPECT_EQ(CommandText(Command::ShutdownUps, 60), "S60\r");
    EXPECT_EQ(CommandText(Command::ShutdownUps, 5), "S05\r");
    EXPECT_EQ(CommandText(Command::StatusMegatec), "Q1\r");
    EXPECT_EQ(CommandText(Command::CancelTest), "CT\r");
    // Out-of-range minutes must never make a command outgrow a HID report.
    EXPECT_EQ(CommandText(Command::ShutdownUps, 250), "S99\r");
    EXPECT_EQ(CommandText(Command::ShutdownUps, -3), "S00\r");
    for (const auto& row : kCommands) EXPECT_LE(CommandText(row.Id, 99).size(), 8u) << row.Text;
}

TEST(IsEchoTest, ComparesTheCommandsFirstCharacters) {
    EXPECT_TRUE(IsEcho(Command::Test10s, "T\r"));
    EXPECT_TRUE(IsEcho(Command::TestMinutes, "T05\r", 5));
    EXPECT_FALSE(IsEcho(Command::TestMinutes, "T06\r", 5));
    EXPECT_FALSE(IsEcho(Command::TestMinutes, "T0", 5));
    EXPECT_TRUE(IsEcho(Command::TestUntilLow, "TL\r"));
    EXPECT_TRUE(IsEcho(Command::ToggleBeeper, "Q"));
    EXPECT_FALSE(IsEcho(Command::CancelTest, ""));
    EXPECT_FALSE(IsEcho(Command::CancelTest, "C"));
    EXPECT_FALSE(IsEcho(Command::ToggleBeeper, "(230.0"));
}

struct NumberCase {
    std::string text;
    bool ok;
    long double value;
};

class ParseNumberTest : public ::testing::TestWithParam<NumberCase> {};

TEST_P(ParseNumberTest, Converts) {
    const NumberResult result = ParseNumber(GetParam().text);
    ASSERT_EQ(result.Value.has_value(), GetParam().ok) << result.Error;
    if (GetParam().ok) {
        EXPECT_NEAR(static_cast<double>(*result.Value), static_cast<double>(GetParam().value),
                    1e-9);
        EXPECT_TRUE(result.Error.empty());
    }
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Texts, ParseNumberTest, ::testing::Values(
    NumberCase{"12.00", true, 12}, NumberCase{"12,00", true, 12},
    NumberCase{" 12.00\r", true, 12}, NumberCase{"\t228.6 \n", true, 228.6L},
    NumberCase{"000", true, 0}, NumberCase{"-5.5", true, -5.5L}, NumberCase{"+7", true, 7},
    NumberCase{"2.05", true, 2.05L}, NumberCase{"1e2", true, 100},
    NumberCase{"", false, 0}, NumberCase{"   ", false, 0}, NumberCase{"1.2.3", false, 0},
    NumberCase{"1,2.3", false, 0}, NumberCase{"12 3", false, 0}, NumberCase{"abc", false, 0},
    NumberCase{"12V", false, 0}, NumberCase{std::string("1\0" "2", 3), false, 0},
    NumberCase{".", false, 0}, NumberCase{"-", false, 0}, NumberCase{"1e", false, 0},
    NumberCase{"inf", false, 0}, NumberCase{"nan", false, 0}, NumberCase{"0x10", false, 0}));
// clang-format on

TEST(ParseNumberTest, ErrorNamesTheText) {
    EXPECT_EQ(ParseNumber("12V").Error, "'12V' is not a valid floating point value");
    EXPECT_EQ(ParseNumber(" 1.2.3\r").Error, "'1.2.3' is not a valid floating point value");
}

TEST(HexTest, FourUpperCaseDigits) {
    EXPECT_EQ(HexDigit(9), '9');
    EXPECT_EQ(HexDigit(10), 'A');
    EXPECT_EQ(HexDigit(15), 'F');
    EXPECT_EQ(HexWord(0x0665), "0665");
    EXPECT_EQ(HexWord(0xC077), "C077");
    EXPECT_EQ(HexWord(0x0925), "0925");
}

struct ScanCase {
    const char* name;
    std::string text;
    std::size_t count;
    char marker;
    std::vector<std::string> fields;
};

class ScanFieldsTest : public ::testing::TestWithParam<ScanCase> {};

TEST_P(ScanFieldsTest, Cuts) {
    const auto& c = GetParam();
    const auto fields = ScanFields(c.text, 1, c.count, c.marker);
    EXPECT_EQ(std::vector<std::string>(fields.begin(), fields.end()), c.fields);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Texts, ScanFieldsTest, ::testing::Values(
    ScanCase{"rating", "#220.0 003 12.00 50.0\r", 4, '\r', {"220.0", "003", "12.00", "50.0"}},
    ScanCase{"rating_three", "#220.0 003 12.00\r", 4, '\r', {"220.0", "003", "12.00"}},
    ScanCase{"rating_no_cr", "#220.0 003", 4, '\r', {"220.0", "003"}},
    ScanCase{"lead_only", "#", 4, '\r', {}},
    ScanCase{"trailing_blank", "#220.0 ", 4, '\r', {"220.0"}},
    // A field is never empty: after a doubled blank the next field starts
    // with the second blank.
    ScanCase{"double_blank", "#1  2\r", 4, '\r', {"1", " 2"}},
    ScanCase{"status", "(1 2 3 4 5 6 7 00001001#", 8, '#', {"1", "2", "3", "4", "5", "6", "7", "00001001"}},
    ScanCase{"status_cut", "(1 2 3", 8, '#', {"1", "2", "3"}},
    ScanCase{"nothing_after_marker", "#1\r 2 3", 4, '\r', {"1"}}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

TEST(CutInfoFieldsTest, RealReplyOfARealUnit) {
    const InfoFields info = CutInfoFields("#Energizer       ER-HMOF600 A0        \r");
    EXPECT_EQ(info.Manufacturer, "Energizer");
    EXPECT_EQ(info.Model, "ER-HMOF600");
    EXPECT_EQ(info.Version, "A0");
}

TEST(CutInfoFieldsTest, ShortReplyGivesShortFields) {
    const InfoFields info = CutInfoFields("#Maker\r");
    EXPECT_EQ(info.Manufacturer, "Maker");
    EXPECT_EQ(info.Model, "");
    EXPECT_EQ(info.Version, "");
}

TEST(CutRatingFieldsTest, StopsAtTheFirstBadField) {
    RatingFields ok = CutRatingFields("#220.0 003 12.00 50.0\r");
    ASSERT_EQ(ok.Values.size(), 4u);
    EXPECT_EQ(ok.Values[2], 12);
    EXPECT_TRUE(ok.Error.empty());

    RatingFields bad = CutRatingFields(std::string("#220.0 0\0" "3 12.00 50.0\r", 22));
    EXPECT_EQ(bad.Values.size(), 1u);
    EXPECT_NE(bad.Error.find("is not a valid floating point value"), std::string::npos);
}

}  // namespace
}  // namespace gw::link
