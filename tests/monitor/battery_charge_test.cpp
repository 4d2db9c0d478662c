#include "monitor/battery_charge.h"

#include <gtest/gtest.h>

#include <string>

namespace gw::monitor {
namespace {

struct ChargeCase {
    int Full;
    int Empty;
    long double Volts;
    const char* Text;
    int Gauge;  // the gauge stood at 77 before
    int Lit;    // of 18 segments
};

class ChargeTest : public ::testing::TestWithParam<ChargeCase> {};

TEST_P(ChargeTest, InterpolatesUnclamped) {
    const ChargeCase& c = GetParam();
    DisplayModel model;
    model.FullBatteryVoltageUD.Position = c.Full;
    model.EmptyBatteryVoltageUD.Position = c.Empty;
    model.BatteryChargeRL.SetValue(77);
    const auto charge = ChargeEstimate(model, c.Volts);
    EXPECT_EQ(model.BatteryChargeL, c.Text);
    EXPECT_EQ(charge.has_value(), c.Full > c.Empty);
    EXPECT_EQ(model.BatteryChargeRL.Position(), c.Gauge);
    EXPECT_EQ(model.BatteryChargeRL.LitSegments(), c.Lit);
}

INSTANTIATE_TEST_SUITE_P(
    Battery, ChargeTest,
    ::testing::Values(ChargeCase{137, 97, 13.7L, "100.0", 100, 18},
                      ChargeCase{137, 97, 9.7L, "0.0", 0, 0},
                      ChargeCase{137, 97, 11.7L, "50.0", 50, 9},
                      ChargeCase{137, 97, 13.8L, "102.5", 77, 14},  // above 100: kept
                      ChargeCase{137, 97, 9.5L, "-5.0", -5, 0},
                      ChargeCase{137, 97, 9.6999L, "0.0", 0, 0},  // no "-0.0"
                      ChargeCase{137, 97, 10.7L, "25.0", 25, 4},  // 4.5 segments: to even
                      ChargeCase{137, 137, 12.0L, "...", 100, 18},
                      ChargeCase{120, 137, 12.0L, "...", 100, 18}));

TEST(ChargeEdgeTest, AbsurdReadingsStayShown) {
    DisplayModel model;
    ApplyNominalVoltage(model, 12);
    ChargeEstimate(model, -1e30L);
    EXPECT_EQ(model.BatteryChargeL.substr(0, 2), "-2");
    EXPECT_EQ(model.BatteryChargeL.size(), 35u);
    EXPECT_EQ(model.BatteryChargeRL.LitSegments(), 0);
    ChargeEstimate(model, std::stold("9" + std::string(250, '9')));
    EXPECT_GT(model.BatteryChargeL.size(), 250u);
    EXPECT_EQ(model.BatteryChargeRL.LitSegments(), 0);  // above 100 leaves the gauge
}

TEST(GaugeTest, ZonesAndColours) {
    TRLed gauge;
    ASSERT_EQ(gauge.SegmentCount(), 18);
    for (int segment = 1; segment <= 18; ++segment) {
        EXPECT_EQ(gauge.InHighZone(segment), segment <= 13) << segment;
    }
    gauge.SetValue(50);  // the bottom 9 are lit
    EXPECT_FALSE(gauge.IsLit(9));
    EXPECT_TRUE(gauge.IsLit(10));
    EXPECT_EQ(gauge.SegmentColour(9), (Rgb{0, 127, 0}));
    EXPECT_EQ(gauge.SegmentColour(13), TRLed::kHighColour);
    EXPECT_EQ(gauge.SegmentColour(14), TRLed::kLowColour);
    gauge.SetValue(100.5L);  // rounds to 100, even
    EXPECT_EQ(gauge.Position(), 100);
    gauge.SetValue(101.5L);
    EXPECT_EQ(gauge.Position(), 100);
    gauge.SetValue(0.5L);
    EXPECT_EQ(gauge.LitSegments(), 0);
}

struct NominalCase {
    long double Nominal;
    const char* Shown;
    int Min, Max, Empty, Full, Minimum;
    const char* EmptyText;
};

class NominalTest : public ::testing::TestWithParam<NominalCase> {};

TEST_P(NominalTest, AppliesTheRowOrKeepsTheLastOne) {
    const NominalCase& c = GetParam();
    DisplayModel model;
    ApplyNominalVoltage(model, 24);
    ApplyNominalVoltage(model, c.Nominal);
    EXPECT_EQ(model.NominalBatteryVoltageE, c.Shown);
    for (const auto& row : kThresholds) {
        EXPECT_EQ((model.*row.Control).Min, c.Min);
        EXPECT_EQ((model.*row.Control).Max, c.Max);
    }
    EXPECT_EQ(model.EmptyBatteryVoltageUD.Position, c.Empty);
    EXPECT_EQ(model.FullBatteryVoltageUD.Position, c.Full);
    EXPECT_EQ(model.MinVoltageUD.Position, c.Minimum);
    EXPECT_EQ(model.EmptyBatteryVoltageE, c.EmptyText);
    EXPECT_EQ(model.FullBatteryVoltageE, TenthsText(c.Full));
    EXPECT_EQ(model.MinVoltageE, TenthsText(c.Minimum));
}

INSTANTIATE_TEST_SUITE_P(
    Battery, NominalTest,
    ::testing::Values(NominalCase{12, "12", 90, 160, 97, 137, 110, "9.7"},
                      NominalCase{24.00L, "24", 180, 300, 213, 271, 230, "21.3"},
                      NominalCase{36.5L, "36", 300, 420, 325, 410, 350, "32.5"},
                      NominalCase{47.6L, "48", 380, 580, 400, 546, 470, "40.0"},
                      NominalCase{96, "96", 760, 1160, 800, 1110, 940, "80.0"},
                      NominalCase{60, "60", 180, 300, 213, 271, 230, "21.3"},
                      NominalCase{1e18L, "1000000000000000000", 180, 300, 213, 271, 230, "21.3"}));

TEST(ThresholdTest, KeysStepWholeOrNotAtAll) {
    const struct {
        int Start;
        ThresholdKey Key;
        int End;
        bool Moved;
    } cases[] = {
        {155, ThresholdKey::PageUp, 155, false}, {155, ThresholdKey::Up, 156, true},
        {150, ThresholdKey::PageUp, 160, true},  {160, ThresholdKey::Up, 160, false},
        {100, ThresholdKey::PageDown, 90, true}, {95, ThresholdKey::PageDown, 95, false},
        {90, ThresholdKey::Down, 90, false},     {91, ThresholdKey::Down, 90, true},
        {120, ThresholdKey::Other, 120, false},
    };
    for (const auto& c : cases) {
        for (const auto& row : kThresholds) {
            DisplayModel model;
            SetThresholdPosition(model, row.Which, c.Start);
            EXPECT_EQ(StepThreshold(model, row.Which, c.Key), c.Moved) << c.Start;
            EXPECT_EQ((model.*row.Control).Position, c.End);
            EXPECT_EQ(model.*row.Edit, TenthsText(c.End));
        }
    }
}

TEST(ThresholdTest, PositionsOutsideTheRange) {
    DisplayModel model;
    ApplyNominalVoltage(model, 12);
    SetThresholdPosition(model, Threshold::Full, 250);  // taken, the edit stays
    EXPECT_EQ(model.FullBatteryVoltageUD.Position, 250);
    EXPECT_EQ(model.FullBatteryVoltageE, "13.7");
    EXPECT_FALSE(StepThreshold(model, Threshold::Full, ThresholdKey::Up));

    EXPECT_FALSE(LoadStoredThreshold(model, Threshold::Minimum, 230));  // saved for 24 V
    EXPECT_EQ(model.MinVoltageUD.Position, 110);
    EXPECT_EQ(model.MinVoltageE, "11.0");
    EXPECT_TRUE(LoadStoredThreshold(model, Threshold::Minimum, 105));
    EXPECT_EQ(model.MinVoltageE, "10.5");
}

}  // namespace
}  // namespace gw::monitor
