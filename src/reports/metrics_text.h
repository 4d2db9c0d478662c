// The status server's "/metrics": the readings in the Prometheus text format, under the names,
// units and labels of the NUT exporters people already scrape (nut_battery_charge as 0..1,
// nut_input_voltage_volts, nut_ups_status{status="OL"}, all with ups="gridwarden"), so their
// dashboards and alerts work unchanged, plus this program's own counters and battery figures:
// gridwarden_battery_health is one series holding the verdict's number (0 good, 1 weak,
// 2 replace; history::HealthCode), so an alert is one comparison; it and
// nut_battery_runtime_seconds appear once the program knows them. gridwarden_ups_up (1 while
// the readings are fresh) and gridwarden_last_reply_age_seconds are always there, so an alert
// on a silent UPS needs no absent() trick.
//
// Thread rule: pure functions; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "history/history_rows.h"
#include "monitor/ups_state.h"

namespace gw::reports {

inline constexpr char kMetricsUpsName[] = "gridwarden";
inline constexpr char kMetricsContentType[] = "text/plain; version=0.0.4; charset=utf-8";

// What the metrics are made of: one copy taken on the main thread after each poll cycle.
struct MetricsState {
    bool Known = false;        // a status reply was evaluated in full: Reading holds it
    history::Reading Reading;  // runtime and battery health when the program knows them
    std::string AvrState;      // "BOOST", "TRIM", "BYPASS" or "..." (inactive)
    std::string Manufacturer;  // from the information reply; empty when not given
    std::string Model;
    std::string Firmware;
    std::uint64_t PollCycles = 0;     // since the program started
    std::uint64_t PowerFailures = 0;  // mains failures seen since the program started
    // The learned capacity as a fraction of the generic block's the runtime rests on before
    // anything is learned (monitor::GenericBattery::kCapacity): 1 is a healthy new block, a
    // worn one falls below; none until a capacity was learned.
    std::optional<double> LearnedCapacity;
    // Whether the readings tell the present: while they do not (stale, no contact, no UPS)
    // the exporters' nut_* series are left out, as the exporters do on DATA-STALE.
    bool Up = false;
    // Seconds since the latest good reply; none before the first (told as +Inf).
    std::optional<double> LastReplyAgeSeconds;
    std::string Summary;       // the one-line summary; empty: not told
    std::string SummaryLevel;  // "normal", "notice", "alarm"
};

std::string ComposeMetrics(const MetricsState& state);

// Fills the facts `metrics` tells of the record as of now: Up, the reply's age, the summary.
void TellState(MetricsState& metrics, const monitor::UpsState& state);

// `json`, one object, with a member "ups" added first that tells the state's facts as
// "--status-json" does: up, last_reply_age_s, summary, level.
std::string WithStateFacts(std::string json, const MetricsState& state);

// A number as Prometheus reads it: the shortest text that gives back the same double, "."
// whatever the process locale; NaN and infinities by their names.
std::string MetricNumber(double value);

}  // namespace gw::reports
