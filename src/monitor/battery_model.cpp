#include "monitor/battery_model.h"

#include <algorithm>
#include <cmath>

#include "monitor/battery_tuning.h"

namespace gw::monitor {

namespace {

using G = GenericBattery;
using L = BatteryLimits;

using namespace battery_tuning;

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

}  // namespace gw::monitor
