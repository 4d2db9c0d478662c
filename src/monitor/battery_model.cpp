#include "monitor/battery_model.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace gw::monitor {

namespace {

using G = GenericBattery;
using L = BatteryLimits;

constexpr double kBlockVolts = 12;
// Samples and seconds on the inverter before the estimate may trigger an action: the first
// reply after the switch-over may still show the step settling.
constexpr int kSettledSamples = 3;
constexpr double kSettledSeconds = 5;
// A load change this large between neighbouring samples measures the resistance.
constexpr double kStepDrain = 0.05;
constexpr double kStepSeconds = 30;
// On mains this long (and ten times the last stretch) and the battery counts as recharged.
constexpr double kRechargeSeconds = 1800;
// A stretch whose voltage shows this much charge gone tells the capacity even without the
// low bit; before anything is learned, this much of it in one stretch sizes the battery.
constexpr double kCapacityDrop = 0.4;
constexpr double kFitDrop = 0.15;
// Loads this far apart tell Peukert's exponent.
constexpr double kPeukertRatio = 1.4;
// How fast learned figures follow new stretches: at most this many earlier ones weigh in.
constexpr int kMemory = 4;
// A battery whose resistance has risen has lost capacity with it; before its capacity is
// learned, the generic one is cut by (new / now)^kFadeExponent.
constexpr double kFadeExponent = 0.6;
// A reading this close above the low bit's voltage counts as having reached it.
constexpr double kLowBitMargin = 0.05;
// The switch-over came somewhere between the last reading on mains and the first on the
// inverter: half that gap is counted as drained, unless the gap is too long to be a poll's.
constexpr double kMaxLeadIn = 30;
// The battery voltage comes in tenths of a volt unless the readings show finer steps.
constexpr double kReadingUnit = 0.1;
// The smallest drop in charge a stretch learns the capacity from.
constexpr double kMinDrop = 0.05;
// The fit of a stretch: at most this many readings, on a grid this fine, narrowed this often.
constexpr std::size_t kFitPoints = 300;
constexpr int kFitGrid = 24;
constexpr int kFitRounds = 4;
// The first reading on mains after a stretch shows the ohmic drop alone only while the charger
// has not yet pushed the voltage back up: taken this soon, and this far below the float reading
// before the stretch (or below this rest voltage of a full block when there was none).
constexpr double kJumpSeconds = 10;
constexpr double kFloatReturn = 0.3;
constexpr double kRestCeiling = 13.0;
// The surface charge a float leaves is gone after about this long under a load.
constexpr double kSurfaceSeconds = 60;
// Integration step in state of charge.
constexpr double kChargeStep = 0.005;

double Blend(const BatteryFigure& figure, double value) {
    if (!figure.Learned) return value;
    const int weight = std::min(figure.Discharges, kMemory);
    return (figure.Value * weight + value) / (weight + 1);
}

void Learn(BatteryFigure& figure, double value) {
    figure.Value = Blend(figure, value);
    figure.Learned = true;
    ++figure.Discharges;
}

}  // namespace

BatteryModel::BatteryModel(double nominal_volts, BatteryKnowledge knowledge)
    : blocks_(std::max(1.0, std::round(nominal_volts / kBlockVolts))),
      knowledge_(std::move(knowledge)) {}

double BatteryModel::Rest(double charge) const {
    const auto& curve = knowledge_.CurveLearned ? knowledge_.Curve : G::kCurve;
    const double x = std::clamp(charge, 0.0, 1.0) * (kCurvePoints - 1);
    const int j = std::min(static_cast<int>(x), kCurvePoints - 2);
    return curve[j] + (curve[j + 1] - curve[j]) * (x - j);
}

double BatteryModel::Drain(double load_percent, double block_volts) const {
    if (block_volts <= 0) return 0;
    return (std::max(load_percent, 0.0) + G::kIdleLoad) / 100 * kBlockVolts / block_volts;
}

double BatteryModel::ResistanceAt(double charge, double resistance) const {
    return resistance * (1 - G::kPolarisation + G::kPolarisation / std::max(charge, 0.02));
}

