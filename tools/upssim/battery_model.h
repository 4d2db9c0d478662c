// A lead-acid battery string as a small UPS sees it, on a virtual clock.
//
// The model knows only its state of charge, whether it is being drained
// (mains failed, or a self-test running the inverter) and the load; the
// voltage follows from those. Nothing here reads a clock: the owner calls
// Advance() with the simulated seconds that passed. Not thread-safe; one
// owner.
#pragma once

#include <optional>

namespace gw::upssim {

struct BatteryConfig {
    int nominal_voltage = 12;  // 12, 24, 36 or 48; two volts per cell
    // A full battery lasts runtime_seconds at runtime_load percent; other
    // loads scale the drain in proportion.
    double runtime_seconds = 600.0;
    int runtime_load = 12;
    // Empty to full on mains.
    double recharge_seconds = 3600.0;
};

class BatteryModel {
public:
    // Below this cell voltage the unit reports "battery low".
    static constexpr double kLowCellVoltage = 1.9;
    // Float voltage of a full cell on mains (13.6 V for a 12 V battery).
    static constexpr double kFullFloatCellVoltage = 2.27;
    // Even an idle inverter draws something; the drain never falls below
    // that of this load.
    static constexpr int kMinDrainLoad = 2;

    explicit BatteryModel(const BatteryConfig& config);

    void Advance(double seconds);

    void SetDischarging(bool discharging);
    bool Discharging() const { return discharging_; }
    void SetLoad(int load_percent);  // clamped to 0..100
    int Load() const { return load_; }

    int Cells() const { return cells_; }
    double StateOfCharge() const { return soc_; }  // 0..1
    void SetStateOfCharge(double soc);             // clamped; releases a pinned voltage

    // Volts per cell and for the whole string, as the unit would measure
    // them now (a pinned voltage wins).
    double CellVoltage() const;
    double Voltage() const;
    bool IsLow() const { return CellVoltage() < kLowCellVoltage; }
    bool IsEmpty() const { return soc_ <= 0.0; }

    // Makes the unit read `volts` for the whole string until released; the
    // state of charge is set to match it on the discharge curve, so the drain
    // goes on sensibly underneath.
    void PinVoltage(double volts);
    void ReleaseVoltage() { pinned_cell_voltage_.reset(); }
    bool VoltagePinned() const { return pinned_cell_voltage_.has_value(); }

    // The state of charge at which a draining cell reads `cell_volts` at the
    // present load (clamped to 0..1).
    double SocForDischargeCellVoltage(double cell_volts) const;

private:
    double DischargeCellVoltage(double soc) const;

    BatteryConfig config_;
    int cells_;
    double soc_ = 1.0;
    bool discharging_ = false;
    int load_;
    std::optional<double> pinned_cell_voltage_;
};

}  // namespace gw::upssim
