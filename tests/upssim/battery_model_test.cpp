#include "battery_model.h"

#include <gtest/gtest.h>

namespace gw::upssim {
namespace {

BatteryModel Draining(int nominal, int load) {
    BatteryModel battery(BatteryConfig{nominal, 600.0, 12, 3600.0});
    battery.SetLoad(load);
    battery.SetDischarging(true);
    return battery;
}

// Seconds until the battery is empty, in one-second steps.
int SecondsToEmpty(BatteryModel& battery) {
    int seconds = 0;
    while (!battery.IsEmpty() && seconds < 100000) {
        battery.Advance(1.0);
        ++seconds;
    }
    return seconds;
}

struct RuntimeCase {
    int load;
    int expected_seconds;
};

void PrintTo(const RuntimeCase& c, std::ostream* os) { *os << "load " << c.load; }

class BatteryRuntime : public ::testing::TestWithParam<RuntimeCase> {};

TEST_P(BatteryRuntime, FullBatteryLastsInProportionToTheLoad) {
    BatteryModel battery = Draining(12, GetParam().load);
    EXPECT_NEAR(SecondsToEmpty(battery), GetParam().expected_seconds, 1);
}

INSTANTIATE_TEST_SUITE_P(Loads, BatteryRuntime,
                         ::testing::Values(RuntimeCase{12, 600}, RuntimeCase{24, 300},
                                           RuntimeCase{6, 1200}, RuntimeCase{100, 72},
                                           // an idle inverter still drains
                                           RuntimeCase{0, 3600}),
                         [](const auto& info) { return "Load" + std::to_string(info.param.load); });

TEST(BatteryModel, LowBitComesAtAboutElevenPointFourVoltsFor12V) {
    BatteryModel battery = Draining(12, 12);
    double voltage_when_low = 0.0;
    for (int s = 0; s < 600 && voltage_when_low == 0.0; ++s) {
        ASSERT_GE(battery.Voltage(), 11.3) << "low was not reported in time";
        battery.Advance(1.0);
        if (battery.IsLow()) {
            voltage_when_low = battery.Voltage();
        }
    }
    EXPECT_NEAR(voltage_when_low, 11.4, 0.05);
    EXPECT_GT(battery.StateOfCharge(), 0.2) << "low must leave runtime for a shutdown";
}

TEST(BatteryModel, VoltageFallsWithChargeAndWithLoad) {
    BatteryModel light = Draining(12, 10);
    BatteryModel heavy = Draining(12, 90);
    EXPECT_GT(light.Voltage(), heavy.Voltage());
    const double full = light.Voltage();
    light.SetStateOfCharge(0.5);
    EXPECT_LT(light.Voltage(), full);
}

TEST(BatteryModel, RechargesOnMainsToTheFloatVoltage) {
    BatteryModel battery(BatteryConfig{24, 600.0, 12, 3600.0});
    battery.SetStateOfCharge(0.2);
    battery.SetDischarging(false);
    const double before = battery.Voltage();
    battery.Advance(1800.0);
    EXPECT_NEAR(battery.StateOfCharge(), 0.7, 1e-9);
    EXPECT_GT(battery.Voltage(), before);
    battery.Advance(10000.0);
    EXPECT_DOUBLE_EQ(battery.StateOfCharge(), 1.0);
    EXPECT_NEAR(battery.Voltage(), 27.24, 0.01);
    EXPECT_FALSE(battery.IsLow());
}

TEST(BatteryModel, PinnedVoltageIsReportedAndMatchesTheCharge) {
    BatteryModel battery = Draining(12, 12);
    battery.PinVoltage(11.0);
    EXPECT_DOUBLE_EQ(battery.Voltage(), 11.0);
    EXPECT_TRUE(battery.IsLow());
    battery.Advance(5.0);
    EXPECT_DOUBLE_EQ(battery.Voltage(), 11.0);
    battery.ReleaseVoltage();
    EXPECT_NEAR(battery.Voltage(), 11.0, 0.1) << "the charge underneath follows the pin";
}

TEST(BatteryModel, ChargeStaysWithinBounds) {
    BatteryModel battery = Draining(48, 100);
    battery.Advance(1e6);
    EXPECT_DOUBLE_EQ(battery.StateOfCharge(), 0.0);
    EXPECT_GT(battery.Voltage(), 0.0);
    battery.SetStateOfCharge(7.0);
    EXPECT_DOUBLE_EQ(battery.StateOfCharge(), 1.0);
}

}  // namespace
}  // namespace gw::upssim