double BatteryModel::ChargeFromVolts(double block_volts, double drain) const {
    // Terminal volts rise with the charge (the rest voltage up, the polarisation down), so
    // halving the interval finds the one charge that reads `block_volts` under `drain`.
    const double resistance = Resistance().Value;
    const auto terminal = [&](double c) { return Rest(c) - drain * ResistanceAt(c, resistance); };
    if (terminal(1) <= block_volts) return 1;
    double low = 0;
    double high = 1;
    for (int pass = 0; pass < 30; ++pass) {
        const double mid = (low + high) / 2;
        (terminal(mid) < block_volts ? low : high) = mid;
    }
    return (low + high) / 2;
}

double BatteryModel::DrainRate(double drain) const {
    return std::pow(drain / G::kReferenceDrain, Peukert().Value);
}

double BatteryModel::Terminal(double charge, double load_percent, double resistance) const {
    // v = u - i r with i = p * 12 / v:  v^2 - u v + 12 p r = 0, the upper root.
    const double rest = Rest(charge);
    const double power = (std::max(load_percent, 0.0) + G::kIdleLoad) / 100 * kBlockVolts;
    const double discriminant = rest * rest - 4 * power * ResistanceAt(charge, resistance);
    if (discriminant < 0) return 0;
    const double volts = (rest + std::sqrt(discriminant)) / 2;
    return volts > G::kCutOutVolts ? volts : 0;
}

double BatteryModel::RuntimeFrom(double charge, double load_percent) const {
    const double capacity = CapacityInForce();
    const double resistance = Resistance().Value;
    double seconds = 0;
    for (double c = charge; c > 0; c -= kChargeStep) {
        const double step = std::min(kChargeStep, c);
        const double volts = Terminal(c - step / 2, load_percent, resistance);
        if (volts <= 0) break;
        seconds += step * capacity / DrainRate(Drain(load_percent, volts));
    }
    return std::min(seconds, L::kMaxRuntime);
}

BatteryFigure BatteryModel::Resistance() const {
    if (knowledge_.Resistance.Learned) return knowledge_.Resistance;
    if (stretch_.Active && stretch_.Steps > 0) {
        return {stretch_.StepResistanceSum / stretch_.Steps, false, 0};
    }
    if (stretch_.Active && stretch_.StartResistance > 0) {
        return {stretch_.StartResistance, false, 0};
    }
    return {G::kResistance, false, 0};
}

double BatteryModel::CapacityInForce() const {
    if (knowledge_.Capacity.Learned) return knowledge_.Capacity.Value;
    double capacity = G::kCapacity;
    const double resistance = Resistance().Value;
    if (resistance > G::kResistance) {
        capacity *= std::pow(G::kResistance / resistance, kFadeExponent);
    }
    if (stretch_.Active) {
        const double drop = stretch_.StartCharge - stretch_.AnchorCharge;
        if (drop >= kFitDrop) capacity = std::min(capacity, stretch_.AnchorDrained / drop);
    }
    return capacity;
}

BatteryFigure BatteryModel::Capacity() const {
    if (knowledge_.Capacity.Learned) return knowledge_.Capacity;
    return {CapacityInForce(), false, 0};
}

BatteryFigure BatteryModel::Peukert() const {
    if (knowledge_.Peukert.Learned) return knowledge_.Peukert;
    return {G::kPeukert, false, 0};
}

double BatteryModel::SagAt(double load_percent) const {
    return SagAt(load_percent, Resistance().Value);
}

double BatteryModel::SagAt(double load_percent, double resistance) const {
    const double rest = Rest(1);
    const double volts = Terminal(1, load_percent, resistance);
    return ((volts > 0 ? rest - volts : rest - G::kCutOutVolts)) * blocks_;
}

double BatteryModel::FullRuntime(double load_percent) const { return RuntimeFrom(1, load_percent); }

double BatteryModel::ChargeFraction() const {
    if (!stretch_.Active) return 1;
    // The count is smooth but drifts with any error in the capacity; the voltage comes in
    // steps of a tenth of a volt (a tenth of the charge) but knows the knee at the end. The
    // lower of the two keeps the estimate from running long when either is wrong.
    return std::min(stretch_.Charge, stretch_.VoltsCharge);
}

bool BatteryModel::Settled() const {
    return stretch_.Active && stretch_.Samples >= kSettledSamples &&
           stretch_.LastTime - stretch_.StartTime >= kSettledSeconds;
}

