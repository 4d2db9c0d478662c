#include "reports/history_svg.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "reports/html_escape.h"

namespace gw::reports {

namespace {

using history::Bucket;
using history::Millis;

// clang-format off
constexpr int kWidth = 720, kHeight = 170;
constexpr int kLeft = 56, kRight = 12, kTop = 24, kBottom = 22;
constexpr char kLineColour[]    = "#1565c0";
constexpr char kBandColour[]    = "#bbdefb";
constexpr char kOutageColour[]  = "#ffcdd2";
constexpr char kTestColour[]    = "#fff59d";
constexpr char kAxisColour[]    = "#9e9e9e";
// clang-format on

std::string Num(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", value);
    return text;
}

}  // namespace

ChartScale ChartScaleOf(history::Field field) {
    if (field == history::Field::Runtime) return {"min", 1.0 / 60};
    return {history::FieldOf(field).Unit, 1};
}

std::vector<Bucket> InChartUnit(std::vector<Bucket> buckets, history::Field field) {
    const double factor = ChartScaleOf(field).Factor;
    if (factor == 1) return buckets;
    for (Bucket& bucket : buckets) {
        if (auto& span = bucket.Values[static_cast<std::size_t>(field)]) {
            span->Min *= factor;
            span->Mean *= factor;
            span->Max *= factor;
        }
    }
    return buckets;
}

std::string AxisText(double value, double span) {
    int decimals = span >= 20 ? 0 : span >= 2 ? 1 : 2;
    const double magnitude = std::fabs(value);
    const int whole = magnitude < 1 ? 1 : static_cast<int>(std::floor(std::log10(magnitude))) + 1;
    decimals = std::clamp(5 - whole, 0, decimals);
    char text[48];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string ChartTimeText(Millis t, Millis range) {
    return history::LocalTimeText(t, range < 24LL * 3600 * 1000 ? "%H:%M" : "%m-%d %H:%M");
}

std::string SvgChart(const ChartSpec& spec, const std::vector<Bucket>& stored, Millis from,
                     Millis to, Millis step) {
    const std::vector<Bucket> buckets = InChartUnit(stored, spec.Which);
    const ChartScale scale = ChartScaleOf(spec.Which);
    const double plot_w = kWidth - kLeft - kRight;
    const double plot_h = kHeight - kTop - kBottom;
    const double range = static_cast<double>(std::max<Millis>(to - from, 1));
    const auto x_of = [&](Millis t) {
        return kLeft + std::clamp((t - from) / range, 0.0, 1.0) * plot_w;
    };

    const history::ChartRange chart = history::ChartRangeOf(buckets, spec.Which);
    const double low = chart.Low, high = chart.High;
    const bool any = chart.Any;
    const auto y_of = [&](double v) { return kTop + (high - v) / (high - low) * plot_h; };

    // As wide as the screen allows, up to its own width; the height follows the viewBox.
    std::string svg =
        std::string("<svg xmlns=\"http://www.w3.org/2000/svg\" class=\"chart\" width=\"100%\" ") +
        "style=\"max-width:" + std::to_string(kWidth) + "px;height:auto\"" + " viewBox=\"0 0 " +
        std::to_string(kWidth) + " " + std::to_string(kHeight) +
        "\" font-family=\"sans-serif\" font-size=\"11\">";
    svg += "<text x=\"" + std::to_string(kLeft) + "\" y=\"15\" font-size=\"13\" " +
           "font-weight=\"bold\">" + HtmlEscape(spec.Title) + " (" + HtmlEscape(scale.Unit) +
           ")</text>";

    // Outages and tests first, so the data is drawn over them.
    for (const Bucket& bucket : buckets) {
        const char* colour = (bucket.Bits & history::kPowerFailBit) ? kOutageColour
                             : (bucket.Bits & history::kTestBit)    ? kTestColour
                                                                    : nullptr;
        if (colour == nullptr) continue;
        const double x0 = x_of(bucket.Start);
        const double x1 = std::max(x_of(bucket.Start + step), x0 + 1.5);
        svg += "<rect class=\"" + std::string(colour == kOutageColour ? "outage" : "test") +
               "\" x=\"" + Num(x0) + "\" y=\"" + std::to_string(kTop) + "\" width=\"" +
               Num(x1 - x0) + "\" height=\"" + Num(plot_h) + "\" fill=\"" + colour + "\"/>";
    }

    // The band and the line, broken where rows are missing for more than two steps.
    std::string band_top, band_bottom, line;
    const auto flush = [&] {
        if (!band_top.empty()) {
            svg += "<polygon fill=\"" + std::string(kBandColour) + "\" points=\"" + band_top +
                   band_bottom + "\"/>";
            svg += "<polyline fill=\"none\" stroke=\"" + std::string(kLineColour) +
                   "\" stroke-width=\"1.5\" points=\"" + line + "\"/>";
        }
        band_top.clear();
        band_bottom.clear();
        line.clear();
    };
    Millis last = 0;
    bool first = true;
    for (const Bucket& bucket : buckets) {
        const auto& span = bucket[spec.Which];
        if (!span) continue;
        if (!first && bucket.Start - last > 2 * step) flush();
        first = false;
        last = bucket.Start;
        const std::string x = Num(x_of(bucket.Start + step / 2));
        band_top += x + "," + Num(y_of(span->Max)) + " ";
        band_bottom = x + "," + Num(y_of(span->Min)) + " " + band_bottom;
        line += x + "," + Num(y_of(span->Mean)) + " ";
    }
    flush();

    // Axes and labels.
    const std::string bottom = Num(kTop + plot_h);
    svg += "<path fill=\"none\" stroke=\"" + std::string(kAxisColour) + "\" d=\"M" +
           std::to_string(kLeft) + "," + std::to_string(kTop) + " V" + bottom + " H" +
           Num(kLeft + plot_w) + "\"/>";
    if (any) {
        svg += "<text x=\"" + std::to_string(kLeft - 4) + "\" y=\"" + Num(kTop + 9) +
               "\" text-anchor=\"end\">" + AxisText(chart.Max, high - low) + "</text>";
        svg += "<text x=\"" + std::to_string(kLeft - 4) + "\" y=\"" + bottom +
               "\" text-anchor=\"end\">" + AxisText(chart.Min, high - low) + "</text>";
    } else {
        svg += "<text x=\"" + Num(kLeft + plot_w / 2) + "\" y=\"" + Num(kTop + plot_h / 2) +
               "\" text-anchor=\"middle\" fill=\"" + kAxisColour + "\">no data</text>";
    }
    const Millis span = to - from;
    for (int i = 0; i <= 4; ++i) {
        const Millis t = from + span * i / 4;
        const char* anchor = i == 0 ? "start" : i == 4 ? "end" : "middle";
        svg += "<text x=\"" + Num(x_of(t)) + "\" y=\"" + std::to_string(kHeight - 6) +
               "\" text-anchor=\"" + anchor + "\">" + ChartTimeText(t, span) + "</text>";
    }
    svg += "</svg>";
    return svg;
}

}  // namespace gw::reports
