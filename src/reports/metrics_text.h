// The status server's "/metrics": the readings in the Prometheus text format, under the names,
// units and labels of the NUT exporters people already scrape (nut_battery_charge as 0..1,
// nut_input_voltage_volts, nut_ups_status{status="OL"}, all with ups="gridwarden"), so their
// dashboards and alerts work unchanged, plus this program's own counters and battery figures:
// gridwarden_battery_health is one series holding the verdict's number (0 good, 1 weak,
// 2 replace; history::HealthCode), so an alert is one comparison; it and
// nut_battery_runtime_seconds appear once the program knows them.
//
// Thread rule: pure functions; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "history/history_rows.h"

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
};

std::string ComposeMetrics(const MetricsState& state);

// A number as Prometheus reads it: the shortest text that gives back the same double, "."
// whatever the process locale; NaN and infinities by their names.
std::string MetricNumber(double value);

}  // namespace gw::reports
