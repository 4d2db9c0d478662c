// The battery's health verdict, judged after each self-test and each stretch on battery from
// what the model has learned: the ohmic resistance against the lowest on record (the battery
// when new), the capacity against the first learned, and, with nothing on record to hold them
// against, both against a new block behind a unit of this rating — which only ever tells a
// battery that is plainly worn: one that may be new, or just larger, is "Unknown".
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
inline constexpr char kHealthUnknown[] = "Unknown";

// Resistance over the battery when new (a rise of a half or more calls for a capacity test or
// a new battery), taken at the low end of what the readings allow; capacity against the first
// learned (below four fifths of it a battery is commonly at its end).
inline constexpr double kWeakResistance = 1.3;
inline constexpr double kReplaceResistance = 2.0;
inline constexpr double kWeakCapacity = 0.85;
inline constexpr double kReplaceCapacity = 0.7;
// Where the figures as read lean towards wear (the resistance against the battery when new, the
// capacity from one discharge against the generic block): "Weak" when both do, though neither
// is past its threshold once its doubt is allowed for.
inline constexpr double kLeanResistance = 1.2;
inline constexpr double kLeanCapacity = 0.9;
// clang-format on

struct HealthVerdict {
    std::string Verdict;   // empty: nothing learned to judge by
    std::string Evidence;  // "resistance about 3.0 times what it was when new; capacity unknown"
};

HealthVerdict JudgeBattery(const BatteryModel& model);

}  // namespace gw::monitor
