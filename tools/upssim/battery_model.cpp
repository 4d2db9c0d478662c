#include "battery_model.h"

#include <algorithm>

namespace gw::upssim {

namespace {

// Resting voltage of a draining cell: 1.75 V empty, 2.20 V full, pulled
// down a little by the load current.
constexpr double kEmptyCellVoltage = 1.75;
constexpr double kCellVoltageSpan = 0.45;
constexpr double kLoadSag = 0.08;  // volts per cell at 100 % load
constexpr double kMinCellVoltage = 1.55;
constexpr double kMaxDischargeCellVoltage = 2.25;

// On mains the charger lifts an empty cell to 2.15 V and holds a full one at
// the float voltage.
constexpr double kChargeCellVoltageEmpty = 2.15;

}  // namespace

BatteryModel::BatteryModel(const BatteryConfig& config)
    : config_(config),
      cells_(std::max(1, config.nominal_voltage / 2)),
      load_(std::clamp(config.runtime_load, 0, 100)) {
    config_.runtime_seconds = std::max(1.0, config_.runtime_seconds);
    config_.runtime_load = std::clamp(config_.runtime_load, 1, 100);
    config_.recharge_seconds = std::max(1.0, config_.recharge_seconds);
}

void BatteryModel::Advance(double seconds) {
    if (seconds <= 0.0) {
        return;
    }
    if (discharging_) {
        const double relative_load =
            static_cast<double>(std::max(load_, kMinDrainLoad)) / config_.runtime_load;
        soc_ -= seconds * relative_load / config_.runtime_seconds;
    } else {
        soc_ += seconds / config_.recharge_seconds;
    }
    soc_ = std::clamp(soc_, 0.0, 1.0);
}

void BatteryModel::SetDischarging(bool discharging) { discharging_ = discharging; }

void BatteryModel::SetLoad(int load_percent) { load_ = std::clamp(load_percent, 0, 100); }

void BatteryModel::SetStateOfCharge(double soc) {
    soc_ = std::clamp(soc, 0.0, 1.0);
    pinned_cell_voltage_.reset();
}

double BatteryModel::DischargeCellVoltage(double soc) const {
    const double volts = kEmptyCellVoltage + kCellVoltageSpan * soc - kLoadSag * load_ / 100.0;
    return std::clamp(volts, kMinCellVoltage, kMaxDischargeCellVoltage);
}

double BatteryModel::CellVoltage() const {
    if (pinned_cell_voltage_) {
        return *pinned_cell_voltage_;
    }
    if (discharging_) {
        return DischargeCellVoltage(soc_);
    }
    return kChargeCellVoltageEmpty + (kFullFloatCellVoltage - kChargeCellVoltageEmpty) * soc_;
}

double BatteryModel::Voltage() const { return CellVoltage() * cells_; }

double BatteryModel::SocForDischargeCellVoltage(double cell_volts) const {
    const double soc =
        (cell_volts - kEmptyCellVoltage + kLoadSag * load_ / 100.0) / kCellVoltageSpan;
    return std::clamp(soc, 0.0, 1.0);
}

void BatteryModel::PinVoltage(double volts) {
    const double cell_volts = std::max(0.0, volts) / cells_;
    soc_ = SocForDischargeCellVoltage(cell_volts);
    pinned_cell_voltage_ = cell_volts;
}

}  // namespace gw::upssim
