// Each state of the UPS told alike on every surface: the same summary, and old readings never
// told as the present.
#include <gtest/gtest.h>

#include <string>

#include "fakes/sample_states.h"
#include "monitor/status_json.h"
#include "monitor/ups_summary.h"
#include "reports/html_escape.h"
#include "reports/metrics_text.h"
#include "reports/ups_page.h"

namespace gw::reports {
namespace {

MetricsState MetricsOf(const monitor::UpsState& state) {
    MetricsState metrics;
    metrics.Known = state.Known;
    metrics.Reading = history::ReadingOf(state);
    TellState(metrics, state);
    return metrics;
}

TEST(StateSurfacesTest, EveryStateToldAlikeEverywhere) {
    for (const auto& sample : fakes::SampleStates()) {
        SCOPED_TRACE(sample.Name);
        const std::string summary = sample.Summary;
        const std::string json_summary = monitor::JsonUtf8String(summary);
        const std::string up = sample.Up ? "true" : "false";

        const std::string status_json = monitor::StatusJson(monitor::UpsStatus{}, sample.State);
        EXPECT_NE(status_json.find("\"summary\":" + json_summary), std::string::npos)
            << status_json;
        EXPECT_NE(status_json.find("\"up\":" + up), std::string::npos) << status_json;

        const MetricsState metrics = MetricsOf(sample.State);
        const std::string text = ComposeMetrics(metrics);
        EXPECT_NE(text.find("gridwarden_ups_state_info{ups=\"gridwarden\",level=\""),
                  std::string::npos)
            << text;
        EXPECT_NE(text.find(std::string("gridwarden_ups_up{ups=\"gridwarden\"} ") +
                            (sample.Up ? "1" : "0")),
                  std::string::npos)
            << text;
        EXPECT_EQ(text.find("nut_ups_status{") != std::string::npos, sample.Up) << text;
        EXPECT_EQ(text.find("nut_battery_charge{") != std::string::npos, sample.Up) << text;
        EXPECT_NE(text.find("gridwarden_last_reply_age_seconds{ups=\"gridwarden\"} "),
                  std::string::npos)
            << text;

        const std::string history_json = WithStateFacts("{\"from\":1}", metrics);
        EXPECT_EQ(history_json.rfind("{\"ups\":{\"up\":" + up, 0), 0u) << history_json;
        EXPECT_NE(history_json.find("\"summary\":" + json_summary + ",\"level\":"),
                  std::string::npos)
            << history_json;
        EXPECT_NE(history_json.find("},\"from\":1}"), std::string::npos) << history_json;

        EXPECT_EQ(monitor::TrayToolTip(sample.State), "Gridwarden\n" + summary);
        const std::string page = ComposeUpsPage(sample.State);
        EXPECT_NE(page.find("\">" + HtmlEscape(summary) + "</p>"), std::string::npos) << page;
    }
}

TEST(StateSurfacesTest, JsonTellsUtf8InPlainAscii) {
    EXPECT_EQ(monitor::JsonUtf8String("On mains · 97 %"), "\"On mains \\u00b7 97 %\"");
    EXPECT_EQ(monitor::JsonUtf8String("a\"b\\c\n"), "\"a\\\"b\\\\c\\u000a\"");
    EXPECT_EQ(monitor::JsonUtf8String("cut \xC2"), "\"cut \\ufffd\"");
    EXPECT_EQ(monitor::JsonUtf8String("\xE2\x80\x94"), "\"\\u2014\"");
}

}  // namespace
}  // namespace gw::reports
