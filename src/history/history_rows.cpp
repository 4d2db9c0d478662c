#include "history/history_rows.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <iterator>

#include "link/protocol.h"
#include "monitor/battery_health.h"
#include "monitor/local_time.h"

namespace gw::history {

Millis ToMillis(std::chrono::system_clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
}

std::chrono::system_clock::time_point FromMillis(Millis ms) {
    return std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(
            std::chrono::milliseconds(ms)));
}

const FieldRow& FieldOf(Field field) { return kFields[static_cast<std::size_t>(field)]; }

std::optional<double> HealthCode(const std::string& verdict) {
    static constexpr const char* kVerdicts[] = {monitor::kHealthGood, monitor::kHealthWeak,
                                                monitor::kHealthReplace};
    for (std::size_t i = 0; i < std::size(kVerdicts); ++i) {
        if (verdict == kVerdicts[i]) return static_cast<double>(i);
    }
    return std::nullopt;
}

Reading ReadingOf(const monitor::UpsState& state) {
    const monitor::UpsReadings& r = state.Readings;
    const auto value = [](const std::optional<monitor::Quantity>& q) -> std::optional<double> {
        if (!q) return std::nullopt;
        return q->Value;
    };
    Reading reading;
    if (state.LastReply) reading.Time = ToMillis(*state.LastReply);
    reading[Field::InputVoltage] = value(r.InputVolts);
    reading[Field::InputFaultVoltage] = value(r.InputFaultVolts);
    reading[Field::OutputVoltage] = value(r.OutputVolts);
    reading[Field::Load] = value(r.LoadPercent);
    reading[Field::InputFrequency] = value(r.InputHertz);
    reading[Field::BatteryVoltage] = r.BatteryVolts;
    reading[Field::Temperature] = value(r.TemperatureCelsius);
    reading[Field::Charge] = state.Battery.ChargePercent;
    reading[Field::Runtime] = state.Battery.RuntimeSeconds;
    switch (state.Battery.Health) {
        case monitor::BatteryVerdict::Good:
            reading[Field::BatteryHealth] = 0;
            break;
        case monitor::BatteryVerdict::Weak:
            reading[Field::BatteryHealth] = 1;
            break;
        case monitor::BatteryVerdict::Replace:
            reading[Field::BatteryHealth] = 2;
            break;
        case monitor::BatteryVerdict::Unknown:
            break;
    }
    for (std::size_t i = 0; i < state.Flags.size(); ++i) {
        if (state.Flags[i]) reading.Bits |= 1u << i;
    }
    return reading;
}

}  // namespace gw::history

namespace gw::history {

std::string LocalTimeText(Millis t, const char* format) {
    return monitor::LocalTimeText(
        std::chrono::system_clock::time_point(std::chrono::milliseconds(t - t % 1000)), format);
}

namespace {

std::optional<Millis> Within(Millis t) {
    if (t < kEarliestTime || t > kLatestTime) return std::nullopt;
    return t;
}

}  // namespace

std::optional<Millis> ParseTimeText(const std::string& text, Millis now) {
    if (text == "now") return now;
    if (text.size() >= 3 && text[0] == '-') {
        static constexpr struct {
            char Unit;
            Millis Length;
        } kUnits[] = {{'s', 1000}, {'m', 60000}, {'h', 3600000}, {'d', 86400000}};
        const std::string digits = text.substr(1, text.size() - 2);
        if (digits.find_first_not_of("0123456789") != std::string::npos || digits.size() > 9) {
            return std::nullopt;
        }
        for (const auto& unit : kUnits) {
            if (text.back() == unit.Unit) return Within(now - std::stoll(digits) * unit.Length);
        }
        return std::nullopt;
    }
    if (!text.empty() && text.find_first_not_of("0123456789.") == std::string::npos &&
        text.find('.') == text.rfind('.') && text.size() < 20 && text[0] != '.') {
        // Checked as a double first: beyond the range the conversion itself is undefined.
        const double seconds = std::stod(text);
        if (!(seconds <= static_cast<double>(kLatestTime / 1000))) return std::nullopt;
        return Within(static_cast<Millis>(std::llround(seconds * 1000)));
    }
    std::tm local{};
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    char separator = 0;
    char tail = 0;
    const int fields = std::sscanf(text.c_str(), "%4d-%2d-%2d%c%2d:%2d:%2d%c", &year, &month, &day,
                                   &separator, &hour, &minute, &second, &tail);
    const bool date_only = fields == 3;
    const bool with_time = (fields == 6 || fields == 7) && (separator == ' ' || separator == 'T');
    if (!date_only && !with_time) return std::nullopt;
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60 ||
        hour < 0 || minute < 0 || second < 0) {
        return std::nullopt;
    }
    local.tm_year = year - 1900;
    local.tm_mon = month - 1;
    local.tm_mday = day;
    local.tm_hour = hour;
    local.tm_min = minute;
    local.tm_sec = second;
    local.tm_isdst = -1;
    const std::time_t seconds = std::mktime(&local);
    if (seconds == static_cast<std::time_t>(-1)) return std::nullopt;
    return Within(static_cast<Millis>(seconds) * 1000);
}

ChartRange ChartRangeOf(const std::vector<Bucket>& buckets, Field field) {
    double low = INFINITY, high = -INFINITY;
    for (const Bucket& bucket : buckets) {
        if (const auto& span = bucket[field]) {
            low = std::min(low, span->Min);
            high = std::max(high, span->Max);
        }
    }
    ChartRange range;
    range.Any = low <= high;
    if (!range.Any) low = 0, high = 1;
    if (high - low < 1e-9) low -= 1, high += 1;
    const double pad = (high - low) * 0.05;
    range.Min = low;
    range.Max = high;
    range.Low = low - pad;
    range.High = high + pad;
    return range;
}

}  // namespace gw::history
