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

// How a chart shows a field: the runtime in minutes, as every other place tells it; the others
// in the unit the history keeps.
struct ChartScale {
    const char* Unit;
    double Factor;  // from the history's unit
};
ChartScale ChartScaleOf(history::Field field);
// `buckets` with `field`'s values in the chart's unit.
std::vector<history::Bucket> InChartUnit(std::vector<history::Bucket> buckets,
                                         history::Field field);

// A value for an axis label: as few decimals as tell the ends `span` apart, and never more
// than five digits, so that the label fits its column whatever the value.
std::string AxisText(double value, double span);

// A time label: "hh:mm" in a range shorter than a day, else "MM-DD hh:mm", local time.
std::string ChartTimeText(history::Millis t, history::Millis range);

}  // namespace gw::reports
