// The battery's health verdict, judged after each self-test and each stretch on battery from
// what the model has learned: against the battery when first learned (resistance and
// capacity) and against the generic block.
//
// Thread rule: none (pure functions).
#pragma once

#include <string>

#include "monitor/battery_model.h"

namespace gw::monitor {

// clang-format off
inline constexpr char kHealthGood[] = "Good";
inline constexpr char kHealthWeak[] = "Weak";
inline constexpr char kHealthReplace[] = "Replace";

// Resistance over the battery when new, and capacity against the first learned.
inline constexpr double kWeakResistance = 1.6;
inline constexpr double kReplaceResistance = 2.4;
inline constexpr double kWeakCapacity = 0.8;
inline constexpr double kReplaceCapacity = 0.6;
// clang-format on

struct HealthVerdict {
    std::string Verdict;   // empty: nothing learned to judge by
    std::string Evidence;  // "sag 0.8 V at 35 % load, 0.3 V when new; capacity 52 % of first"
};

// `load_percent`: the load the evidence speaks of (the latest stretch's).
HealthVerdict JudgeBattery(const BatteryModel& model, double load_percent);

}  // namespace gw::monitor
