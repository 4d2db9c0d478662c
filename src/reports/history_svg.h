// One chart of the history as inline SVG: a field's mean as a line, its minimum-to-maximum band
// behind it, outages and UPS tests as shaded stretches, the value range on the left and the
// time along the bottom. Self-contained markup: the page needs no script and no other file.
//
// Thread rule: pure function; any thread.
#pragma once

#include <string>
#include <vector>

#include "history/history_rows.h"

namespace gw::reports {

struct ChartSpec {
    history::Field Which;
    const char* Title;
};

// The chart over from..to; `step` is the buckets' width. A field without any value gives a
// chart that says "no data".
std::string SvgChart(const ChartSpec& spec, const std::vector<history::Bucket>& buckets,
                     history::Millis from, history::Millis to, history::Millis step);

// A time label: "hh:mm" in a range shorter than a day, else "MM-DD hh:mm", local time.
std::string ChartTimeText(history::Millis t, history::Millis range);

}  // namespace gw::reports
