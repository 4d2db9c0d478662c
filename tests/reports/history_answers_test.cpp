// "/metrics", "/history" and "/history.json" of the status server, without sockets: the same
// credentials as "/", the exporter's names and units, and the history drawn from a real file.
#include <gtest/gtest.h>

#include <boost/beast/core/detail/base64.hpp>

#include "history/history_store.h"
#include "monitor/test_files.h"
#include "reports/history_page.h"
#include "reports/http_handler.h"
#include "reports/metrics_text.h"

namespace gw::reports {
namespace {

namespace http = boost::beast::http;
using history::Field;

const auto kNow = std::chrono::system_clock::time_point(std::chrono::seconds(1772600767));

HttpRequest Get(const std::string& target, const std::string& pair = "") {
    HttpRequest request;
    request.method(http::verb::get);
    request.target(target);
    request.version(11);
    if (!pair.empty()) {
        std::string out(boost::beast::detail::base64::encoded_size(pair.size()), '\0');
        out.resize(boost::beast::detail::base64::encode(out.data(), pair.data(), pair.size()));
        request.set(http::field::authorization, "Basic " + out);
    }
    return request;
}

TEST(HistoryAnswersTest, EachPathAsksForTheCredentialsOfThePageAndAnswersItsOwnType) {
    monitor::testing::ScratchDir dir;
    {
        history::HistoryStore store;
        ASSERT_TRUE(store.Open(dir / history::kHistoryFileName, history::ToMillis(kNow)).Ok);
        history::Reading outage;
        outage.Time = history::ToMillis(kNow) - 60000;
        outage[Field::InputVoltage] = 0;
        outage.Bits = history::kPowerFailBit;
        std::string error;
        bool damaged = false;
        ASSERT_TRUE(store.Write({outage},
                                {{outage.Time, history::EventKind::LogLine, "Power <Fail>"}}, error,
                                damaged));
    }
    PageState state;
    state.User = "admin";
    state.Password = "pw";
    state.History = std::make_shared<history::HistoryReader>(dir / history::kHistoryFileName);
    state.Metrics.Known = true;
    state.Metrics.Up = true;
    state.Metrics.Reading[Field::Charge] = 104.0;  // an estimate above full still reads 1
    state.Metrics.Reading[Field::Load] = 12;
    state.Metrics.Reading.Bits = history::kPowerFailBit;

    const struct {
        const char* target;
        http::status status;
        const char* type;
        std::vector<const char*> has;
    } cases[] = {
        {"/metrics",
         http::status::ok,
         "text/plain; version=0.0.4; charset=utf-8",
         {"nut_battery_charge{ups=\"gridwarden\"} 1\n", "nut_load{ups=\"gridwarden\"} 0.12\n",
          "nut_ups_status{ups=\"gridwarden\",status=\"OB\"} 1\n",
          "# TYPE gridwarden_poll_cycles_total counter\n"}},
        {"/history?range=hour",
         http::status::ok,
         "text/html; charset=utf-8",
         {"<svg", "class=\"outage\"", "Power &lt;Fail&gt;", "class=\"on\">Hour<"}},
        {"/history.json?from=-2m&to=now&step=60",
         http::status::ok,
         "application/json",
         {"\"step\":60,", "\"bits\":1,\"input_voltage\":{\"min\":0,\"mean\":0,\"max\":0}",
          "\"text\":\"Power <Fail>\""}},
        {"/history.json?from=yesterday",
         http::status::bad_request,
         "application/json",
         {"{\"error\":\"'yesterday' is not a time for from\"}"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.target);
        const auto refused = HandleRequest(Get(c.target), state, kNow);
        ASSERT_TRUE(refused);
        EXPECT_EQ(refused->result(), http::status::unauthorized);
        EXPECT_EQ(refused->body(), kUnauthorizedBody);

        const auto answer = HandleRequest(Get(c.target, "admin:pw"), state, kNow);
        ASSERT_TRUE(answer);
        EXPECT_EQ(answer->result(), c.status);
        EXPECT_EQ((*answer)[http::field::content_type], c.type);
        for (const char* text : c.has) {
            EXPECT_NE(answer->body().find(text), std::string::npos) << text << "\n"
                                                                    << answer->body();
        }
    }
    // Unknown runtime is left out rather than shown as 0; without a history the page says so.
    EXPECT_EQ(ComposeMetrics(state.Metrics).find("runtime"), std::string::npos);
    state.History.reset();
    EXPECT_NE(
        HandleRequest(Get("/history", "admin:pw"), state, kNow)->body().find("No history is kept."),
        std::string::npos);
}

// The battery model's figures appear once known, each in its own series; the page draws the
// runtime once the file holds one.
TEST(HistoryAnswersTest, BatteryFiguresAppearOnceKnown) {
    const struct {
        std::optional<double> runtime;
        std::optional<double> health;
        std::optional<double> capacity;
        std::vector<const char*> has;
        std::vector<const char*> lacks;
    } cases[] = {
        {std::nullopt,
         std::nullopt,
         std::nullopt,
         {},
         {"nut_battery_runtime_seconds", "gridwarden_battery_health", "learned_capacity"}},
        {1450,
         history::HealthCode("Replace"),
         0.62,
         {"nut_battery_runtime_seconds{ups=\"gridwarden\"} 1450\n",
          "gridwarden_battery_health{ups=\"gridwarden\"} 2\n",
          "gridwarden_battery_learned_capacity{ups=\"gridwarden\"} 0.62\n"},
         {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.has.size());
        MetricsState state;
        state.Known = true;
        state.Up = true;
        state.Reading[Field::Runtime] = c.runtime;
        state.Reading[Field::BatteryHealth] = c.health;
        state.LearnedCapacity = c.capacity;
        const std::string text = ComposeMetrics(state);
        for (const char* line : c.has) EXPECT_NE(text.find(line), std::string::npos) << line;
        for (const char* name : c.lacks) EXPECT_EQ(text.find(name), std::string::npos) << name;

        monitor::testing::ScratchDir dir;
        const std::string path = dir / history::kHistoryFileName;
        history::HistoryStore store;
        ASSERT_TRUE(store.Open(path, history::ToMillis(kNow)).Ok);
        history::Reading reading;
        reading.Time = history::ToMillis(kNow) - 60000;
        reading[Field::Runtime] = c.runtime;
        std::string error;
        bool damaged = false;
        ASSERT_TRUE(store.Write({reading}, {}, error, damaged)) << error;
        store.Close();
        const history::HistoryReader reader(path);
        const std::string page =
            ComposeHistoryPage(&reader, kHistoryRanges[0], history::ToMillis(kNow));
        EXPECT_EQ(page.find("Battery runtime") != std::string::npos, c.runtime.has_value());
    }
}

// Whatever a script or an attacker puts in the query, the answer is a refusal or at most the
// bucket limit, never the whole file in one-millisecond buckets.
TEST(HistoryAnswersTest, HostileQueriesGetARefusalOrABoundedAnswer) {
    monitor::testing::ScratchDir dir;
    const std::string path = dir / history::kHistoryFileName;
    const history::Millis now = history::ToMillis(kNow);
    {
        history::HistoryStore store;
        ASSERT_TRUE(store.Open(path, now).Ok);
        std::vector<history::Reading> rows(10000);
        for (std::size_t i = 0; i < rows.size(); ++i) {
            rows[i].Time = now - 10'000'000 + static_cast<history::Millis>(i) * 1000;
            rows[i][Field::Load] = 12;
        }
        std::string error;
        bool damaged = false;
        ASSERT_TRUE(store.Write(rows, {}, error, damaged)) << error;
    }
    PageState state;
    state.History = std::make_shared<history::HistoryReader>(path);
    const char* queries[] = {
        "from=99999999999999999&to=now",
        "from=-9223372036854775808&to=now&step=0.001",
        "from=0&to=9999-12-31&step=0.001",
        "from=1&to=99999999999999999999",
        "from=-999999999d",
        "from=-10000s&step=0.001",
        "from=now&to=-1h",
        "from=nan&to=inf",
        "from=&to=",
        "step=-1",
        "step=99999999999999",
        "from=00000000000000000000000000001",
    };
    for (const char* query : queries) {
        SCOPED_TRACE(query);
        const auto answer =
            HandleRequest(Get(std::string(kHistoryJsonPath) + "?" + query), state, kNow);
        ASSERT_TRUE(answer);
        const std::string& body = answer->body();
        if (answer->result() == http::status::bad_request) continue;
        EXPECT_EQ(answer->result(), http::status::ok);
        std::size_t buckets = 0;
        for (std::size_t at = body.find("\"rows\":"); at != std::string::npos;
             at = body.find("\"rows\":", at + 1)) {
            ++buckets;
        }
        EXPECT_LE(buckets, static_cast<std::size_t>(history::HistoryReader::kMaxBuckets));
        EXPECT_EQ(body.find("\"error\""), std::string::npos) << body.substr(0, 200);
    }
}

}  // namespace
}  // namespace gw::reports
