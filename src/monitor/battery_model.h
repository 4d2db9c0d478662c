// What this unit's battery can still do, learned from its own stretches on the inverter (mains
// failures and self-tests alike), and the runtime that follows from it.
//
// A value type: it is fed samples (time, load, battery voltage, the status bits) and asked for
// figures; it reads no clock and does no I/O. Its knowledge (BatteryKnowledge) is what a store
// keeps between runs.
//
// The physics, per 12 V block (a 24 V string is two blocks in series):
//   drain     i = load/100 * 12 V / v          (the inverter draws constant power, so the
//                                               current rises as the voltage falls)
//   terminal  v = u(soc) - i * r               (u: rest voltage by state of charge; r: the
//                                               sag at full load, the internal resistance)
//   Peukert   d(soc)/dt = -(i / iref)^k * iref / Q   (Q: seconds a full battery lasts at the
//                                               reference drain iref if it could be emptied)
//   cut-out   v <= 10.5 V under load
// Runtime left is the time until the cut-out at the present load, integrated over the rest
// curve from the present state of charge, which comes from counting charge since the stretch
// began and from the voltage corrected for the sag. Nothing is subtracted: the margin the
// shutdown needs is the power-fail response's business.
//
// Thread rule: none of its own; its owner (the battery watch) uses it on the main thread.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

