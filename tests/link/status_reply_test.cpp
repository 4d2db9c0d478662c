#include "link/status_reply.h"

#include <gtest/gtest.h>

#include <string>

namespace gw::link {
namespace {

struct TextCase {
    const char* name;
    std::string bytes;
    std::string text;
};

class BuildStatusTextTest : public ::testing::TestWithParam<TextCase> {};

TEST_P(BuildStatusTextTest, Filters) { EXPECT_EQ(BuildStatusText(GetParam().bytes), GetParam().text); }

// clang-format off
INSTANTIATE_TEST_SUITE_P(Bytes, BuildStatusTextTest, ::testing::Values(
    TextCase{"plain", "(228.6 228.6 228.6 012 50.0 13.6 27.0 00001001\r",
                      "(228.6 228.6 228.6 012 50.0 13.6 27.0 00001001#"},
    TextCase{"after_cr_dropped", "(1 2\rXYZ(3 4\r", "(1 2#"},
    TextCase{"nul_and_high", std::string("(2\0" "3\xB0" "0\xFF\r", 8), "(230#"},
    TextCase{"no_cr", "(228.6 228", "(228.6 228"},
    TextCase{"empty", "", ""},
    TextCase{"only_cr", "\r", "#"},
    TextCase{"capped", std::string(300, 'x'), std::string(255, 'x')},
    TextCase{"cr_at_255", std::string(254, 'x') + "\r", std::string(254, 'x') + "#"}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

TEST(SplitStatusTextTest, EightFieldsOfARealReply) {
    const auto fields = SplitStatusText("(228.6 228.6 228.6 012 50.0 13.6 27.0 00001001#");
    ASSERT_EQ(fields.size(), kStatusFieldCount);
    EXPECT_EQ(fields[static_cast<int>(StatusField::InputVoltage)], "228.6");
    EXPECT_EQ(fields[static_cast<int>(StatusField::OutputCurrent)], "012");
    EXPECT_EQ(fields[static_cast<int>(StatusField::BatteryVoltage)], "13.6");
    EXPECT_EQ(fields[static_cast<int>(StatusField::StatusBits)], "00001001");
}

TEST(SplitStatusTextTest, RejectsOrCutsShortTexts) {
    EXPECT_TRUE(SplitStatusText("").empty());
    EXPECT_TRUE(SplitStatusText("#").empty());
    EXPECT_TRUE(SplitStatusText("228.6 228.6#").empty());
    EXPECT_EQ(SplitStatusText("(228.6 228.6").size(), 2u);
    EXPECT_EQ(SplitStatusText("(").size(), 0u);
    // Overlong fields do not shift the others.
    const std::string wide = "(" + std::string(200, '1') + " 2 3 4 5 6 7 10000000#";
    const auto fields = SplitStatusText(wide);
    ASSERT_EQ(fields.size(), 8u);
    EXPECT_EQ(fields[1], "2");
    EXPECT_EQ(fields[7], "10000000");
}

TEST(StatusBitTest, OnlyAOneIsSet) {
    EXPECT_TRUE(StatusBit("10000000", StatusFlag::PowerFail));
    EXPECT_FALSE(StatusBit("10000000", StatusFlag::BeeperOn));
    EXPECT_TRUE(StatusBit("00000001", StatusFlag::BeeperOn));
    // Seven characters: b2 set, the missing b0 reads clear.
    EXPECT_TRUE(StatusBit("0000010", StatusFlag::TestInProgress));
    EXPECT_FALSE(StatusBit("0000010", StatusFlag::BeeperOn));
    EXPECT_FALSE(StatusBit("x1", StatusFlag::PowerFail));
    EXPECT_TRUE(StatusBit("x1", StatusFlag::BatteryLow));
    EXPECT_FALSE(StatusBit("", StatusFlag::PowerFail));
}

}  // namespace
}  // namespace gw::link
