// The physics of one sealed lead-acid 12 V block (six cells), as far as a
// small UPS can tell it apart: its rest voltage, its internal resistance,
// how fast a current drains it (Peukert) and how a float charger fills it.
//
// `charge` is the share of the block's usable capacity left, 0..1. Pure
// functions of a block's constants and its charge; no state, no clock.
#pragma once

#include <optional>

namespace gw::upssim::lead_acid {

constexpr int kCellsPerBlock = 6;

// A block as it has aged.
struct Block {
    double capacity_ah = 7.0;        // usable now, at the 20-hour rate
    double resistance_factor = 1.0;  // internal resistance relative to a new block
    // Volts the whole rest curve sits above (or below) the one below: makes, temperatures and
    // the time since the last charge move a full block between about 12.6 and 12.9 V.
    double rest_offset = 0.0;
    // Volts the charger floats a full block at (2.27 V per cell).
    double float_volts = 13.62;
};

// Rest (open-circuit) voltage: 12.85 V full, falling almost in a straight
// line with the charge and then faster in the last tenth, to 11.70 V empty.
double RestVoltage(double charge);
constexpr double kRestFullVolts = 12.85;
// The block's own, with its offset.
double RestVoltage(const Block& block, double charge);

// Ohms: the plates and straps plus the wiring, and a polarisation part that
// grows as the acid near the plates runs out, so a draining block sags more
// and more at the end and a heavy load finds "empty" sooner.
double Resistance(const Block& block, double charge);

// Amperes drawn from the block to deliver `watts` at its terminals, from
// P = (E - I R) I; nullopt when the block cannot deliver that much at all. `surface`: volts of
// surface charge left above the rest voltage from the last charge.
std::optional<double> DischargeCurrent(const Block& block, double charge, double watts,
                                       double surface = 0.0);

// Volts at the terminals while `amperes` flow out.
double TerminalVoltage(const Block& block, double charge, double amperes, double surface = 0.0);

// Share of the capacity drawn per second by `amperes` (Peukert's law).
double DrainRate(const Block& block, double amperes);

// On mains, from a charger that gives at most `bulk_amps`: the current it
// drives in, the share of the capacity that adds per second, and the voltage
// it holds the block at (once the surface charge has built up).
double ChargeCurrent(double bulk_amps, double charge);
double ChargeRate(const Block& block, double bulk_amps, double charge);
double ChargingVoltage(const Block& block, double charge);

}  // namespace gw::upssim::lead_acid
