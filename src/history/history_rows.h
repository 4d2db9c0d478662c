// What the history keeps, as plain values: one reading per poll cycle, one event per log line
// or power action, and the buckets that queries return (minimum, mean and maximum of every
// field over a stretch of time). Charts, the metrics, JSON and CSV are all drawn from these.
//
// Thread rule: plain values; any thread.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "monitor/status_evaluation.h"
#include "monitor/ups_state.h"

namespace gw::history {

// Milliseconds since the epoch: what the store keeps and queries take.
using Millis = std::int64_t;
Millis ToMillis(std::chrono::system_clock::time_point t);
// The times the history takes from outside: the epoch to the end of year 9999 (UTC). Whatever
// lies beyond is refused or clamped before any arithmetic on it, so no difference of two
// times and no step can overflow.
inline constexpr Millis kEarliestTime = 0;
inline constexpr Millis kLatestTime = 253'402'300'799'999;
std::chrono::system_clock::time_point FromMillis(Millis ms);

enum class Field {
    InputVoltage,
    InputFaultVoltage,
    OutputVoltage,
    Load,
    InputFrequency,
    BatteryVoltage,
    Temperature,
    Charge,
    Runtime,
    BatteryHealth,
};
inline constexpr std::size_t kFieldCount = 10;

// One row per field. Values are stored as integers of `Scale` units each (tenths of a volt,
// hundredths for the battery), less `Offset`, a value near where the field usually sits: SQLite
// stores an integer in as few bytes as it needs (none for 0, one for -128..127), so a mains
// reading of 228.6 V is kept as -14 in one byte instead of 2286 in two. The views
// reading_values and minute_values (history_sql.h) show the values in their units.
//
// `Spread`: the minutes keep the minimum and maximum beside the mean. The main readings only;
// the derived fields (charge, runtime, health) and the quiet ones keep the mean alone, which
// holds a year under 50 MB.
struct FieldRow {
    Field Which;
    const char* Column;  // the store's column
    const char* Name;    // in JSON and CSV
    const char* Unit;
    int Scale;
    int Offset;
    bool Spread;
};

// clang-format off
inline constexpr FieldRow kFields[kFieldCount] = {
    {Field::InputVoltage,      "ip",      "input_voltage",       "V",   10,  2300, true},
    {Field::InputFaultVoltage, "ipf",     "input_fault_voltage", "V",   10,  2300, false},
    {Field::OutputVoltage,     "op",      "output_voltage",      "V",   10,  2300, false},
    {Field::Load,              "load",    "load",                "%",   10,  200,  true},
    {Field::InputFrequency,    "freq",    "input_frequency",     "Hz",  10,  500,  false},
    {Field::BatteryVoltage,    "batt",    "battery_voltage",     "V",   100, 1300, true},
    {Field::Temperature,       "temp",    "temperature",         "°C",  10,  300,  false},
    {Field::Charge,            "charge",  "battery_charge",      "%",   10,  1000, false},
    {Field::Runtime,           "runtime", "battery_runtime",     "s",   1,   0,    false},
    {Field::BatteryHealth,     "health",  "battery_health",      "0 good, 1 weak, 2 replace",
                                                                        1,   0,    false},
};
// clang-format on

// The health verdict as the number the history and the metrics keep: 0 "Good", 1 "Weak",
// 2 "Replace"; nothing before the first verdict.
std::optional<double> HealthCode(const std::string& verdict);

const FieldRow& FieldOf(Field field);

// The status bits as one number: bit i is the flag of character i+1 of field 8 (bit 0 power
// fail, bit 5 test in progress), the order of link::StatusFlag.
inline constexpr unsigned kPowerFailBit = 1u << 0;
inline constexpr unsigned kTestBit = 1u << 5;

struct Reading {
    Millis Time = 0;
    std::array<std::optional<double>, kFieldCount> Values{};
    unsigned Bits = 0;

    std::optional<double>& operator[](Field f) { return Values[static_cast<std::size_t>(f)]; }
    const std::optional<double>& operator[](Field f) const {
        return Values[static_cast<std::size_t>(f)];
    }
};

// The reading of the record's latest full reply, stamped with its time. Runtime and battery
// health stay unknown until the battery model knows them.
Reading ReadingOf(const monitor::UpsState& state);

enum class EventKind { LogLine = 0, PowerAction = 1 };

struct Event {
    Millis Time = 0;
    EventKind Kind = EventKind::LogLine;
    std::string Text;
};

struct Span {
    double Min = 0;
    double Mean = 0;
    double Max = 0;
};

// The stored rows from `Start` for one step: each field's extremes and mean, and every status
// bit that was set at any time in it.
struct Bucket {
    Millis Start = 0;
    std::array<std::optional<Span>, kFieldCount> Values{};
    unsigned Bits = 0;
    std::int64_t Rows = 0;  // stored rows (cycles or minutes) behind it

    const std::optional<Span>& operator[](Field f) const {
        return Values[static_cast<std::size_t>(f)];
    }
};

}  // namespace gw::history

namespace gw::history {

// A moment as scripts and users write it: seconds since the epoch ("1767225600", fractions
// allowed), local "YYYY-MM-DD", "YYYY-MM-DD hh:mm[:ss]" (or with "T"), "now", or a time back
// from now: "-90s", "-15m", "-6h", "-7d". Nothing when it is none of these or lies outside
// kEarliestTime..kLatestTime.
std::optional<Millis> ParseTimeText(const std::string& text, Millis now);

// The local time of `t` in strftime's `format`, to the second.
std::string LocalTimeText(Millis t, const char* format);

// The value range a chart of `field` over `buckets` shows: the extremes with 5 % room on each
// side, 0..1 when there is no value and one unit each way around a flat line. `Any` says whether
// there was a value at all.
struct ChartRange {
    double Low = 0;  // the chart's bottom and top, with the room
    double High = 1;
    double Min = 0;  // the extremes themselves
    double Max = 1;
    bool Any = false;
};
ChartRange ChartRangeOf(const std::vector<Bucket>& buckets, Field field);

}  // namespace gw::history