std::optional<double> BatteryModel::Runtime() const {
    if (block_volts_ <= 0) return std::nullopt;
    const double seconds = RuntimeFrom(stretch_.Active ? ChargeFraction() : 1, load_);
    if (!std::isfinite(seconds)) return std::nullopt;
    return seconds;
}

StretchEnd BatteryModel::Feed(const BatterySample& sample) {
    if (!(sample.Volts > 0) || !std::isfinite(sample.Volts) || !std::isfinite(sample.Time)) {
        return {};
    }
    const double block_volts = sample.Volts / blocks_;
    load_ = std::clamp(sample.LoadPercent, 0.0, 150.0);
    block_volts_ = block_volts;
    StretchEnd end;
    if (sample.OnInverter) {
        if (!stretch_.Active) {
            Begin(sample, block_volts);
        } else {
            Continue(sample, block_volts);
        }
    } else if (stretch_.Active) {
        end = End(sample);
    } else if (mains_since_ < 0) {
        mains_since_ = sample.Time;
    }
    if (!sample.OnInverter) mains_volts_ = block_volts;
    last_time_ = sample.Time;
    return end;
}

void BatteryModel::Begin(const BatterySample& sample, double block_volts) {
    const double last_duration = last_stretch_seconds_;
    const bool recharged =
        mains_since_ < 0 || !history_known_ ||
        sample.Time - mains_since_ >= std::max(kRechargeSeconds, 10 * last_duration);
    stretch_ = Stretch{};
    stretch_.Active = true;
    stretch_.Test = sample.Test;
    stretch_.Samples = 1;
    stretch_.StartTime = stretch_.LastTime = sample.Time;
    const double drain = Drain(load_, block_volts);
    stretch_.LastDrain = drain;
    stretch_.LastVolts = block_volts;
    stretch_.LoadSum = load_;
    stretch_.Recharged = recharged;
    stretch_.StartVolts = block_volts;
    stretch_.FloatVolts = mains_volts_;
    if (recharged) {
        stretch_.StartResistance = std::max(0.0, (Rest(1) - block_volts) / drain);
        stretch_.StartCharge = 1;
    } else {
        stretch_.StartCharge = ChargeFromVolts(block_volts, drain);
    }
    const double gap = last_time_ >= 0 ? sample.Time - last_time_ : 0;
    if (gap > 0 && gap <= 2 * kMaxLeadIn) stretch_.Drained = gap / 2 * DrainRate(drain);
    stretch_.Charge = stretch_.StartCharge - stretch_.Drained / CapacityInForce();
    stretch_.VoltsCharge = ChargeFromVolts(block_volts, drain);
    stretch_.AnchorCharge = stretch_.VoltsCharge;
    stretch_.AnchorDrained = stretch_.Drained;
    stretch_.Unit = kReadingUnit / blocks_;
    samples_.clear();
    samples_.push_back({0, stretch_.Drained, block_volts, drain, sample.Low});
}

void BatteryModel::Continue(const BatterySample& sample, double block_volts) {
    const double seconds = sample.Time - stretch_.LastTime;
    if (seconds < 0) return;
    const double drain = Drain(load_, block_volts);
    stretch_.Drained += seconds * DrainRate((drain + stretch_.LastDrain) / 2);
    if (std::abs(drain - stretch_.LastDrain) >= kStepDrain && seconds <= kStepSeconds) {
        // Measured where the battery is now; brought back to what it is at full charge.
        const double step = (stretch_.LastVolts - block_volts) / (drain - stretch_.LastDrain) /
                            ResistanceAt(CountedCharge(), 1);
        if (step > 0 && step < 10) {
            stretch_.StepResistanceSum += step;
            stretch_.StepDoubtSum += stretch_.Unit / std::abs(drain - stretch_.LastDrain) /
                                     ResistanceAt(CountedCharge(), 1);
            ++stretch_.Steps;
        }
    }
    // The first reply after the switch-over may catch the voltage still settling: the
    // highest of the first few tells the step.
    if (stretch_.Recharged && stretch_.Samples < kSettledSamples &&
        block_volts > stretch_.StartVolts) {
        stretch_.StartVolts = block_volts;
        stretch_.StartResistance = std::max(0.0, (Rest(1) - block_volts) / drain);
    }
    stretch_.Test = stretch_.Test || sample.Test;
    ++stretch_.Samples;
    TrackReading(block_volts, drain);
    stretch_.LastTime = sample.Time;
    stretch_.LastDrain = drain;
    stretch_.LastVolts = block_volts;
    stretch_.LoadSum += load_;
    stretch_.Charge = stretch_.StartCharge - stretch_.Drained / CapacityInForce();
    samples_.push_back(
        {sample.Time - stretch_.StartTime, stretch_.Drained, block_volts, drain, sample.Low});
}

