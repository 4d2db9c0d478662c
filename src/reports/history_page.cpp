#include "reports/history_page.h"

#include "monitor/event_log.h"
#include "monitor/status_json.h"
#include "reports/history_svg.h"
#include "reports/html_escape.h"
#include "reports/http_handler.h"
#include "reports/metrics_text.h"

namespace gw::reports {

namespace {

using history::Field;
using history::Millis;

// clang-format off
constexpr ChartSpec kPageCharts[] = {
    {Field::BatteryVoltage, "Battery voltage"},
    {Field::Charge,         "Battery charge"},
    {Field::Runtime,        "Battery runtime"},
    {Field::InputVoltage,   "Input voltage"},
    {Field::Load,           "Load"},
};
// clang-format on

constexpr char kPageHead[] =
    "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\">"
    "<meta name=\"viewport\" content=\"width=device-width\">"
    "<title>Gridwarden history</title><style>"
    "body{font-family:sans-serif;margin:16px;color:#212121}"
    "nav a{margin-right:12px}nav a.on{font-weight:bold;text-decoration:none;color:#212121}"
    ".chart{display:block;margin:8px 0}.key span{display:inline-block;width:12px;height:12px;"
    "margin:0 4px 0 12px;vertical-align:middle}"
    "table{border-collapse:collapse;font-size:13px}td{padding:1px 10px 1px 0}"
    "</style></head><body>\n";

std::string Seconds(Millis t) { return MetricNumber(static_cast<double>(t) / 1000); }

bool AnyValue(const std::vector<history::Bucket>& buckets, Field field) {
    for (const auto& bucket : buckets) {
        if (bucket[field]) return true;
    }
    return false;
}

}  // namespace

const HistoryRange* RangeNamed(std::string_view name) {
    for (const HistoryRange& range : kHistoryRanges) {
        if (name == range.Name) return &range;
    }
    return nullptr;
}

std::optional<std::string> QueryParameter(std::string_view target, std::string_view name) {
    const std::size_t mark = target.find('?');
    if (mark == std::string_view::npos) return std::nullopt;
    std::string_view query = target.substr(mark + 1);
    while (!query.empty()) {
        const std::size_t amp = query.find('&');
        const std::string_view pair = query.substr(0, amp);
        const std::size_t equals = pair.find('=');
        if (pair.substr(0, equals) == name) {
            std::string value = equals == std::string_view::npos
                                    ? std::string()
                                    : DocumentPath(pair.substr(equals + 1));
            for (char& c : value) {
                if (c == '+') c = ' ';
            }
            return value;
        }
        if (amp == std::string_view::npos) break;
        query.remove_prefix(amp + 1);
    }
    return std::nullopt;
}

std::string ComposeHistoryPage(const history::HistoryReader* reader, const HistoryRange& range,
                               Millis now) {
    std::string page = kPageHead;
    page += "<h1>History</h1>\n<p><a href=\"/status\">The UPS now</a></p>\n<nav>";
    for (const HistoryRange& each : kHistoryRanges) {
        page += "<a href=\"/history?range=" + std::string(each.Name) + "\"" +
                (&each == &range ? " class=\"on\"" : "") + ">" + each.Caption + "</a>";
    }
    page += "</nav>\n";
    const Millis from = now - range.Length;
    page += "<p>" + HtmlEscape(monitor::DateTimeText(history::FromMillis(from))) + " to " +
            HtmlEscape(monitor::DateTimeText(history::FromMillis(now))) +
            "<span class=\"key\"><span style=\"background:#ffcdd2\"></span>on battery"
            "<span style=\"background:#fff59d\"></span>UPS test</span></p>\n";
    if (reader == nullptr) {
        page += "<p>No history is kept.</p></body></html>\n";
        return page;
    }
    std::string error;
    Millis step = history::StepFor(from, now, kChartPoints, now);
    const std::vector<history::Bucket> buckets = reader->Buckets(from, now, step, error);
    if (!error.empty()) page += "<p>The history could not be read: " + HtmlEscape(error) + "</p>";
    for (const ChartSpec& chart : kPageCharts) {
        // Runtime is drawn once the program knows it; the others always, "no data" included.
        if (chart.Which == Field::Runtime && !AnyValue(buckets, Field::Runtime)) continue;
        page += SvgChart(chart, buckets, from, now, step) + "\n";
    }
    const std::vector<history::Event> events = reader->Events(from, now, kPageEvents, error);
    page += "<h2>Events</h2>\n";
    if (events.empty()) page += "<p>None.</p>\n";
    if (!events.empty()) page += "<table>\n";
    // Newest first: what just happened is what people come to see.
    for (auto it = events.rbegin(); it != events.rend(); ++it) {
        const history::Event& event = *it;
        page += "<tr><td>" + HtmlEscape(monitor::DateTimeText(history::FromMillis(event.Time))) +
                "</td><td>" + (event.Kind == history::EventKind::PowerAction ? "<b>" : "") +
                HtmlEscape(event.Text) +
                (event.Kind == history::EventKind::PowerAction ? "</b>" : "") + "</td></tr>\n";
    }
    if (!events.empty()) page += "</table>\n";
    page += "</body></html>\n";
    return page;
}

std::optional<HistoryQuery> ParseHistoryQuery(std::string_view target, Millis now,
                                              std::string& error) {
    HistoryQuery query;
    query.To = now;
    query.From = now - kHistoryRanges[kDefaultRange].Length;
    for (const auto& [name, slot] : {std::pair<const char*, Millis*>{"from", &query.From},
                                     std::pair<const char*, Millis*>{"to", &query.To}}) {
        if (const std::optional<std::string> value = QueryParameter(target, name)) {
            const std::optional<Millis> parsed = history::ParseTimeText(*value, now);
            if (!parsed) {
                error = std::string("'") + *value + "' is not a time for " + name;
                return std::nullopt;
            }
            *slot = *parsed;
        }
    }
    if (const std::optional<std::string> step = QueryParameter(target, "step")) {
        const std::optional<Millis> parsed = history::ParseTimeText(*step, 0);
        if (!parsed || *parsed <= 0) {
            error = "'" + *step + "' is not a step in seconds";
            return std::nullopt;
        }
        query.Step = *parsed;
    }
    if (query.To <= query.From) {
        error = "to must come after from";
        return std::nullopt;
    }
    return query;
}

std::string ComposeHistoryJson(const history::HistoryReader* reader, const HistoryQuery& query,
                               Millis now) {
    Millis step =
        query.Step > 0 ? query.Step : history::StepFor(query.From, query.To, kChartPoints, now);
    std::string error;
    std::vector<history::Bucket> buckets;
    std::vector<history::Event> events;
    if (reader != nullptr) {
        buckets = reader->Buckets(query.From, query.To, step, error);
        if (error.empty()) events = reader->Events(query.From, query.To, 10000, error);
    } else {
        error = "no history is kept";
    }
    std::string json = "{\"from\":" + Seconds(query.From) + ",\"to\":" + Seconds(query.To) +
                       ",\"step\":" + Seconds(step) + ",\"units\":{";
    for (const history::FieldRow& field : history::kFields) {
        if (json.back() != '{') json += ",";
        // Our own constants: UTF-8 as they stand ("°C"), nothing to escape.
        json += "\"" + std::string(field.Name) + "\":\"" + field.Unit + "\"";
    }
    json += "},\"buckets\":[";
    for (const history::Bucket& bucket : buckets) {
        if (json.back() != '[') json += ",";
        json += "{\"time\":" + Seconds(bucket.Start) + ",\"rows\":" + std::to_string(bucket.Rows) +
                ",\"bits\":" + std::to_string(bucket.Bits);
        for (const history::FieldRow& field : history::kFields) {
            const auto& span = bucket[field.Which];
            if (!span) continue;
            json += ",\"" + std::string(field.Name) + "\":{\"min\":" + MetricNumber(span->Min) +
                    ",\"mean\":" + MetricNumber(span->Mean) +
                    ",\"max\":" + MetricNumber(span->Max) + "}";
        }
        json += "}";
    }
    json += "],\"events\":[";
    for (const history::Event& event : events) {
        if (json.back() != '[') json += ",";
        json += "{\"time\":" + Seconds(event.Time) + ",\"kind\":\"" +
                (event.Kind == history::EventKind::PowerAction ? "action" : "log") +
                "\",\"text\":" + monitor::JsonString(event.Text) + "}";
    }
    json += "]";
    if (!error.empty()) json += ",\"error\":" + monitor::JsonString(error);
    json += "}\n";
    return json;
}

}  // namespace gw::reports
