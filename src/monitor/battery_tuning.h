// How the battery model reads its stretches on the inverter and what it learns from them:
// the figures shared by battery_model.cpp (the estimate while a stretch runs) and
// battery_learning.cpp (what a stretch teaches when it ends). Nothing else includes it.
//
// Thread rule: none (constants).
#pragma once

#include <cstddef>

namespace gw::monitor::battery_tuning {

inline constexpr double kBlockVolts = 12;
// Samples and seconds on the inverter before the estimate may trigger an action: the first
// reply after the switch-over may still show the step settling.
inline constexpr int kSettledSamples = 3;
inline constexpr double kSettledSeconds = 5;
// A load change this large between neighbouring samples measures the resistance.
inline constexpr double kStepDrain = 0.05;
inline constexpr double kStepSeconds = 30;
// On mains this long (and ten times the last stretch) and the battery counts as recharged.
inline constexpr double kRechargeSeconds = 1800;
// A stretch whose voltage shows this much charge gone tells the capacity even without the
// low bit; before anything is learned, this much of it in one stretch sizes the battery.
inline constexpr double kCapacityDrop = 0.4;
inline constexpr double kFitDrop = 0.15;
// Loads this far apart tell Peukert's exponent.
inline constexpr double kPeukertRatio = 1.4;
// How fast learned figures follow new stretches: at most this many earlier ones weigh in.
inline constexpr int kMemory = 4;
// A battery whose resistance has risen has lost capacity with it; before its capacity is
// learned, the generic one is cut by (new / now)^kFadeExponent.
inline constexpr double kFadeExponent = 0.6;
// A reading this close above the low bit's voltage counts as having reached it.
inline constexpr double kLowBitMargin = 0.05;
// The switch-over came somewhere between the last reading on mains and the first on the
// inverter: half that gap is counted as drained, unless the gap is too long to be a poll's.
inline constexpr double kMaxLeadIn = 30;
// The battery voltage comes in tenths of a volt unless the readings show finer steps.
inline constexpr double kReadingUnit = 0.1;
// The smallest drop in charge a stretch learns the capacity from.
inline constexpr double kMinDrop = 0.05;
// The fit of a stretch: at most this many readings, on a grid this fine, narrowed this often.
inline constexpr std::size_t kFitPoints = 300;
inline constexpr int kFitGrid = 24;
inline constexpr int kFitRounds = 4;
// The first reading on mains after a stretch shows the ohmic drop alone only while the charger
// has not yet pushed the voltage back up: taken this soon, and this far below the float reading
// before the stretch (or below this rest voltage of a full block when there was none).
inline constexpr double kJumpSeconds = 15;
inline constexpr double kFloatReturn = 0.3;
inline constexpr double kRestCeiling = 13.0;
// The surface charge a float leaves is gone after about this long under a load.
inline constexpr double kSurfaceSeconds = 60;
// Integration step in state of charge.
inline constexpr double kChargeStep = 0.005;

}  // namespace gw::monitor::battery_tuning
