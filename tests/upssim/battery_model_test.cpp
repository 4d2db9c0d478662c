#include "battery_model.h"

#include <gtest/gtest.h>

#include <utility>

namespace gw::upssim {
namespace {

using Flow = BatteryModel::Flow;

BatteryModel Draining(BatteryAge age, int load, int nominal = 12) {
    BatteryConfig config;
    config.nominal_voltage = nominal;
    config.age = age;
    BatteryModel battery(config);
    battery.SetLoad(load);
    battery.SetFlow(Flow::Discharge);
    return battery;
}

// Seconds until the output would be cut, in one-second steps as the unit
// lives them.
int SecondsToCutOut(BatteryModel& battery) {
    int seconds = 0;
    while (!battery.Exhausted() && seconds < 100000) {
        battery.Advance(1.0);
        ++seconds;
    }
    return seconds;
}

struct DischargeCase {
    const char* name;
    BatteryAge age;
    int load;
    double seconds;  // the calibration the simulator promises
    double tolerance;
};

void PrintTo(const DischargeCase& c, std::ostream* os) { *os << c.name; }

class Discharge : public ::testing::TestWithParam<DischargeCase> {};

// A 600 VA unit on a 12 V 7 Ah block: the aged battery (half the capacity,
// three times the resistance) at 30 % lasts about 160 s, a new one minutes.
TEST_P(Discharge, LastsAsCalibratedAndKnowsItsRuntime) {
    const DischargeCase& c = GetParam();
    BatteryModel battery = Draining(c.age, c.load);
    const double predicted = battery.RuntimeLeft();
    const int lasted = SecondsToCutOut(battery);
    EXPECT_NEAR(lasted, c.seconds, c.seconds * c.tolerance);
    EXPECT_NEAR(predicted, lasted, 1.0 + 0.01 * lasted) << "the truth must be true";
    EXPECT_LT(battery.Voltage(), 10.5 + 0.1);
}

INSTANTIATE_TEST_SUITE_P(AgesAndLoads, Discharge,
                         ::testing::Values(DischargeCase{"AgedAt30", kAgedBattery, 30, 160.0, 0.08},
                                           DischargeCase{"NewAt30", kNewBattery, 30, 750.0, 0.1},
                                           DischargeCase{"HalfAgedAt30", kHalfAgedBattery, 30,
                                                         410.0, 0.1},
                                           DischargeCase{"NewAt12", kNewBattery, 12, 2400.0, 0.1},
                                           DischargeCase{"AgedAt12", kAgedBattery, 12, 870.0, 0.1}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(BatteryModel, DoubleTheLoadLastsLessThanHalf) {
    for (const BatteryAge age : {kNewBattery, kAgedBattery}) {
        BatteryModel light = Draining(age, 15);
        BatteryModel heavy = Draining(age, 30);
        EXPECT_LT(SecondsToCutOut(heavy), SecondsToCutOut(light) / 2);
    }
}

TEST(BatteryModel, SagsAtOnceUnderLoadAndRecoversWhenTheLoadGoes) {
    for (const BatteryAge age : {kNewBattery, kAgedBattery}) {
        BatteryModel battery = Draining(age, 10);
        battery.Advance(60.0);
        const double light = battery.Voltage();
        battery.SetLoad(40);
        const double sag = light - battery.Voltage();
        battery.SetLoad(10);
        EXPECT_NEAR(battery.Voltage(), light, 0.01) << "recovers with no time passing";
        EXPECT_GT(sag, 0.3);
        if (age.resistance_factor > 1.0) {
            EXPECT_GT(sag, 1.0) << "an aged battery sags far more";
        } else {
            EXPECT_LT(sag, 0.8);
        }
    }
}

// The charger floats the block above its rest voltage; the first second on the inverter takes
// most of that surface charge, the rest goes over a minute; the jump back when the load goes is
// the ohmic drop alone, and the float returns over minutes.
TEST(BatteryModel, FloatAndRestVoltagesDifferAndOnlyTheOhmicDropIsInstant) {
    for (const auto& [float_volts, rest_volts] : {std::pair{13.5, 12.6}, std::pair{13.8, 12.9}}) {
        for (const BatteryAge age : {kNewBattery, kAgedBattery}) {
            BatteryConfig config;
            config.age = age;
            config.float_volts = float_volts;
            config.rest_full_volts = rest_volts;
            BatteryModel battery(config);
            battery.SetLoad(35);
            EXPECT_NEAR(battery.Voltage(), float_volts, 0.01);
            battery.SetFlow(Flow::Discharge);
            const double ohms = 0.038 * age.resistance_factor;
            battery.Advance(1.0);
            const double first = battery.Voltage();
            EXPECT_GT(first, rest_volts - battery.Current() * ohms - 0.02);
            EXPECT_LT(first, rest_volts - battery.Current() * ohms + 0.3)
                << "most of the surface charge is gone";
            battery.Advance(9.0);
            const double last = battery.Voltage();
            EXPECT_LT(last, first - 0.03);
            const double ohmic = battery.Current() * ohms;
            battery.SetFlow(Flow::Charge);
            EXPECT_NEAR(battery.Voltage() - last, ohmic, 0.02) << "the jump back is ohmic";
            battery.Advance(1.0);
            EXPECT_LT(battery.Voltage(), rest_volts + 0.3) << "the float takes minutes to return";
            battery.Advance(1800.0);
            EXPECT_NEAR(battery.Voltage(), float_volts, 0.02);
        }
    }
}

TEST(BatteryModel, RaisesLowBeforeItCutsOut) {
    for (const int load : {5, 30, 70}) {
        BatteryModel battery = Draining(kNewBattery, load, 24);
        int low_at = -1;
        int seconds = 0;
        while (!battery.Exhausted() && seconds < 100000) {
            if (low_at < 0 && battery.IsLow()) {
                low_at = seconds;
                EXPECT_NEAR(battery.Voltage(), 22.0, 0.1) << "11.0 V per block";
            }
            battery.Advance(1.0);
            ++seconds;
        }
        ASSERT_GE(low_at, 0) << "load " << load;
        EXPECT_GE(seconds - low_at, 30) << "low leaves time to shut down, load " << load;
        EXPECT_NEAR(battery.Voltage(), 21.0, 0.2) << "cut out at 10.5 V per block";
    }
}

TEST(BatteryModel, RechargesOnMainsToTheFloatVoltage) {
    BatteryModel battery = Draining(kNewBattery, 30);
    SecondsToCutOut(battery);
    battery.SetFlow(Flow::Rest);
    const double rest = battery.Voltage();
    EXPECT_GT(rest, 11.6) << "recovers once the load is gone";
    battery.SetFlow(Flow::Charge);
    double before = battery.Voltage();
    for (int hour = 0; hour < 12; ++hour) {
        battery.Advance(3600.0);
        EXPECT_GE(battery.Voltage(), before);
        before = battery.Voltage();
    }
    EXPECT_GT(battery.StateOfCharge(), 0.99);
    EXPECT_NEAR(battery.Voltage(), 13.62, 0.01);
    EXPECT_NEAR(battery.RuntimeLeft(), 750.0, 75.0) << "as good as new again";
}

TEST(BatteryModel, PinnedVoltageIsReportedAndMatchesTheCharge) {
    BatteryModel battery = Draining(kNewBattery, 12);
    battery.PinVoltage(10.9);
    EXPECT_DOUBLE_EQ(battery.Voltage(), 10.9);
    EXPECT_TRUE(battery.IsLow());
    battery.Advance(5.0);
    EXPECT_DOUBLE_EQ(battery.Voltage(), 10.9);
    battery.ReleaseVoltage();
    EXPECT_NEAR(battery.Voltage(), 10.9, 0.05) << "the charge underneath follows the pin";
}

TEST(BatteryModel, RuntimeCalibrationHitsItsTarget) {
    BatteryConfig config;
    config.capacity_ah = BatteryModel::CapacityForRuntime(config, 12, 600.0);
    BatteryModel battery(config);
    battery.SetLoad(12);
    EXPECT_NEAR(battery.RuntimeLeft(), 600.0, 2.0);
}

}  // namespace
}  // namespace gw::upssim
