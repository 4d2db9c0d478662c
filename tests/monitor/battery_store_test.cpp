// What the battery file may hold: figures a real battery can have, or it is set aside as damaged
// and learning starts again; and what the model serves from any knowledge stays a runtime.
#include "monitor/battery_store.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "monitor/test_files.h"

namespace gw::monitor {
namespace {

using testing::ReadFile;
using testing::ScratchDir;
using testing::WriteFile;

BatteryKnowledge Learned() {
    BatteryKnowledge k;
    k.Resistance = {1.7, true, 2};
    k.Capacity = {655.5, true, 2};
    k.CapacityDrain = 0.31;
    k.Peukert = {1.3, true, 1};
    k.Curve = GenericBattery::kCurve;
    k.CurveLearned = true;
    k.FirstResistance = 1.5;
    k.FirstCapacity = 700;
    k.Ohmic = {1.5, true, 2};
    k.BaseOhmic = 1.4;
    k.BaseOhmicDoubt = 0.3;
    k.LastOhmic = 1.6;
    k.LastOhmicDoubt = 0.3;
    k.Discharges = 2;
    k.LastTest = 1'700'000'000;
    k.LastDischarge = 1'700'000'100;
    return k;
}

// The learned file with the line of `key` replaced by `line`.
std::string WithLine(const std::string& key, const std::string& line) {
    std::string text = FormatBatteryKnowledge("ups", Learned());
    const std::size_t start = text.find("\n" + key + " ") + 1;
    return text.replace(start, text.find('\n', start) - start, line);
}

struct FileCase {
    const char* Key;
    const char* Line;
    bool Readable;
};

// clang-format off
const FileCase kFiles[] = {
    {"capacity",       "capacity 1e-300 1 1",           false},  // runtime 0 on mains
    {"capacity",       "capacity 1e300 1 1",            false},  // a 301-digit runtime
    {"capacity",       "capacity 1e300 0 0",            false},  // not in force, still damage
    {"capacity",       "capacity 2 1 1",                false},
    {"capacity",       "capacity 604800 1 1",           true},   // a week at 30 %: a big bank
    {"resistance",     "resistance 1e300 1 1",          false},
    {"resistance",     "resistance 0.001 1 1",          false},
    {"resistance",     "resistance 10 1 1",             true},   // a dead battery
    {"resistance",     "resistance 0.01 1 3",           true},
    {"resistance",     "resistance 1.7 1 999999999",    false},
    {"ohmic_base",     "ohmic_base 1.4 2",              false},  // doubt beyond the figure
    {"ohmic_last",     "ohmic_last 1e300 0.1",          false},
    {"ohmic_last",     "ohmic_last 4.3 0.25",           true},
    {"verdict",        "verdict Unknown",               true},
    {"peukert",        "peukert 5 1 1",                 false},
    {"peukert",        "peukert 0.5 1 1",               false},
    {"capacity_drain", "capacity_drain 1e300",          false},
    {"capacity_drain", "capacity_drain -0.3",           false},
    {"capacity_drain", "capacity_drain 0",              true},   // nothing learned yet
    {"curve",          "curve 1 1 10 100 1000 1e4 1e5 1e6 1e7 1e8 1e9 1e300", false},
    {"curve",          "curve 1 117 119.5 121 122.1 123.1 124 124.9 125.8 126.7 127.6 128.5",
                                                        false},  // a 120 V string as one block
    {"curve",          "curve 1 12 12 12 12 12 12 12 12 12 12 12", false},  // flat
    {"curve",          "curve 1 10.5 11 11.5 12 12.5 13 13.5 14 14.2 14.4 14.6", true},
    {"curve",          "curve 0 0 0 0 0 0 0 0 0 0 0 0", true},
    {"first",          "first 1e300 700",               false},
    {"first",          "first 1.5 1e-300",              false},
    {"first",          "first 0 0",                     true},
    {"discharges",     "discharges 999999999",          false},
    {"last_test",      "last_test 1e300",               false},
    {"last_test",      "last_test -5",                  false},
    {"last_discharge", "last_discharge 0",              true},
};
// clang-format on

TEST(BatteryStore, AFileOutsideWhatABatteryCanBeIsSetAsideLikeAnUnreadableOne) {
    for (const FileCase& file : kFiles) {
        SCOPED_TRACE(file.Line);
        ScratchDir dir;
        BatteryFileStore store(dir.Path());
        const std::string path = store.PathFor("ups");
        const std::string text = WithLine(file.Key, file.Line);
        ASSERT_NE(text.find(std::string("\n") + file.Line + "\n"), std::string::npos);
        WriteFile(path, text);
        const BatteryStore::Loaded loaded = store.Load("ups");
        EXPECT_EQ(loaded.Problem.empty(), file.Readable) << loaded.Problem;
        EXPECT_EQ(loaded.Knowledge.Capacity.Learned, file.Readable);
        EXPECT_EQ(ReadFile(file.Readable ? path : path + ".unreadable"), text);
    }
}

TEST(BatteryStore, WhatTheModelLearnsReadsBackAndItsRuntimeStaysARuntime) {
    // At idle, a recharged battery reading well under its rest voltage would put the sag per
    // block at full load near 70 V: learned as the worst a battery can be, not beyond.
    BatteryModel model(12);
    const auto feed = [&](double time, double volts, bool inverter) {
        BatterySample sample;
        sample.Time = sample.WallTime = time;
        sample.Volts = volts;
        sample.OnInverter = inverter;
        return model.Feed(sample);
    };
    feed(0, 13.6, false);
    feed(3, 11.8, true);
    feed(6, 11.8, true);
    ASSERT_TRUE(feed(9, 13.6, false).Learned);
    const std::string text = FormatBatteryKnowledge("ups", model.Knowledge());
    EXPECT_TRUE(ParseBatteryKnowledge(text, "ups")) << text;

    // The biggest bank the file may hold, at idle: a week, said as a week.
    BatteryKnowledge k = Learned();
    k.Capacity = {604800, true, 1};
    BatteryModel big(48, k);
    BatterySample idle;
    idle.Volts = 54;
    big.Feed(idle);
    ASSERT_TRUE(big.Runtime());
    EXPECT_EQ(*big.Runtime(), 7 * 86400.0);
    EXPECT_EQ(big.FullRuntime(0), 7 * 86400.0);
}

}  // namespace
}  // namespace gw::monitor
