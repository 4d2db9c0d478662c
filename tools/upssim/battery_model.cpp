#include "battery_model.h"

#include <algorithm>
#include <cmath>

namespace gw::upssim {

namespace {

// Advance() moves in steps no longer than this, so the cut-out falls within
// a second of where it should.
constexpr double kMaxStepSeconds = 1.0;

// RuntimeLeft() steps by a small share of the time a linear drain would
// take, so short runtimes are found as finely as the live model runs and
// long ones without a million steps.
constexpr double kRuntimeStepShare = 1.0 / 1000.0;
constexpr double kMinRuntimeStep = 0.2;
constexpr double kMaxRuntimeStep = 30.0;

// Bisection limits for CapacityForRuntime().
constexpr double kMinCapacityAh = 0.01;
constexpr double kMaxCapacityAh = 10000.0;
constexpr int kBisections = 60;

}  // namespace

BatteryModel::BatteryModel(const BatteryConfig& config)
    : block_{std::max(0.0, config.capacity_ah * config.age.capacity_factor),
             std::max(0.0, config.age.resistance_factor),
             config.rest_full_volts - lead_acid::kRestFullVolts, config.float_volts},
      charger_amps_(kChargerShareOfCapacity * std::max(0.0, config.capacity_ah)),
      rated_va_(std::max(0.0, config.rated_va)),
      blocks_(std::max(1, config.nominal_voltage / 12)) {
    const double surface = std::max(0.0, block_.float_volts - lead_acid::RestVoltage(block_, 1.0));
    surface_fast_ = kFastSurfaceShare * surface;
    surface_slow_ = surface - surface_fast_;
}

void BatteryModel::SetLoad(int load_percent) { load_ = std::clamp(load_percent, 0, 100); }

void BatteryModel::SetStateOfCharge(double soc) {
    charge_ = std::clamp(soc, 0.0, 1.0);
    pinned_cell_voltage_.reset();
    if (flow_ == Flow::Charge) {
        // Set on mains: as if it had floated there a while.
        const double surface = std::max(0.0, lead_acid::ChargingVoltage(block_, charge_) -
                                                 lead_acid::RestVoltage(block_, charge_));
        surface_fast_ = kFastSurfaceShare * surface;
        surface_slow_ = surface - surface_fast_;
    } else {
        // Set on the battery: a charge reached by draining, with no surface charge left, or the
        // voltage set would sink by the surface once it fades (below the cut-off, for "low").
        surface_fast_ = surface_slow_ = 0.0;
    }
}

double BatteryModel::BlockWatts() const {
    // Output watts = load share x rating x power factor; the inverter loses
    // some on the way, and the blocks in series share the rest evenly.
    const double output = load_ / 100.0 * rated_va_ * kPowerFactor;
    return (output / kInverterEfficiency + kInverterIdleWatts) / blocks_;
}

std::optional<double> BatteryModel::BlockCurrent() const {
    return lead_acid::DischargeCurrent(block_, charge_, BlockWatts(), Surface());
}

double BatteryModel::BlockVoltage() const {
    switch (flow_) {
        case Flow::Discharge:
            if (const auto amperes = BlockCurrent()) {
                return lead_acid::TerminalVoltage(block_, charge_, *amperes, Surface());
            }
            // Asked for more than it can give, a block collapses to half its
            // rest voltage (the most power it can deliver).
            return lead_acid::RestVoltage(block_, charge_) / 2.0;
        case Flow::Charge:
            // The charger holds the voltage down to its own while the surface builds up.
            return std::min(lead_acid::ChargingVoltage(block_, charge_),
                            lead_acid::RestVoltage(block_, charge_) + Surface());
        case Flow::Rest:
            break;
    }
    return lead_acid::RestVoltage(block_, charge_) + Surface();
}

double BatteryModel::CellVoltage() const {
    if (pinned_cell_voltage_) {
        return *pinned_cell_voltage_;
    }
    return BlockVoltage() / lead_acid::kCellsPerBlock;
}

double BatteryModel::Voltage() const { return CellVoltage() * Cells(); }

double BatteryModel::Current() const {
    if (flow_ != Flow::Discharge) {
        return 0.0;
    }
    return BlockCurrent().value_or(0.0);
}

bool BatteryModel::Exhausted() const {
    if (flow_ != Flow::Discharge) {
        return false;
    }
    if (charge_ <= 0.0) {
        return true;
    }
    const auto amperes = BlockCurrent();
    return !amperes ||
           lead_acid::TerminalVoltage(block_, charge_, *amperes, Surface()) < kCutoffBlockVolts;
}

void BatteryModel::Step(double seconds) {
    switch (flow_) {
        case Flow::Discharge:
            if (const auto amperes = BlockCurrent()) {
                charge_ -= lead_acid::DrainRate(block_, *amperes) * seconds;
            }
            break;
        case Flow::Charge:
            charge_ += lead_acid::ChargeRate(block_, charger_amps_, charge_) * seconds;
            break;
        case Flow::Rest:
            break;
    }
    charge_ = std::clamp(charge_, 0.0, 1.0);
    Relax(seconds);
}

void BatteryModel::Relax(double seconds) {
    const auto toward = [seconds](double& value, double target, double time_constant) {
        value = target + (value - target) * std::exp(-seconds / time_constant);
    };
    if (flow_ == Flow::Charge) {
        // The charger's voltage over the rest voltage is what builds up on the surface.
        const double target = std::max(0.0, lead_acid::ChargingVoltage(block_, charge_) -
                                                lead_acid::RestVoltage(block_, charge_));
        toward(surface_fast_, kFastSurfaceShare * target, kSurfaceBuildSeconds);
        toward(surface_slow_, (1 - kFastSurfaceShare) * target, kSurfaceBuildSeconds);
        return;
    }
    // Under a load the surface charge is drawn first; standing, it soaks in slowly.
    toward(surface_fast_, 0.0,
           flow_ == Flow::Discharge ? kFastSurfaceSeconds : kSlowSurfaceSeconds);
    toward(surface_slow_, 0.0, kSlowSurfaceSeconds);
}

void BatteryModel::Advance(double seconds) {
    while (seconds > 0.0) {
        const double step = std::min(seconds, kMaxStepSeconds);
        Step(step);
        seconds -= step;
    }
}

double BatteryModel::RuntimeLeft() const {
    BatteryModel future = *this;
    future.pinned_cell_voltage_.reset();
    future.flow_ = Flow::Discharge;
    double seconds = 0.0;
    while (!future.Exhausted() && seconds < kMaxRuntimeSeconds) {
        const double rate = lead_acid::DrainRate(future.block_, future.BlockCurrent().value_or(0));
        const double linear = rate > 0.0 ? future.charge_ / rate : kMaxRuntimeSeconds;
        const double step =
            std::clamp(linear * kRuntimeStepShare, kMinRuntimeStep, kMaxRuntimeStep);
        future.Step(step);
        seconds += step;
    }
    return std::min(seconds, kMaxRuntimeSeconds);
}

double BatteryModel::SocForDischargeCellVoltage(double cell_volts) const {
    BatteryModel probe = *this;
    probe.pinned_cell_voltage_.reset();
    probe.flow_ = Flow::Discharge;
    probe.surface_fast_ = probe.surface_slow_ = 0.0;
    const double target = cell_volts * lead_acid::kCellsPerBlock;
    // The voltage under a steady load rises with the charge: bisect.
    double low = 0.0;
    double high = 1.0;
    for (int i = 0; i < kBisections; ++i) {
        probe.charge_ = (low + high) / 2.0;
        (probe.BlockVoltage() < target ? low : high) = probe.charge_;
    }
    return std::clamp((low + high) / 2.0, 0.0, 1.0);
}

void BatteryModel::PinVoltage(double volts) {
    // A pinned reading stands for the whole voltage: no surface charge on top to fade.
    surface_fast_ = surface_slow_ = 0.0;
    const double cell_volts = std::max(0.0, volts) / Cells();
    charge_ = SocForDischargeCellVoltage(cell_volts);
    pinned_cell_voltage_ = cell_volts;
}

double BatteryModel::CapacityForRuntime(const BatteryConfig& config, int load_percent,
                                        double seconds) {
    // Runtime grows with capacity: bisect on a log scale.
    double low = std::log(kMinCapacityAh);
    double high = std::log(kMaxCapacityAh);
    for (int i = 0; i < kBisections; ++i) {
        BatteryConfig trial = config;
        trial.age = kNewBattery;
        trial.capacity_ah = std::exp((low + high) / 2.0);
        BatteryModel battery(trial);
        battery.SetLoad(load_percent);
        (battery.RuntimeLeft() < seconds ? low : high) = std::log(trial.capacity_ah);
    }
    return std::exp((low + high) / 2.0);
}

}  // namespace gw::upssim
