// The status server's "/metrics": the readings in the Prometheus text format, under the names,
// units and labels of the NUT exporters people already scrape (nut_battery_charge as 0..1,
// nut_input_voltage_volts, nut_ups_status{status="OL"}, all with ups="gridwarden"), so their
// dashboards and alerts work unchanged, plus this program's own counters.
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
    std::uint64_t PollCycles = 0;           // since the program started
    std::uint64_t PowerFailures = 0;        // mains failures seen since the program started
    std::optional<double> LearnedCapacity;  // 0..1 of the rated capacity, once learned
};

std::string ComposeMetrics(const MetricsState& state);

// A number as Prometheus reads it: the shortest text that gives back the same double, "."
// whatever the process locale; NaN and infinities by their names.
std::string MetricNumber(double value);

}  // namespace gw::reports
