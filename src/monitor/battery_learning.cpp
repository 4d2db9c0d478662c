// What a stretch on the inverter teaches when it ends: the ohmic resistance, the capacity and
// the rest curve (the model's half that learns; battery_model.cpp estimates while it runs).
#include <algorithm>
#include <cmath>
#include <limits>

#include "monitor/battery_model.h"
#include "monitor/battery_tuning.h"

namespace gw::monitor {

namespace {

using namespace battery_tuning;
using G = GenericBattery;
using L = BatteryLimits;

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

StretchEnd BatteryModel::End(const BatterySample& sample) {
    StretchEnd end;
    end.Ended = true;
    end.WasTest = stretch_.Test;
    const double duration = stretch_.LastTime - stretch_.StartTime;

    // The resistance: load steps measure it best, then a whole discharge's readings, then the
    // jump back up when the load went. The step down from a recharged battery's rest voltage
    // only when there is nothing else: off a float its first readings still carry the surface
    // charge, which would put the sag at a fraction of the truth.
    const std::optional<Fit> fit = FitStretch();
    const std::optional<Reading> jump = JumpBack(sample);
    double resistance = 0;
    if (stretch_.Steps > 0) {
        resistance = stretch_.StepResistanceSum / stretch_.Steps;
    } else if (fit) {
        resistance = fit->Resistance;
    } else if (jump) {
        resistance = jump->Value;
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

std::optional<BatteryModel::Reading> BatteryModel::JumpBack(const BatterySample& after) const {
    // The load gone, the voltage comes back by the ohmic drop at once; the surface charge and
    // the charger take minutes to add theirs. A reading is anywhere within half its step, so
    // the difference of two is within one.
    const double back = after.Volts / blocks_;
    const double gap = after.Time - stretch_.LastTime;
    const bool charger_idle =
        stretch_.FloatVolts > 0 ? back <= stretch_.FloatVolts - kFloatReturn : back <= kRestCeiling;
    if (gap < 0 || gap > kJumpSeconds || !charger_idle || stretch_.LastDrain < kStepDrain ||
        back <= stretch_.LastVolts) {
        return std::nullopt;
    }
    const double per_drain = stretch_.LastDrain * ResistanceAt(CountedCharge(), 1);
    return Reading{(back - stretch_.LastVolts) / per_drain, stretch_.Unit / per_drain};
}

bool BatteryModel::LearnOhmic(const BatterySample& after) {
    double sum = stretch_.StepResistanceSum;
    double doubt = stretch_.StepDoubtSum;
    int count = stretch_.Steps;
    if (const std::optional<Reading> jump = JumpBack(after)) {
        sum += jump->Value;
        doubt += jump->Doubt;
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
    // A grid over the drop and the resistance (on a log scale over all a battery can have),
    // narrowed around the best point a few times. The resistance known so far does not bound
    // the search: one read from a battery fresh off the float, its surface charge holding the
    // first readings up, can be a third of the truth, and a fit held near it would put the
    // missing sag into the drop and learn a capacity far too small.
    double drop_low = kMinDrop;
    double drop_high = start;
    double r_low = std::log(L::kMinResistance);
    double r_high = std::log(L::kMaxResistance);
    Fit best{drained, start, Resistance().Value};
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
