// The battery string of a small UPS with its inverter and charger, on a
// virtual clock: 12 V lead-acid blocks in series (lead_acid.h), drained
// through the inverter while it runs (mains failed, or a self-test) and
// charged at the float voltage on mains.
//
// It knows the truth a real unit never tells: how long the string would
// still hold the present load. Nothing here reads a clock: the owner calls
// Advance() with the simulated seconds that passed. Not thread-safe; one
// owner.
#pragma once

#include <optional>

#include "lead_acid.h"

namespace gw::upssim {

// What age has done to a battery, relative to new.
struct BatteryAge {
    double capacity_factor = 1.0;    // share of the capacity left
    double resistance_factor = 1.0;  // internal resistance, times new
};
constexpr BatteryAge kNewBattery{1.0, 1.0};
constexpr BatteryAge kHalfAgedBattery{0.75, 2.0};
constexpr BatteryAge kAgedBattery{0.5, 3.0};

struct BatteryConfig {
    int nominal_voltage = 12;  // 12, 24, 36 or 48: that many volts of 12 V blocks
    double capacity_ah = 7.0;  // when new, at the 20-hour rate
    BatteryAge age;
    double rated_va = 660.0;         // the unit's rating; the load is a percentage of it
    double float_volts = 13.62;      // per 12 V block, what the charger holds a full one at
    double rest_full_volts = 12.85;  // per 12 V block, a full one at rest
};

class BatteryModel {
public:
    // What the string is doing: feeding the inverter, being charged on
    // mains, or neither (the output switched off with the mains out).
    enum class Flow { Discharge, Charge, Rest };

    // A desktop load draws power at about this factor of its volt-amperes.
    static constexpr double kPowerFactor = 0.6;
    // Battery watts = output watts / efficiency + what the idle inverter
    // itself takes.
    static constexpr double kInverterEfficiency = 0.85;
    static constexpr double kInverterIdleWatts = 6.0;
    // Per 12 V block, under load: the unit raises its battery-low bit below
    // kLowBlockVolts and cuts its output below kCutoffBlockVolts.
    static constexpr double kLowBlockVolts = 11.0;
    static constexpr double kCutoffBlockVolts = 10.5;
    // The charger's bulk current, as a share of the new capacity per hour.
    static constexpr double kChargerShareOfCapacity = 0.15;
    // Runtimes are not followed beyond this.
    static constexpr double kMaxRuntimeSeconds = 7 * 86400.0;
    // The charge the charger leaves on the plates' surface, above the rest voltage: most of it
    // goes within a second of a load, the rest over a minute or so; on mains it builds back
    // over minutes, since the charger gives only a little current.
    static constexpr double kFastSurfaceShare = 0.8;
    static constexpr double kFastSurfaceSeconds = 0.5;
    static constexpr double kSlowSurfaceSeconds = 60.0;
    static constexpr double kSurfaceBuildSeconds = 90.0;

    explicit BatteryModel(const BatteryConfig& config);

    void Advance(double seconds);

    void SetFlow(Flow flow) { flow_ = flow; }
    Flow GetFlow() const { return flow_; }
    bool Discharging() const { return flow_ == Flow::Discharge; }
    void SetLoad(int load_percent);  // clamped to 0..100
    int Load() const { return load_; }

    int Cells() const { return blocks_ * lead_acid::kCellsPerBlock; }
    int Blocks() const { return blocks_; }
    double StateOfCharge() const { return charge_; }  // 0..1 of the capacity left with age
    void SetStateOfCharge(double soc);                // clamped; releases a pinned voltage

    // Volts of surface charge per block above the rest voltage now.
    double Surface() const { return surface_fast_ + surface_slow_; }

    // Volts per cell and for the whole string, as the unit would measure
    // them now (a pinned voltage wins).
    double CellVoltage() const;
    double Voltage() const;
    bool IsLow() const { return Voltage() / blocks_ < kLowBlockVolts; }
    // Feeding the inverter, the string can no longer hold the load above the
    // cut-out voltage: the unit drops its output.
    bool Exhausted() const;

    // Amperes out of the string while it feeds the inverter (0 otherwise, or
    // when it cannot deliver).
    double Current() const;
    // Seconds the string would hold the present load from its present
    // charge, were the inverter running from now on. The truth a benchmark
    // measures an estimate against.
    double RuntimeLeft() const;

    // Makes the unit read `volts` for the whole string until released; the
    // charge is set to match it on the discharge curve at the present load,
    // so the drain goes on sensibly underneath.
    void PinVoltage(double volts);
    void ReleaseVoltage() { pinned_cell_voltage_.reset(); }
    bool VoltagePinned() const { return pinned_cell_voltage_.has_value(); }

    // The charge at which a draining cell reads `cell_volts` at the present
    // load (clamped to 0..1).
    double SocForDischargeCellVoltage(double cell_volts) const;

    // The new capacity (Ah) with which a full, new string of `config`'s
    // voltage and rating holds `load_percent` for `seconds`.
    static double CapacityForRuntime(const BatteryConfig& config, int load_percent, double seconds);

private:
    double BlockWatts() const;
    std::optional<double> BlockCurrent() const;
    double BlockVoltage() const;
    void Step(double seconds);
    void Relax(double seconds);

    lead_acid::Block block_;
    double charger_amps_;
    double rated_va_;
    int blocks_;
    double charge_ = 1.0;
    Flow flow_ = Flow::Charge;
    int load_ = 0;
    // Surface charge per block: taken as built up at the start, on float.
    double surface_fast_ = 0.0;
    double surface_slow_ = 0.0;
    std::optional<double> pinned_cell_voltage_;
};

}  // namespace gw::upssim
