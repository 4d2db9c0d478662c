// "/status", the page for people, and its way to and from "/history".
#include "reports/ups_page.h"

#include <gtest/gtest.h>

#include "fakes/sample_states.h"
#include "history/history_store.h"
#include "monitor/test_files.h"
#include "reports/history_page.h"
#include "reports/html_escape.h"

namespace gw::reports {
namespace {

TEST(UpsPageTest, EachStateAtAGlanceOnAnyScreen) {
    for (const auto& sample : fakes::SampleStates()) {
        SCOPED_TRACE(sample.Name);
        const std::string page = ComposeUpsPage(sample.State);
        const std::string summary = HtmlEscape(sample.Summary);
        for (const std::string& part :
             {std::string("<meta charset=\"utf-8\">"), std::string("name=\"viewport\""),
              std::string("http-equiv=\"refresh\""), "<title>UPS: " + summary + "</title>",
              "\">" + summary + "</p>", std::string("<a href=\"/history\">")}) {
            EXPECT_NE(page.find(part), std::string::npos) << part << "\n" << page;
        }
        // Old readings are told as such, never as the present.
        EXPECT_EQ(page.find("(latest known)") != std::string::npos,
                  sample.State.Known && !sample.Up)
            << page;
    }
    const std::string replace = ComposeUpsPage(fakes::SampleStates()[5].State);
    EXPECT_NE(replace.find("Replace<br><small>capacity 41 % of new</small>"), std::string::npos)
        << replace;
    const std::string counting = ComposeUpsPage(fakes::SampleStates()[1].State);
    EXPECT_NE(counting.find("<th>Countdown</th><td>9:58</td>"), std::string::npos) << counting;
    EXPECT_NE(counting.find("<td>about 34 min (estimate)</td>"), std::string::npos) << counting;
    EXPECT_NE(counting.find("<td>27.20 V (2.27 V per cell)</td>"), std::string::npos) << counting;
}

TEST(UpsPageTest, HistoryLinksBackFitsTheScreenAndShowsTheNewestEventFirst) {
    monitor::testing::ScratchDir dir;
    const history::Millis now = 1'772'600'767'000;
    {
        history::HistoryStore store;
        ASSERT_TRUE(store.Open(dir / history::kHistoryFileName, now).Ok);
        history::Reading reading;
        reading.Time = now - 60000;
        reading[history::Field::InputVoltage] = 230;
        std::string error;
        bool damaged = false;
        ASSERT_TRUE(store.Write({reading},
                                {{now - 120000, history::EventKind::LogLine, "Power Fail"},
                                 {now - 60000, history::EventKind::LogLine, "Power O.K."}},
                                error, damaged))
            << error;
    }
    const history::HistoryReader reader(dir / history::kHistoryFileName);
    const std::string page = ComposeHistoryPage(&reader, kHistoryRanges[0], now);
    EXPECT_NE(page.find("<a href=\"/status\">"), std::string::npos) << page;
    EXPECT_LT(page.find("Power O.K."), page.find("Power Fail")) << page;
    EXPECT_NE(page.find("<svg"), std::string::npos);
    EXPECT_EQ(page.find("width=\"720\""), std::string::npos) << page;
    EXPECT_NE(page.find("width=\"100%\""), std::string::npos) << page;
}

}  // namespace
}  // namespace gw::reports
