#include "reports/metrics_text.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <string_view>

#include "monitor/status_json.h"
#include "monitor/ups_summary.h"

namespace gw::reports {

namespace {

using history::Field;

struct Gauge {
    Field Which;
    const char* Name;
    const char* Help;
    double Factor;  // from the stored unit to the exporter's
};

// clang-format off
constexpr Gauge kGauges[] = {
    {Field::Charge,         "nut_battery_charge",          "Battery charge (0..1)",              0.01},
    {Field::BatteryVoltage, "nut_battery_voltage_volts",   "Battery voltage",                    1},
    {Field::Runtime,        "nut_battery_runtime_seconds", "Battery runtime left",               1},
    {Field::InputVoltage,   "nut_input_voltage_volts",     "Input voltage",                      1},
    {Field::OutputVoltage,  "nut_output_voltage_volts",    "Output voltage",                     1},
    {Field::InputFrequency, "nut_input_frequency_hertz",   "Input frequency",                    1},
    {Field::Load,           "nut_load",                    "Load (0..1)",                        0.01},
    {Field::Temperature,    "nut_temperature_celsius",     "UPS temperature",                    1},
    {Field::BatteryHealth,  "gridwarden_battery_health",
     "Battery health verdict (0 good, 1 weak, 2 replace)",                                          1},
};
// clang-format on

// `latin1`: the UPS's own 8-bit texts; else already UTF-8 (the program's own words).
std::string Label(const std::string& value) {
    std::string out;
    for (const char c : value) {
        if (c == '\\' || c == '"') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else if (static_cast<unsigned char>(c) >= 0x80) {
            // The UPS's texts are 8-bit; label values must be UTF-8: read them as Latin-1.
            const auto byte = static_cast<unsigned char>(c);
            out += static_cast<char>(0xC0 | (byte >> 6));
            out += static_cast<char>(0x80 | (byte & 0x3F));
        } else if (static_cast<unsigned char>(c) >= 0x20) {
            out += c;
        }
    }
    return out;
}

class Exposition {
public:
    void Family(const char* name, const char* type, const char* help) {
        text_ +=
            std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
    }
    void Sample(const char* name, const std::string& labels, double value) {
        text_ += std::string(name) + "{ups=\"" + kMetricsUpsName + "\"" + labels + "} " +
                 MetricNumber(value) + "\n";
    }
    std::string Take() { return std::move(text_); }

private:
    std::string text_;
};

}  // namespace

std::string MetricNumber(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

void TellState(MetricsState& metrics, const monitor::UpsState& state) {
    metrics.Up = state.Up();
    metrics.LastReplyAgeSeconds = state.LastReplyAgeSeconds;
    const monitor::UpsSummary summary = monitor::SummaryOf(state);
    metrics.Summary = summary.Text;
    metrics.SummaryLevel = monitor::SummaryLevelName(summary.Level);
}

std::string WithStateFacts(std::string json, const MetricsState& state) {
    if (json.empty() || json.front() != '{') return json;
    const bool empty_object = json.size() > 1 && json[1] == '}';
    json.insert(1, "\"ups\":{" +
                       monitor::StateFactsJson(state.Known && state.Up, state.LastReplyAgeSeconds,
                                               state.Summary, state.SummaryLevel) +
                       "}" + (empty_object ? "" : ","));
    return json;
}

std::string ComposeMetrics(const MetricsState& state) {
    Exposition out;
    // Old readings are not told as the present: a dashboard shows a gap, an alert on "not on
    // line" can fire.
    const bool fresh = state.Known && state.Up;
    if (state.Known) {
        for (const Gauge& gauge : kGauges) {
            const std::optional<double>& value = state.Reading[gauge.Which];
            if (!value) continue;
            if (!fresh && std::string_view(gauge.Name).substr(0, 4) == "nut_") continue;
            double scaled = *value * gauge.Factor;
            if (gauge.Factor != 1) scaled = std::clamp(scaled, 0.0, 1.0);
            out.Family(gauge.Name, "gauge", gauge.Help);
            out.Sample(gauge.Name, "", scaled);
        }
    }
    if (fresh) {
        const bool on_battery = (state.Reading.Bits & history::kPowerFailBit) != 0;
        const struct {
            const char* Flag;
            bool Set;
        } flags[] = {
            {"OL", !on_battery},
            {"OB", on_battery},
            {"LB", (state.Reading.Bits & (1u << 1)) != 0},
            {"CAL", (state.Reading.Bits & history::kTestBit) != 0},
            {"BOOST", state.AvrState == "BOOST"},
            {"TRIM", state.AvrState == "TRIM"},
            {"BYPASS", state.AvrState == "BYPASS"},
        };
        out.Family("nut_ups_status", "gauge", "UPS status flag (1 set, 0 clear)");
        for (const auto& flag : flags) {
            out.Sample("nut_ups_status", std::string(",status=\"") + flag.Flag + "\"",
                       flag.Set ? 1 : 0);
        }
        out.Family("nut_ups_info", "gauge", "UPS information (always 1)");
        out.Sample("nut_ups_info",
                   ",type=\"ups\",manufacturer=\"" + Label(state.Manufacturer) + "\",model=\"" +
                       Label(state.Model) + "\",firmware=\"" + Label(state.Firmware) + "\"",
                   1);
    }
    if (state.LearnedCapacity) {
        out.Family("gridwarden_battery_learned_capacity", "gauge",
                   "Learned battery capacity (fraction of the generic block's)");
        out.Sample("gridwarden_battery_learned_capacity", "", *state.LearnedCapacity);
    }
    out.Family("gridwarden_ups_up", "gauge",
               "Whether the readings tell the present (1) or the UPS is silent or missing (0)");
    out.Sample("gridwarden_ups_up", "", fresh ? 1 : 0);
    out.Family("gridwarden_last_reply_age_seconds", "gauge",
               "Seconds since the UPS's latest good reply (+Inf: none yet)");
    out.Sample("gridwarden_last_reply_age_seconds", "",
               state.LastReplyAgeSeconds ? *state.LastReplyAgeSeconds
                                         : std::numeric_limits<double>::infinity());
    if (!state.Summary.empty()) {
        // The level only: the summary's words carry the runtime, and a label that changes every
        // minute would make a new series every minute.
        out.Family("gridwarden_ups_state_info", "gauge",
                   "How the window and the status page colour the UPS's state (always 1)");
        out.Sample("gridwarden_ups_state_info", ",level=\"" + Label(state.SummaryLevel) + "\"", 1);
    }
    out.Family("gridwarden_poll_cycles_total", "counter", "Poll cycles since the program started");
    out.Sample("gridwarden_poll_cycles_total", "", static_cast<double>(state.PollCycles));
    out.Family("gridwarden_power_failures_total", "counter",
               "Mains failures seen since the program started");
    out.Sample("gridwarden_power_failures_total", "", static_cast<double>(state.PowerFailures));
    return out.Take();
}

}  // namespace gw::reports
