// The battery thresholds (tenths of a volt, ranges following the nominal battery voltage) and
// the charge estimate, a straight line between the empty and the full voltage.
//
// Thread rule: main thread only; everything here works on the DisplayModel.
#pragma once

#include <optional>
#include <string>

#include "monitor/display_model.h"

namespace gw::monitor {

enum class Threshold { Empty, Full, Minimum };

// Tenths of a volt. Each row sets the same range on all three up-downs and their positions.
struct NominalVoltageRow {
    int Nominal;  // volts
    int Min;
    int Max;
    int Empty;
    int Full;
    int MinVoltage;
};

// clang-format off
inline constexpr NominalVoltageRow kNominalVoltageRows[] = {
    // V   Min   Max  Empty  Full   Min voltage
    {12,   90,  160,   97,   137,   110},
    {24,  180,  300,  213,   271,   230},
    {36,  300,  420,  325,   410,   350},
    {48,  380,  580,  400,   546,   470},
    {96,  760, 1160,  800,  1110,   940},
};
// clang-format on

struct ThresholdRow {
    Threshold Which;
    UpDown DisplayModel::*Control;
    std::string DisplayModel::*Edit;
    int NominalVoltageRow::*RowPosition;
};

// In the order a nominal voltage row is applied.
inline constexpr ThresholdRow kThresholds[] = {
    {Threshold::Empty, &DisplayModel::EmptyBatteryVoltageUD, &DisplayModel::EmptyBatteryVoltageE,
     &NominalVoltageRow::Empty},
    {Threshold::Full, &DisplayModel::FullBatteryVoltageUD, &DisplayModel::FullBatteryVoltageE,
     &NominalVoltageRow::Full},
    {Threshold::Minimum, &DisplayModel::MinVoltageUD, &DisplayModel::MinVoltageE,
     &NominalVoltageRow::MinVoltage},
};

enum class ThresholdKey { PageUp, PageDown, Up, Down, Other };

struct ThresholdKeyRow {
    ThresholdKey Key;
    int Increments;
};

inline constexpr ThresholdKeyRow kThresholdKeys[] = {
    {ThresholdKey::PageUp, +10},
    {ThresholdKey::PageDown, -10},
    {ThresholdKey::Up, +1},
    {ThresholdKey::Down, -1},
};

// 137 -> "13.7".
std::string TenthsText(int tenths);

// The row for `nominal` rounded to whole volts, or none (60, 72 and 84 V have none).
const NominalVoltageRow* FindNominalRow(long double nominal);

// Shows the nominal voltage rounded; where it has a row, sets the three ranges and positions
// from it; then writes all three edits from the positions.
void ApplyNominalVoltage(DisplayModel& model, long double nominal);

// The up-down's change rule: the position is always taken; the edit follows only while the
// position lies within the range.
void SetThresholdPosition(DisplayModel& model, Threshold which, int position);

// A threshold read from the settings. One outside the current range (say, saved for a 24 V
// unit and loaded for a 12 V one) is dropped, so position and edit keep the row's value
// rather than a limit nobody chose. False when dropped.
bool LoadStoredThreshold(DisplayModel& model, Threshold which, int stored);

// A key in the threshold's edit. A step that would leave the range is ignored whole. True when
// the position moved.
bool StepThreshold(DisplayModel& model, Threshold which, ThresholdKey key);

// Sets BatteryChargeL and the gauge from `battery_voltage` (volts) and returns the charge in
// percent, unclamped; none while the full threshold is not above the empty one.
std::optional<long double> ChargeEstimate(DisplayModel& model, long double battery_voltage);

}  // namespace gw::monitor