void BatteryModel::TrackReading(double block_volts, double drain) {
    // A reading stands for any voltage within half a unit of it. When it steps down at a steady
    // load, the voltage crossed into the new unit since the last reading: its top is where the
    // battery was then.
    // Until the next step the count carries the charge down, within what the reading allows;
    // read at the unit's middle instead, the charge would stand still while the battery drains
    // and run long near the end, where a tenth of a volt is many seconds.
    const double change = stretch_.LastVolts - block_volts;
    if (change != 0) {
        stretch_.Unit = std::min(stretch_.Unit, std::abs(change));
        const bool steady = std::abs(drain - stretch_.LastDrain) < kStepDrain;
        const bool crossed = change > 0 && steady;
        stretch_.AnchorCharge =
            ChargeFromVolts(block_volts + (crossed ? stretch_.Unit / 2 : 0), drain);
        // It crossed anywhere since the last reading: halfway, taken as the mean.
        stretch_.AnchorDrained =
            crossed ? (stretch_.Drained + samples_.back().Drained) / 2 : stretch_.Drained;
    }
    const double counted =
        stretch_.AnchorCharge - (stretch_.Drained - stretch_.AnchorDrained) / CapacityInForce();
    stretch_.VoltsCharge =
        std::clamp(counted, ChargeFromVolts(block_volts - stretch_.Unit / 2, drain),
                   ChargeFromVolts(block_volts + stretch_.Unit / 2, drain));
}

StretchEnd BatteryModel::End(const BatterySample& sample) {
    StretchEnd end;
    end.Ended = true;
    end.WasTest = stretch_.Test;
    const double duration = stretch_.LastTime - stretch_.StartTime;

    // The resistance: load steps measure it best, then a whole discharge's readings; the step
    // from a recharged battery's rest voltage will do.
    const std::optional<Fit> fit = FitStretch();
    double resistance = 0;
    if (stretch_.Steps > 0) {
        resistance = stretch_.StepResistanceSum / stretch_.Steps;
    } else if (fit) {
        resistance = fit->Resistance;
    } else if (stretch_.StartResistance > 0 && stretch_.Samples >= 2) {
        resistance = stretch_.StartResistance;
    }
    if (resistance > 0) {
        // A reading at idle, or one not taken from a full battery, can suggest any sag.
        resistance = std::clamp(resistance, L::kMinResistance, L::kMaxResistance);
        Learn(knowledge_.Resistance, resistance);
        if (knowledge_.FirstResistance <= 0) knowledge_.FirstResistance = resistance;
        end.Learned = true;
    }
    if (fit && LearnCapacity(*fit)) end.Learned = true;
    if (LearnOhmic(sample)) end.Learned = true;
    if (end.Learned) ++knowledge_.Discharges;

    knowledge_.LastDischarge = sample.WallTime;
    if (stretch_.Test) knowledge_.LastTest = sample.WallTime;
    end.Learned = true;  // the dates changed in any case

    last_stretch_seconds_ = duration;
    history_known_ = true;
    mains_since_ = sample.Time;
    stretch_ = Stretch{};
    samples_.clear();
    return end;
}

double BatteryModel::CountedCharge() const {
    // By the count alone: a worn battery's low readings would have it near empty at once.
    const double capacity = knowledge_.Capacity.Learned ? knowledge_.Capacity.Value : G::kCapacity;
    return std::clamp(stretch_.StartCharge - stretch_.Drained / capacity, 0.02, 1.0);
}

