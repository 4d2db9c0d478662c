// The latest status as one line of JSON, for scripts and the headless runner.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "monitor/status_evaluation.h"
#include "monitor/ups_state.h"

namespace gw::monitor {

// One object on one line, keys in a fixed order:
//   time (local ISO 8601 with offset, null before the first reply), fields (the eight texts as
//   received), input_voltage, output_voltage, battery_voltage (numbers, null when not
//   converted), battery_voltage_per_cell, flags (object by name), mode, avr, charge (null while
//   there is no estimate), input_min, input_max (null until the first update), runtime_s
//   (whole seconds to the cut-out, null when unknown), runtime_learned, battery_health
//   ("Good", "Weak", "Replace"; null before the first verdict).
std::string StatusJson(const UpsStatus& status);
// The same with the record's facts after those keys: up (the readings tell the present),
// contact ("fresh", "stale", "no-contact", "no-ups"), last_reply_age_s (null before the first),
// battery_cell_voltage (one 2 V cell's share; battery_voltage is the whole battery's), summary
// and level (the summary's, as every surface tells it).
std::string StatusJson(const UpsStatus& status, const UpsState& state);

// The members up, last_reply_age_s, summary, level (no braces), for any JSON that tells the
// state; `age` none before the first reply.
std::string StateFactsJson(bool up, std::optional<double> age, std::string_view summary,
                           std::string_view level);

// UTF-8 `text` as a JSON string literal in plain ASCII: characters beyond it as \uXXXX.
std::string JsonUtf8String(std::string_view text);

// `text` as a JSON string literal, quotes included. Bytes from 0x7F up are written as \u00XX
// (read as Latin-1) so the output is plain ASCII whatever comes in.
std::string JsonString(std::string_view text);

}  // namespace gw::monitor
