#include "reports/ups_page.h"

#include <cmath>

#include "monitor/display_model.h"
#include "monitor/local_time.h"
#include "monitor/ups_summary.h"
#include "reports/html_escape.h"

namespace gw::reports {

namespace {

using monitor::SummaryLevel;

const char* LevelColour(SummaryLevel level) {
    switch (level) {
        case SummaryLevel::Normal:
            return "#2e7d32";
        case SummaryLevel::Notice:
            return "#ef6c00";
        case SummaryLevel::Alarm:
            return "#c62828";
    }
    return "#616161";
}

// The UPS's own texts are 8-bit; the page is UTF-8: read them as Latin-1.
std::string FromLatin1(const std::string& text) {
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x80) {
            out += c;
        } else {
            out += static_cast<char>(0xC0 | (byte >> 6));
            out += static_cast<char>(0x80 | (byte & 0x3F));
        }
    }
    return out;
}

void Row(std::string& page, const char* name, const std::string& value) {
    page += "<tr><th>";
    page += name;
    page += "</th><td>" + value + "</td></tr>\n";
}

}  // namespace

std::string ComposeUpsPage(const monitor::UpsState& state) {
    const monitor::UpsSummary summary = monitor::SummaryOf(state);
    std::string page =
        "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
        "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
        "<meta http-equiv=\"refresh\" content=\"" +
        std::to_string(kUpsPageRefreshSeconds) + "\"><title>UPS: " + HtmlEscape(summary.Text) +
        "</title><style>"
        "body{font-family:sans-serif;margin:16px auto;max-width:40em;padding:0 12px;"
        "color:#212121}"
        ".summary{color:#fff;font-size:1.4em;font-weight:bold;padding:12px 16px;"
        "border-radius:6px;overflow-wrap:anywhere}"
        "table{border-collapse:collapse;width:100%;margin:12px 0}"
        "th{text-align:left;font-weight:normal;color:#616161;padding:6px 12px 6px 0;"
        "vertical-align:top;width:35%}td{padding:6px 0;overflow-wrap:anywhere}"
        "tr{border-bottom:1px solid #e0e0e0}.old{color:#9e9e9e}"
        "</style></head><body>\n<p class=\"summary\" style=\"background:" +
        std::string(LevelColour(summary.Level)) + "\">" + HtmlEscape(summary.Text) +
        "</p>\n<table>\n";

    // Readings that no longer tell the present are marked as the latest known, not hidden:
    // they are what there is.
    const bool old = state.Known && !state.Up();
    const auto known = [&](const std::string& value) {
        return old ? "<span class=\"old\">" + value + " (latest known)</span>" : value;
    };
    const monitor::UpsBattery& battery = state.Battery;
    Row(page, "Charge",
        battery.ChargePercent ? known(std::to_string(std::lround(*battery.ChargePercent)) + " %")
                              : std::string("not known"));
    Row(page, "Runtime",
        battery.RuntimeSeconds ? known(monitor::RuntimeWords(*battery.RuntimeSeconds) +
                                       (battery.RuntimeLearned ? "" : " (estimate)"))
                               : std::string("not known"));
    // Both battery voltages, named: units that report per cell show that figure elsewhere.
    const monitor::UpsReadings& readings = state.Readings;
    if (readings.BatteryVolts) {
        std::string volts = monitor::FixedText(*readings.BatteryVolts, 2) + " V";
        if (readings.BatteryCellVolts) {
            volts += " (" + monitor::FixedText(*readings.BatteryCellVolts, 2) + " V per cell)";
        }
        Row(page, "Battery voltage", known(volts));
    }
    std::string health = monitor::BatteryVerdictText(battery.Health, "not known yet");
    if (!battery.HealthEvidence.empty()) {
        health += "<br><small>" + HtmlEscape(battery.HealthEvidence) + "</small>";
    }
    Row(page, "Battery health", health);
    if (state.Protection.State == monitor::ResponseState::Counting && state.Protection.Left) {
        Row(page, "Countdown", monitor::ClockText(*state.Protection.Left));
    } else if (state.Protection.Acting()) {
        Row(page, "Countdown", "acting now");
    } else {
        Row(page, "Countdown", "not running");
    }
    Row(page, "Model",
        state.Model.empty() ? std::string("not given") : HtmlEscape(FromLatin1(state.Model)));
    std::string last = state.LastReply
                           ? monitor::LocalTimeText(*state.LastReply, "%Y-%m-%d %H:%M:%S")
                           : std::string("none yet");
    if (state.LastReplyAgeSeconds && state.LastReply) {
        last += " (" + std::to_string(std::lround(*state.LastReplyAgeSeconds)) + " s ago)";
    }
    Row(page, "Last reply", last);
    page += "</table>\n<p><a href=\"/history\">History</a></p>\n</body></html>\n";
    return page;
}

}  // namespace gw::reports
