#include "monitor/status_json.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <optional>

#include "monitor/ups_summary.h"

namespace gw::monitor {

namespace {

using link::StatusFlag;

struct FlagName {
    StatusFlag Flag;
    const char* Name;
};

// clang-format off
constexpr FlagName kFlagNames[] = {
    {StatusFlag::PowerFail,      "power_fail"},
    {StatusFlag::BatteryLow,     "battery_low"},
    {StatusFlag::Avr,            "avr"},
    {StatusFlag::UpsFailed,      "ups_failed"},
    {StatusFlag::StandbyUps,     "standby"},
    {StatusFlag::TestInProgress, "test_in_progress"},
    {StatusFlag::ShutdownActive, "shutdown_active"},
    {StatusFlag::BeeperOn,       "beeper_on"},
};
// clang-format on

// Twelve significant digits: more than any reading carries, few enough to hide the noise of a
// per-cell reading multiplied up.
std::string JsonNumber(std::optional<long double> value) {
    if (!value || !std::isfinite(*value)) return "null";
    char text[64];
    const auto [end, ec] =
        std::to_chars(text, text + sizeof text, *value, std::chars_format::general, 12);
    if (ec != std::errc()) return "null";
    return std::string(text, end);
}

std::string IsoLocalTime(std::chrono::system_clock::time_point time) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(time);
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
    const long offset_minutes = local.tm_gmtoff / 60;
    const long magnitude = offset_minutes < 0 ? -offset_minutes : offset_minutes;
    char offset[32];
    std::snprintf(offset, sizeof offset, "%c%02ld:%02ld", offset_minutes < 0 ? '-' : '+',
                  magnitude / 60, magnitude % 60);
    return std::string(text) + offset;
}

}  // namespace

std::string JsonString(std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    // clang-format off
    static constexpr struct { char Raw; const char* Escaped; } kShortEscapes[] = {
        {'"', "\\\""}, {'\\', "\\\\"}, {'\b', "\\b"}, {'\f', "\\f"}, {'\n', "\\n"},
        {'\r', "\\r"}, {'\t', "\\t"},
    };
    // clang-format on
    std::string out = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        const char* escaped = nullptr;
        for (const auto& row : kShortEscapes) {
            if (row.Raw == c) escaped = row.Escaped;
        }
        if (escaped != nullptr) {
            out += escaped;
        } else if (byte < 0x20 || byte >= 0x7F) {
            out += "\\u00";
            out += kHex[byte >> 4];
            out += kHex[byte & 0xF];
        } else {
            out += c;
        }
    }
    out += '"';
    return out;
}

std::string StatusJson(const UpsStatus& status) {
    std::string out = "{\"time\":";
    out += status.ReplyText.empty() ? "null" : JsonString(IsoLocalTime(status.ReplyTime));

    out += ",\"fields\":[";
    for (std::size_t k = 0; k < status.FieldText.size(); ++k) {
        if (k > 0) out += ',';
        out += JsonString(status.FieldText[k]);
    }
    out += "],\"input_voltage\":" + JsonNumber(status.IPVoltage);
    out += ",\"output_voltage\":" + JsonNumber(status.OPVoltage);
    out += ",\"battery_voltage\":" + JsonNumber(status.BatteryVoltage);
    out += ",\"battery_voltage_per_cell\":";
    out += status.BatteryVoltagePerCell ? "true" : "false";

    out += ",\"flags\":{";
    bool first = true;
    for (const auto& row : kFlagNames) {
        if (!first) out += ',';
        first = false;
        out += JsonString(row.Name) + ':' + (status.Flag(row.Flag) ? "true" : "false");
    }
    out += "},\"mode\":" + JsonString(status.Mode);
    out += ",\"avr\":" + JsonString(status.AVRState);
    // As shown: one decimal.
    out += ",\"charge\":";
    out += status.BatteryCharge && std::isfinite(*status.BatteryCharge)
               ? FixedText(*status.BatteryCharge, 1)
               : "null";
    std::optional<long double> input_min;
    std::optional<long double> input_max;
    if (status.IPVoltageMin <= status.IPVoltageMax) {
        input_min = status.IPVoltageMin;
        input_max = status.IPVoltageMax;
    }
    out += ",\"input_min\":" + JsonNumber(input_min);
    out += ",\"input_max\":" + JsonNumber(input_max);
    // Whole seconds; null, never 0, when there is no estimate.
    out += ",\"runtime_s\":";
    out += status.RuntimeSeconds && std::isfinite(*status.RuntimeSeconds)
               ? FixedText(*status.RuntimeSeconds, 0)
               : "null";
    out += ",\"runtime_learned\":";
    out += status.RuntimeLearned ? "true" : "false";
    out += ",\"battery_health\":";
    out += status.BatteryHealth.empty() ? "null" : JsonString(status.BatteryHealth);
    out += '}';
    return out;
}

std::string JsonUtf8String(std::string_view text) {
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        unsigned code = byte;
        std::size_t more = 0;
        if (byte >= 0xC0 && byte < 0xE0) {
            code = byte & 0x1Fu;
            more = 1;
        } else if (byte >= 0xE0 && byte < 0xF0) {
            code = byte & 0x0Fu;
            more = 2;
        } else if (byte >= 0x80) {
            code = 0xFFFD;  // not UTF-8 of the basic plane: the replacement character
        }
        if (more > 0) {
            if (i + more >= text.size()) {  // cut short
                code = 0xFFFD;
                more = text.size() - 1 - i;
            } else {
                for (std::size_t k = 1; k <= more; ++k) {
                    code = (code << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3Fu);
                }
            }
            i += more;
        }
        if (code == '"' || code == '\\') {
            out += '\\';
            out += static_cast<char>(code);
        } else if (code < 0x20 || code >= 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", code);
            out += escaped;
        } else {
            out += static_cast<char>(code);
        }
    }
    out += '"';
    return out;
}

std::string StateFactsJson(bool up, std::optional<double> age, std::string_view summary,
                           std::string_view level) {
    std::string out = std::string("\"up\":") + (up ? "true" : "false");
    out += ",\"last_reply_age_s\":";
    out += age ? FixedText(*age, 1) : "null";
    out += ",\"summary\":" + JsonUtf8String(summary);
    out += ",\"level\":" + JsonUtf8String(level);
    return out;
}

std::string StatusJson(const UpsStatus& status, const UpsState& state) {
    std::string out = StatusJson(status);
    out.pop_back();  // the closing brace
    const UpsSummary summary = SummaryOf(state);
    out += "," + StateFactsJson(state.Up(), state.LastReplyAgeSeconds, summary.Text,
                                SummaryLevelName(summary.Level));
    out += ",\"contact\":" + JsonUtf8String(ContactName(state.Link));
    out += ",\"battery_cell_voltage\":";
    out += state.Readings.BatteryCellVolts ? JsonNumber(*state.Readings.BatteryCellVolts) : "null";
    out += ",\"source\":" + (state.Source.empty() ? std::string("null") : JsonString(state.Source));
    out += ",\"runtime_reported\":";
    out += state.Battery.RuntimeReported ? "true" : "false";
    out += '}';
    return out;
}

}  // namespace gw::monitor