namespace gw::monitor {

// One figure and what it rests on.
struct BatteryFigure {
    double Value = 0;
    bool Learned = false;
    int Discharges = 0;  // stretches on the inverter it was learned from
};

inline constexpr int kCurvePoints = 11;  // rest voltage at 0 %, 10 % ... 100 % charge

// Everything learned about one battery; what the store writes.
struct BatteryKnowledge {
    BatteryFigure Resistance;  // volts of sag per block at full load (drain 1)
    BatteryFigure Capacity;    // seconds at the reference drain, full to empty at rest
    double CapacityDrain = 0;  // the mean drain of the stretches it was learned from
    BatteryFigure Peukert;     // exponent
    std::array<double, kCurvePoints> Curve{};  // volts per block; all 0: the generic curve
    bool CurveLearned = false;
    // The first figures ever learned: the battery "when new". 0: none.
    double FirstResistance = 0;
    double FirstCapacity = 0;
    double LastCapacity = 0;  // the latest stretch's alone, before blending; 0: none
    // The ohmic part of the sag alone (same units as Resistance), from the jump back up when a
    // stretch's load went and from load steps: unlike the step from the float voltage on mains,
    // it holds no charger and no surface charge, so the health verdict compares like with like.
    // Base: the lowest on record (the battery when new, or since it was replaced); Last: the
    // latest stretch's. Each doubt is the readings' step in the same units: the true value lies
    // within it.
    BatteryFigure Ohmic;  // Discharges: the stretches it was measured in
    double BaseOhmic = 0;
    double BaseOhmicDoubt = 0;
    double LastOhmic = 0;
    double LastOhmicDoubt = 0;
    int Discharges = 0;        // stretches learned from
    double LastTest = 0;       // seconds since the epoch of the last self-test's end; 0 never
    double LastDischarge = 0;  // ... of the last stretch on the inverter
    std::string Verdict;       // "Good", "Weak", "Replace", "Unknown"; empty: not judged yet
    std::string Evidence;
};

// The generic lead-acid block a small unit carries, before anything is learned. Cautious: a
// healthy battery lasts at least this long, so the estimate rather errs short.
struct GenericBattery {
    static constexpr double kCutOutVolts = 10.5;  // per block, under load
    static constexpr double kLowBitVolts = 11.0;
    // Sag per block at full load from a full battery when new: a 7 Ah block behind a 650 VA
    // unit has about 30 mOhm with its wiring and draws near 40 A there.
    static constexpr double kResistance = 1.45;
    // Part of the resistance at full charge that is polarisation, growing as 1 / charge (the
    // sag deepens at the end of a discharge, more so under a heavy load).
    static constexpr double kPolarisation = 0.2;
    // Seconds at kReferenceDrain from full to empty: a little under what such a block gives.
    static constexpr double kCapacity = 780;
    static constexpr double kPeukert = 1.25;
    static constexpr double kReferenceDrain = 0.3;
    // The inverter's own draw, in percent of the rating, on top of the load.
    static constexpr double kIdleLoad = 1.5;
    // Rest voltage per block by charge, 0 % to 100 %: nearly straight, falling fast in the
    // last tenth.
    static constexpr std::array<double, kCurvePoints> kCurve = {
        11.70, 11.95, 12.10, 12.21, 12.31, 12.40, 12.49, 12.58, 12.67, 12.76, 12.85};
};

// What a battery behind a UPS can be, in the model's units: a stored figure outside these is
// damage, not knowledge, and nothing learned goes beyond them. Wide on purpose: a worn-out block,
// a bank of big external batteries, a lithium string and a voltage reading a tenth off all fit.
struct BatteryLimits {
    // Sag per block at full load: a bank of large blocks, and one that cannot carry the load.
    static constexpr double kMinResistance = 0.01;
    static constexpr double kMaxResistance = 10;
    // Seconds at the reference drain: a battery all but dead, and a week.
    static constexpr double kMinCapacity = 10;
    static constexpr double kMaxCapacity = 7 * 86400.0;
    static constexpr double kMinPeukert = 1.0;
    static constexpr double kMaxPeukert = 1.6;
    // Drain per block: idle on a full string, and far past the rating on an empty one.
    static constexpr double kMinDrain = 0.005;
    static constexpr double kMaxDrain = 5;
    // Rest volts per 12 V block, empty to full.
    static constexpr double kMinRestVolts = 10;
    static constexpr double kMaxRestVolts = 15;
    static constexpr int kMaxDischarges = 1'000'000;
    // Seconds since the epoch of a stored date: none later than 2100.
    static constexpr double kMaxDate = 4'102'444'800;
    // A runtime served, whatever the figures: more than a week only reads as "a week".
    static constexpr double kMaxRuntime = 7 * 86400.0;
};

struct BatterySample {
    double Time = 0;          // seconds on one steady scale (the caller's clock)
    double WallTime = 0;      // seconds since the epoch, for what the store keeps
    double LoadPercent = 0;   // of the unit's rating
    double Volts = 0;         // the whole battery
    bool OnInverter = false;  // mains failed, or a test runs the inverter
    bool Test = false;        // the test bit
    bool Low = false;         // the battery-low bit
};

// What a fed sample ended.
struct StretchEnd {
    bool Ended = false;    // a stretch on the inverter ended with this sample
    bool WasTest = false;  // it was a self-test (the test bit showed during it)
    bool Learned = false;  // knowledge changed: save it, judge the battery again
};

class BatteryModel {
public:
    // `nominal_volts`: the battery's nominal voltage (12, 24, ...).
    explicit BatteryModel(double nominal_volts, BatteryKnowledge knowledge = {});

    StretchEnd Feed(const BatterySample& sample);

    // Seconds until the cut-out at the present load: while on the inverter, from the present
    // charge; on mains, from a full battery. None until there is a sample with a voltage.
    std::optional<double> Runtime() const;
    // Whether the runtime rests on learned capacity (else on the generic battery).
    bool RuntimeLearned() const { return knowledge_.Capacity.Learned; }
    // On the inverter, the estimate rests on enough samples for an action to be taken on it.
    bool Settled() const;
    bool OnInverter() const { return stretch_.Active; }
    double ChargeFraction() const;  // the present state of charge as the model sees it

    // The figures in force now (learned, or generic and what this stretch showed).
    BatteryFigure Resistance() const;
    BatteryFigure Capacity() const;
    BatteryFigure Peukert() const;
    // The sag in volts of the whole battery at `load_percent`, by the resistance in force.
    double SagAt(double load_percent) const;
    double SagAt(double load_percent, double resistance) const;
    // Seconds a full battery lasts at `load_percent` with the figures in force.
    double FullRuntime(double load_percent) const;

