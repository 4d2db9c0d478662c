#include "lead_acid.h"

#include <algorithm>
#include <cmath>

namespace gw::upssim::lead_acid {

namespace {

// Rest voltage E(c) = E0 + a c - b exp(-c / s): the straight part is the acid
// thinning as it is used, the exponential the knee of the last tenth.
constexpr double kRestBase = 11.95;
constexpr double kRestSlope = 0.90;
constexpr double kKneeDepth = 0.25;
constexpr double kKneeWidth = 0.10;

// A new 12 V 7 Ah block has 20-25 mOhm; the straps, fuse and cables of the
// unit add some more. Polarisation K / c (Shepherd's model) takes over at
// the end of a discharge.
constexpr double kBlockOhms = 0.025;
constexpr double kWiringOhms = 0.005;
constexpr double kPolarisationOhms = 0.008;
// Keeps K / c finite; a block this empty is past any cut-out anyway.
constexpr double kMinCharge = 1e-3;

// Capacity is rated over 20 hours; faster currents get less of it:
// drain = I (I / I20)^(k - 1). Below the 20-hour current the rating holds.
constexpr double kRatedHours = 20.0;
constexpr double kPeukertExponent = 1.25;

// The charger holds its current (bulk) until the block reaches the float
// voltage at kAbsorbCharge, then the current tapers with what is missing,
// never below a trickle; some of the charge is lost to gassing.
constexpr double kAbsorbCharge = 0.85;
constexpr double kTrickleShare = 0.02;
constexpr double kChargeEfficiency = 0.9;

constexpr double kSecondsPerHour = 3600.0;

}  // namespace

double RestVoltage(double charge) {
    const double c = std::clamp(charge, 0.0, 1.0);
    return kRestBase + kRestSlope * c - kKneeDepth * std::exp(-c / kKneeWidth);
}

double RestVoltage(const Block& block, double charge) {
    return RestVoltage(charge) + block.rest_offset;
}

double Resistance(const Block& block, double charge) {
    const double c = std::max(charge, kMinCharge);
    return block.resistance_factor * (kBlockOhms + kWiringOhms + kPolarisationOhms / c);
}

std::optional<double> DischargeCurrent(const Block& block, double charge, double watts,
                                       double surface) {
    if (watts <= 0.0) {
        return 0.0;
    }
    // P = (E - I R) I has a real root only while E^2 >= 4 R P; the smaller
    // root is the working point.
    const double e = RestVoltage(block, charge) + surface;
    const double r = Resistance(block, charge);
    const double discriminant = e * e - 4.0 * r * watts;
    if (discriminant < 0.0) {
        return std::nullopt;
    }
    return (e - std::sqrt(discriminant)) / (2.0 * r);
}

double TerminalVoltage(const Block& block, double charge, double amperes, double surface) {
    return RestVoltage(block, charge) + surface - amperes * Resistance(block, charge);
}

double DrainRate(const Block& block, double amperes) {
    if (amperes <= 0.0 || block.capacity_ah <= 0.0) {
        return 0.0;
    }
    const double rated_current = block.capacity_ah / kRatedHours;
    const double peukert = std::pow(std::max(amperes / rated_current, 1.0), kPeukertExponent - 1);
    return amperes * peukert / (block.capacity_ah * kSecondsPerHour);
}

double ChargeCurrent(double bulk_amps, double charge) {
    if (charge < kAbsorbCharge) {
        return bulk_amps;
    }
    const double missing = (1.0 - charge) / (1.0 - kAbsorbCharge);
    return bulk_amps * std::max(missing, kTrickleShare);
}

double ChargeRate(const Block& block, double bulk_amps, double charge) {
    if (charge >= 1.0 || block.capacity_ah <= 0.0) {
        return 0.0;
    }
    return ChargeCurrent(bulk_amps, charge) * kChargeEfficiency /
           (block.capacity_ah * kSecondsPerHour);
}

double ChargingVoltage(const Block& block, double charge) {
    // In bulk the voltage climbs with the rest voltage plus the charging
    // overvoltage, meeting the float voltage when the taper starts.
    if (charge >= kAbsorbCharge) {
        return block.float_volts;
    }
    return RestVoltage(block, charge) + (block.float_volts - RestVoltage(block, kAbsorbCharge));
}

}  // namespace gw::upssim::lead_acid
