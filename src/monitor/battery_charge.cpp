#include "monitor/battery_charge.h"

namespace gw::monitor {

namespace {

const ThresholdRow& RowOf(Threshold which) {
    for (const auto& row : kThresholds) {
        if (row.Which == which) return row;
    }
    return kThresholds[0];
}

}  // namespace

std::string TenthsText(int tenths) { return FixedText(tenths / 10.0L, 1); }

const NominalVoltageRow* FindNominalRow(long double nominal) {
    const long double volts = RoundHalfEven(nominal);
    for (const auto& row : kNominalVoltageRows) {
        if (volts == row.Nominal) return &row;
    }
    return nullptr;
}

void ApplyNominalVoltage(DisplayModel& model, long double nominal) {
    model.NominalBatteryVoltageE = FixedText(RoundHalfEven(nominal), 0);
    if (const NominalVoltageRow* voltage_row = FindNominalRow(nominal)) {
        for (const auto& row : kThresholds) {
            UpDown& control = model.*row.Control;
            control.Min = voltage_row->Min;
            control.Max = voltage_row->Max;
            control.Position = voltage_row->*row.RowPosition;
        }
    }
    for (const auto& row : kThresholds) {
        model.*row.Edit = TenthsText((model.*row.Control).Position);
    }
}

void SetThresholdPosition(DisplayModel& model, Threshold which, int position) {
    const ThresholdRow& row = RowOf(which);
    UpDown& control = model.*row.Control;
    control.Position = position;
    if (control.InRange(position)) model.*row.Edit = TenthsText(position);
}

bool LoadStoredThreshold(DisplayModel& model, Threshold which, int stored) {
    if (!(model.*RowOf(which).Control).InRange(stored)) return false;
    SetThresholdPosition(model, which, stored);
    return true;
}

bool StepThreshold(DisplayModel& model, Threshold which, ThresholdKey key) {
    const UpDown& control = model.*RowOf(which).Control;
    for (const auto& key_row : kThresholdKeys) {
        if (key_row.Key != key) continue;
        const long long target =
            static_cast<long long>(control.Position) + key_row.Increments * control.Increment;
        if (target < control.Min || target > control.Max) return false;
        SetThresholdPosition(model, which, static_cast<int>(target));
        return true;
    }
    return false;
}

std::optional<long double> ChargeEstimate(DisplayModel& model, long double battery_voltage) {
    const int full = model.FullBatteryVoltageUD.Position;
    const int empty = model.EmptyBatteryVoltageUD.Position;
    if (full <= empty) {
        model.BatteryChargeL = "...";
        model.BatteryChargeRL.SetValue(100);
        return std::nullopt;
    }
    const long double empty_volts = empty / 10.0L;
    const long double charge = (battery_voltage - empty_volts) / (full / 10.0L - empty_volts) * 100;
    model.BatteryChargeL = FixedText(charge, 1);
    model.BatteryChargeRL.SetValue(charge);
    return charge;
}

}  // namespace gw::monitor
