// The status server's history: "/history", an HTML page with an SVG chart per reading over the
// last hour, day, week, month or year and the events of that time; "/history.json", the
// buckets and events of any stretch for scripts. Both read the file through their own
// read-only connection (HistoryReader), never the writer's.
//
// Thread rule: any thread (the server's pool).
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "history/history_reader.h"

namespace gw::reports {

struct HistoryRange {
    const char* Name;     // in "/history?range=..."
    const char* Caption;  // on the page and the window's buttons
    history::Millis Length;
};

// clang-format off
inline constexpr HistoryRange kHistoryRanges[] = {
    {"hour",  "Hour",  3600LL * 1000},
    {"day",   "Day",   24LL * 3600 * 1000},
    {"week",  "Week",  7LL * 24 * 3600 * 1000},
    {"month", "Month", 30LL * 24 * 3600 * 1000},
    {"year",  "Year",  365LL * 24 * 3600 * 1000},
};
// clang-format on
inline constexpr std::size_t kDefaultRange = 1;  // a day
// About this many buckets per chart: one per pixel or two of the page's charts.
inline constexpr int kChartPoints = 360;
inline constexpr std::size_t kPageEvents = 200;

// The ranges' rows by name; nullptr for an unknown name.
const HistoryRange* RangeNamed(std::string_view name);

// The value of `name` in the query of `target` ("/history?range=week"), percent-decoded; nothing
// when absent.
std::optional<std::string> QueryParameter(std::string_view target, std::string_view name);

// The page for the range ending at `now`. `reader` may be null: the history is not kept, and the
// page says so.
std::string ComposeHistoryPage(const history::HistoryReader* reader, const HistoryRange& range,
                               history::Millis now);

struct HistoryQuery {
    history::Millis From = 0;
    history::Millis To = 0;
    history::Millis Step = 0;  // 0: about kChartPoints buckets
};
// from, to (history::ParseTimeText forms; default the last day) and step (seconds) of the
// target's query. Nothing, with `error` set, when one of them is malformed or to <= from.
std::optional<HistoryQuery> ParseHistoryQuery(std::string_view target, history::Millis now,
                                              std::string& error);
// {"from":s,"to":s,"step":s,"units":{...},"buckets":[{"time":s,"rows":n,"bits":b,
//  "input_voltage":{"min":..,"mean":..,"max":..},...}],"events":[{"time":s,"kind":"log",
//  "text":"..."}]}; times in seconds since the epoch. "error" holds a failed read.
std::string ComposeHistoryJson(const history::HistoryReader* reader, const HistoryQuery& query,
                               history::Millis now);

}  // namespace gw::reports