    const BatteryKnowledge& Knowledge() const { return knowledge_; }
    BatteryKnowledge& Knowledge() { return knowledge_; }
    double Blocks() const { return blocks_; }

private:
    struct Stretch {
        bool Active = false;
        bool Test = false;
        int Samples = 0;
        double StartTime = 0;
        double LastTime = 0;
        double StartCharge = 1;  // state of charge at the first sample
        bool Recharged = false;  // it began from a battery taken as full
        double StartVolts = 0;   // the highest of the first samples, per block
        double Drained = 0;      // reference-drain seconds counted since then
        double LastDrain = 0;    // i at the previous sample
        double LastVolts = 0;    // per block
        double LoadSum = 0;      // for the mean drain
        // Resistance seen this stretch: the step from the rest voltage at its start, and the
        // steps where the load changed.
        double StartResistance = 0;
        double StepResistanceSum = 0;
        double StepDoubtSum = 0;
        int Steps = 0;
        double FloatVolts = 0;   // the last reading on mains before it, per block; 0 none
        double Charge = 1;       // state of charge now, by the count
        double VoltsCharge = 1;  // state of charge from the voltage alone
        // Where the reading last stepped: the charge it showed then, and the count then.
        double AnchorCharge = 1;
        double AnchorDrained = 0;
        double Unit = 0;  // the finest step of the readings, volts per block
    };
    // One sample of the stretch, for what is learned at its end.
    struct Point {
        double Seconds;  // since the start
        double Drained;  // reference-drain seconds since the start
        double Volts;    // per block
        double Drain;
        bool Low;
    };

    double Rest(double charge) const;  // u(soc), volts per block
    double Drain(double load_percent, double block_volts) const;
    double DrainRate(double drain) const;  // reference-drain seconds per second
    // The resistance at `charge`, from the one at full charge.
    double ResistanceAt(double charge, double resistance) const;
    // The state of charge a reading under `drain` shows.
    double ChargeFromVolts(double block_volts, double drain) const;
    // Terminal volts per block at `charge` for `load_percent`, or 0 past the cut-out.
    double Terminal(double charge, double load_percent, double resistance) const;
    double RuntimeFrom(double charge, double load_percent) const;
    double CapacityInForce() const;

    void Begin(const BatterySample& sample, double block_volts);
    void Continue(const BatterySample& sample, double block_volts);
    void TrackReading(double block_volts, double drain);
    StretchEnd End(const BatterySample& sample);
    // What a stretch that tells the capacity took from the battery.
    struct Fit {
        double Drained;     // reference-drain seconds over the stretch
        double Drop;        // state of charge it took
        double Resistance;  // at full charge, that best explains its readings
    };
    std::optional<Fit> FitStretch() const;
    bool LearnCapacity(const Fit& fit);
    // The ohmic resistance the jump back up to `after`, the first reading back on mains, shows,
    // and its doubt; none when `after` cannot tell it.
    struct Reading {
        double Value;
        double Doubt;
    };
    std::optional<Reading> JumpBack(const BatterySample& after) const;
    // The ohmic resistance this stretch showed, from its load steps and the jump back up to
    // `after`; false when it showed none.
    bool LearnOhmic(const BatterySample& after);
    double CountedCharge() const;  // the state of charge by the count alone

    double blocks_;
    BatteryKnowledge knowledge_;
    Stretch stretch_;
    double load_ = 0;         // latest load, percent
    double block_volts_ = 0;  // latest voltage per block; 0 none yet
    double mains_volts_ = 0;  // the latest reading on mains, per block; 0 none yet
    std::vector<Point> samples_;
    double mains_since_ = -1;     // when the present stretch on mains began; -1 unknown
    double last_time_ = -1;       // the previous sample's time; -1 none yet
    bool history_known_ = false;  // a stretch ended in this run
    double last_stretch_seconds_ = 0;
};

}  // namespace gw::monitor
