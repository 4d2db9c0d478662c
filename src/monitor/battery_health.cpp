#include "monitor/battery_health.h"

#include <algorithm>
#include <cmath>

#include "monitor/display_model.h"

namespace gw::monitor {

HealthVerdict JudgeBattery(const BatteryModel& model, double load_percent) {
    const BatteryKnowledge& k = model.Knowledge();
    HealthVerdict verdict;
    if (!k.Resistance.Learned && !k.Capacity.Learned) return verdict;
    const double load = std::max(load_percent, 5.0);

    double resistance_ratio = 1;
    std::string evidence;
    if (k.Resistance.Learned) {
        // "When new": the lower of the first learned and the generic block, so a battery that
        // was already tired when first seen is still judged.
        double when_new = GenericBattery::kResistance;
        if (k.FirstResistance > 0) when_new = std::min(when_new, k.FirstResistance);
        resistance_ratio = k.Resistance.Value / when_new;
        evidence = "sag " + FixedText(model.SagAt(load, k.Resistance.Value), 1) + " V at " +
                   FixedText(load, 0) + " % load, " +
                   FixedText(model.SagAt(load, when_new), 1) + " V when new";
    }
    double capacity_ratio = 1;
    if (k.Capacity.Learned && k.FirstCapacity > 0) {
        capacity_ratio = k.Capacity.Value / k.FirstCapacity;
        if (!evidence.empty()) evidence += "; ";
        evidence += "capacity " + FixedText(capacity_ratio * 100, 0) + " % of first learned";
    }
    if (resistance_ratio >= kReplaceResistance || capacity_ratio <= kReplaceCapacity) {
        verdict.Verdict = kHealthReplace;
    } else if (resistance_ratio >= kWeakResistance || capacity_ratio <= kWeakCapacity) {
        verdict.Verdict = kHealthWeak;
    } else {
        verdict.Verdict = kHealthGood;
    }
    verdict.Evidence = evidence;
    return verdict;
}

}  // namespace gw::monitor
