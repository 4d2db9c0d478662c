// Both servers' port fields under one rule: a text that is no port is shown once, and the
// server stays as it was, running on its port or stopped.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/http_service.h"
#include "app/nut_service.h"
#include "link/plain_main_loop.h"
#include "reports/loopback_client.h"

namespace gw::app {
namespace {

struct Errors final : monitor::DetectionDialogs {
    std::optional<int> ChooseComPort(const std::vector<std::string>&, int) override {
        return std::nullopt;
    }
    int ChooseBatteryVoltage() override { return 12; }
    void ShowError(std::string_view text) override { Shown.emplace_back(text); }
    std::vector<std::string> Shown;
};

struct Lines final : link::LogSink {
    void AppendLog(std::string_view text) override { Logged.emplace_back(text); }
    std::vector<std::string> Logged;
};

TEST(ServerPortTest, TextThatIsNoPortIsShownOnceAndLeavesEitherServerAsItWas) {
    struct Case {
        const char* text;
        const char* error;  // the message of each server, the network UPS one with its prefix
    };
    // clang-format off
    const Case cases[] = {
        {"80a",         "'80a' is not a valid integer value"},
        {"",            "'' is not a valid integer value"},
        {"99999999999", "'99999999999' is not a valid integer value"},
        {"70000",       "'70000' is not a port number (1 to 65535)"},
        {"0",           "'0' is not a port number (1 to 65535)"},
        {"-1",          "'-1' is not a port number (1 to 65535)"},
    };
    // clang-format on
    link::PlainMainLoop loop;
    monitor::DisplayModel display;
    link::UpsLink ups;
    Errors errors;
    Lines log;
    HttpService http(loop, display, ups, errors, log);
    NutService nut(loop, display, ups, errors, log, "0.1.0");
    display.HTTPCB = true;
    display.NUTServerCB = true;
    for (const bool running : {false, true}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.text) + (running ? ", running" : ", stopped"));
            http.Stop();
            nut.Stop();
            if (running) {
                // Two ports nobody listens on now.
                reports::PageSource source;
                reports::HttpServer probe_a(source);
                reports::HttpServer probe_b(source);
                ASSERT_EQ(probe_a.Start(0), "");
                ASSERT_EQ(probe_b.Start(0), "");
                display.HTTPPortE = std::to_string(probe_a.Port());
                display.NUTPortE = std::to_string(probe_b.Port());
                probe_a.Stop();
                probe_b.Stop();
                http.OnEnabledChanged();
                nut.OnEnabledChanged();
                ASSERT_TRUE(http.Running() && nut.Running());
            }
            const std::uint16_t http_port = http.Port();
            const std::uint16_t nut_port = nut.Port();
            display.HTTPPortE = display.NUTPortE = c.text;
            errors.Shown.clear();
            http.OnEnabledChanged();
            nut.OnEnabledChanged();
            EXPECT_EQ(errors.Shown,
                      (std::vector<std::string>{c.error, std::string("NUT server: ") + c.error}));
            EXPECT_EQ(http.Running(), running);
            EXPECT_EQ(nut.Running(), running);
            EXPECT_EQ(http.Port(), http_port);
            EXPECT_EQ(nut.Port(), nut_port);
            if (running) {
                EXPECT_TRUE(testing::LoopbackClient(http_port).Connected());
                EXPECT_TRUE(testing::LoopbackClient(nut_port).Connected());
            }
        }
    }
    EXPECT_TRUE(log.Logged.empty());
}

}  // namespace
}  // namespace gw::app
