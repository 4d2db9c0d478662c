#include "monitor/battery_health.h"

#include <algorithm>

#include "monitor/display_model.h"

namespace gw::monitor {

namespace {

using G = GenericBattery;

constexpr char kAgainstGeneric[] = " a new battery's for this unit";

// One figure's part of the verdict: how far past the thresholds it is, 0 good, 1 weak,
// 2 replace; -1 when it tells nothing either way.
struct Part {
    int Level = -1;
    std::string Text;
    bool Leans = false;  // its middle value is past kLean*: wear is likely, not yet shown
};

int LevelOf(double ratio, double weak, double replace, bool rising) {
    if (rising ? ratio >= replace : ratio <= replace) return 2;
    if (rising ? ratio >= weak : ratio <= weak) return 1;
    return 0;
}

Part ResistancePart(const BatteryKnowledge& k) {
    Part part;
    if (k.LastOhmic <= 0) {
        part.Text = "resistance unknown (no reading right after a test's load went)";
        return part;
    }
    // The true figures lie within their doubts: the lowest ratio they allow is judged, so a
    // battery like new is never called worn for a reading a tenth off.
    const double low = std::max(0.0, k.LastOhmic - k.LastOhmicDoubt);
    if (k.Ohmic.Discharges >= 2 && k.BaseOhmic > 0) {
        // A battery first seen past what a new block behind such a unit has was not new then.
        const bool generic = k.BaseOhmic - k.BaseOhmicDoubt > G::kResistance;
        const double base = generic ? G::kResistance : k.BaseOhmic;
        // The base read from a light load's tenths can be a fifth off; a block behind such a
        // unit bounds it where the readings leave it wide.
        const double base_high =
            generic ? base : std::min(base + k.BaseOhmicDoubt, std::max(base, G::kResistance));
        part.Level = LevelOf(low / base_high, kWeakResistance, kReplaceResistance, true);
        part.Leans = !generic && k.LastOhmic / base >= kLeanResistance;
        part.Text = "resistance about " + FixedText(k.LastOhmic / base, 1) + " times" +
                    (generic ? kAgainstGeneric : " what it was when new");
        return part;
    }
    // A larger battery than the unit usually carries has less: only plain wear tells here.
    const int level = LevelOf(low / G::kResistance, kWeakResistance, kReplaceResistance, true);
    if (level > 0) part.Level = level;
    part.Text = "resistance about " + FixedText(k.LastOhmic / G::kResistance, 1) + " times" +
                kAgainstGeneric + ", no test on record from when new";
    return part;
}

Part CapacityPart(const BatteryKnowledge& k) {
    Part part;
    if (!k.Capacity.Learned) {
        part.Text = "capacity unknown";
        return part;
    }
    const double last = k.LastCapacity > 0 ? k.LastCapacity : k.Capacity.Value;
    if (k.Capacity.Discharges >= 2 && k.FirstCapacity > 0) {
        const double ratio = last / k.FirstCapacity;
        part.Level = LevelOf(ratio, kWeakCapacity, kReplaceCapacity, false);
        part.Text = "capacity about " + FixedText(ratio * 100, 0) + " % of what it was";
        return part;
    }
    // One discharge: the battery is known, if only against the generic block, and marked down a
    // level since a block of another make or size may have less. A new one of the usual kind
    // has more than the generic block (set below what such a block gives): one with less leans
    // towards wear. Against the first learned, by contrast, the capacity speaks for itself.
    const double ratio = last / G::kCapacity;
    part.Level = std::max(0, LevelOf(ratio, kWeakCapacity, kReplaceCapacity, false) - 1);
    part.Leans = ratio <= kLeanCapacity;
    part.Text = "capacity about " + FixedText(ratio * 100, 0) + " % of" + kAgainstGeneric;
    return part;
}

}  // namespace

HealthVerdict JudgeBattery(const BatteryModel& model) {
    const BatteryKnowledge& k = model.Knowledge();
    HealthVerdict verdict;
    if (k.LastOhmic <= 0 && !k.Capacity.Learned && !k.Resistance.Learned) return verdict;
    const Part resistance = ResistancePart(k);
    const Part capacity = CapacityPart(k);
    int level = std::max(resistance.Level, capacity.Level);
    // Each alone is judged at the end of its doubt (the base from one test when new in tenths
    // can be a fifth off); two independent readings that both lean towards wear are the
    // evidence neither is alone.
    if (level == 0 && resistance.Leans && capacity.Leans) level = 1;
    static const char* const kVerdicts[] = {kHealthUnknown, kHealthGood, kHealthWeak,
                                            kHealthReplace};
    verdict.Verdict = kVerdicts[level + 1];
    verdict.Evidence = resistance.Text + "; " + capacity.Text;
    return verdict;
}

}  // namespace gw::monitor