bool BatteryModel::LearnOhmic(const BatterySample& after) {
    double sum = stretch_.StepResistanceSum;
    double doubt = stretch_.StepDoubtSum;
    int count = stretch_.Steps;
    // The load gone, the voltage comes back by the ohmic drop at once; the surface charge and
    // the charger take minutes to add theirs. A reading is anywhere within half its step, so
    // the difference of two is within one.
    const double back = after.Volts / blocks_;
    const double gap = after.Time - stretch_.LastTime;
    const bool charger_idle =
        stretch_.FloatVolts > 0 ? back <= stretch_.FloatVolts - kFloatReturn : back <= kRestCeiling;
    if (gap >= 0 && gap <= kJumpSeconds && charger_idle && stretch_.LastDrain >= kStepDrain &&
        back > stretch_.LastVolts) {
        const double per_drain = stretch_.LastDrain * ResistanceAt(CountedCharge(), 1);
        sum += (back - stretch_.LastVolts) / per_drain;
        doubt += stretch_.Unit / per_drain;
        ++count;
    }
    if (count == 0) return false;
    const double ohmic = std::clamp(sum / count, L::kMinResistance, L::kMaxResistance);
    const double ohmic_doubt = std::min(doubt / count, ohmic);
    Learn(knowledge_.Ohmic, ohmic);
    knowledge_.LastOhmic = ohmic;
    knowledge_.LastOhmicDoubt = ohmic_doubt;
    // The battery when new is the one with the lowest resistance the readings allow.
    if (knowledge_.BaseOhmic <= 0 ||
        ohmic + ohmic_doubt < knowledge_.BaseOhmic + knowledge_.BaseOhmicDoubt) {
        knowledge_.BaseOhmic = ohmic;
        knowledge_.BaseOhmicDoubt = ohmic_doubt;
    }
    return true;
}

// A stretch that reached the low bit, or showed much of the charge gone, tells how much
// charge it took: the drop and the resistance that together best explain all its readings.
// A reading comes in tenths of a volt, so the one step at the switch-over alone would put the
// resistance a few percent off, and the charge read at the end of a test with it by three times
// as much; a whole discharge sliding through many tenths does not have that error.
std::optional<BatteryModel::Fit> BatteryModel::FitStretch() const {
    if (samples_.size() < 4) return std::nullopt;
    std::vector<Point> points = samples_;
    const bool low = std::any_of(points.begin() + 1, points.end(), [](const Point& p) {
        return p.Low || p.Volts <= G::kLowBitVolts + kLowBitMargin;
    });
    bool reached = low;
    if (!low) {
        // With polls far apart the stretch may end (the test stopping at the bit) between a
        // reading just above it and the next: the last two readings' slope tells where.
        const Point& before = points[points.size() - 2];
        const Point& last = points.back();
        const double fall = before.Volts - last.Volts;
        const double step = last.Drained - before.Drained;
        if (fall > 0 && step > 0 && last.Volts - fall <= G::kLowBitVolts + kLowBitMargin) {
            const double part = std::clamp((last.Volts - G::kLowBitVolts) / fall, 0.0, 1.0);
            points.push_back(
                {last.Seconds, last.Drained + part * step, G::kLowBitVolts, last.Drain, true});
            reached = true;
        }
    }
    if (!reached && stretch_.StartCharge - stretch_.VoltsCharge < kCapacityDrop) {
        return std::nullopt;
    }
    const double drained = points.back().Drained;
    const double start = stretch_.StartCharge;
    if (drained <= 0 || start <= kMinDrop) return std::nullopt;
    // A low reading in a stretch too short to have taken much is the sag of a worn battery,
    // not its charge gone.
    if (start - CountedCharge() < kMinDrop) return std::nullopt;

    // From a battery on float, the first minute's readings still carry the surface charge the
    // charger left: they would have the battery fuller at the start than it was.
    std::size_t first = 0;
    if (stretch_.Recharged) {
        while (first + 4 < points.size() && points[first].Seconds < kSurfaceSeconds) ++first;
    }
    const std::size_t stride = std::max<std::size_t>(1, (points.size() - first) / kFitPoints);
    const auto misfit = [&](double drop, double resistance) {
        double sum = 0;
        for (std::size_t k = first; k < points.size(); k += stride) {
            const Point& p = points[k];
            const double charge = start - drop * p.Drained / drained;
            const double miss = Rest(charge) - p.Drain * ResistanceAt(charge, resistance) - p.Volts;
            sum += miss * miss;
        }
        return sum;
    };
    // A grid over the drop and the resistance (on a log scale around the step's), narrowed
    // around the best point a few times.
    double drop_low = kMinDrop;
    double drop_high = start;
    const double step_resistance = Resistance().Value;
    double r_low = std::log(step_resistance / 3);
    double r_high = std::log(step_resistance * 3);
    Fit best{drained, start, step_resistance};
    double best_misfit = std::numeric_limits<double>::infinity();
    for (int round = 0; round < kFitRounds; ++round) {
        for (int i = 0; i <= kFitGrid; ++i) {
            for (int j = 0; j <= kFitGrid; ++j) {
                const double drop = drop_low + (drop_high - drop_low) * i / kFitGrid;
                const double resistance = std::exp(r_low + (r_high - r_low) * j / kFitGrid);
                const double m = misfit(drop, resistance);
                if (m < best_misfit) {
                    best_misfit = m;
                    best.Drop = drop;
                    best.Resistance = resistance;
                }
            }
        }
        const double drop_span = 2 * (drop_high - drop_low) / kFitGrid;
        const double r_span = 2 * (r_high - r_low) / kFitGrid;
        drop_low = std::max(kMinDrop, best.Drop - drop_span);
        drop_high = std::min(start, best.Drop + drop_span);
        r_low = std::log(best.Resistance) - r_span;
        r_high = std::log(best.Resistance) + r_span;
    }
    return best;
}

// From a fitted stretch: the capacity at its loads, the rest curve where it went, and Peukert's
// exponent when the capacity known so far came from another load.
bool BatteryModel::LearnCapacity(const Fit& fit) {
    const double resistance = Resistance().Value;
    const double mean_load = stretch_.LoadSum / stretch_.Samples;
    const double drained = fit.Drained;
    const double drop = fit.Drop;
    if (drop <= kMinDrop || drained <= 0) return false;
    const double capacity = std::clamp(drained / drop, L::kMinCapacity, L::kMaxCapacity);
    const double drain_now =
        std::clamp(Drain(mean_load, samples_.front().Volts), L::kMinDrain, L::kMaxDrain);

    if (knowledge_.Capacity.Learned && knowledge_.CapacityDrain > 0) {
        const double ratio = drain_now / knowledge_.CapacityDrain;
        if (ratio >= kPeukertRatio || ratio <= 1 / kPeukertRatio) {
            const double k = Peukert().Value;
            const double k_new =
                std::clamp(k - std::log(capacity / knowledge_.Capacity.Value) / std::log(ratio),
                           L::kMinPeukert, L::kMaxPeukert);
            Learn(knowledge_.Peukert, k_new);
        }
    }
    Learn(knowledge_.Capacity, capacity);
    knowledge_.LastCapacity = capacity;
    knowledge_.CapacityDrain = drain_now;
    if (knowledge_.FirstCapacity <= 0) knowledge_.FirstCapacity = capacity;

    // The curve, where this stretch went, from a battery that started full.
    if (stretch_.StartCharge < 0.98) return true;
    std::array<double, kCurvePoints> sum{};
    std::array<int, kCurvePoints> count{};
    for (const Point& p : samples_) {
        const double charge = stretch_.StartCharge - p.Drained / capacity;
        if (charge < 0) continue;
        const int j = static_cast<int>(std::lround(charge * (kCurvePoints - 1)));
        sum[j] += p.Volts + p.Drain * ResistanceAt(charge, resistance);
        ++count[j];
    }
    std::array<double, kCurvePoints> curve = knowledge_.CurveLearned ? knowledge_.Curve : G::kCurve;
    int lowest = kCurvePoints;
    for (int j = 0; j < kCurvePoints; ++j) {
        if (count[j] == 0) continue;
        curve[j] = sum[j] / count[j];
        lowest = std::min(lowest, j);
    }
    if (lowest >= kCurvePoints) return true;
    // Below what was seen, the generic shape joins on.
    const double offset = curve[lowest] - G::kCurve[lowest];
    for (int j = 0; j < lowest; ++j) curve[j] = G::kCurve[j] + offset;
    for (int j = 1; j < kCurvePoints; ++j) curve[j] = std::max(curve[j], curve[j - 1] + 0.005);
    // Readings off this far (a nominal voltage that is not the battery's) tell no curve.
    if (curve.front() < L::kMinRestVolts || curve.back() > L::kMaxRestVolts) return true;
    knowledge_.Curve = curve;
    knowledge_.CurveLearned = true;
    return true;
}

}  // namespace gw::monitor
