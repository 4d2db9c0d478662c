// The HTTP tab's reactions: the port text (under the same rule as the network UPS server's),
// the two start failures and their message-box texts, which fields may be edited, and the copy
// of the display the server answers from.
#include "app/http_service.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/nut_service.h"
#include "fakes/recording_dialogs.h"
#include "fakes/recording_log.h"
#include "link/plain_main_loop.h"
#include "reports/loopback_client.h"

namespace gw::app {
namespace {

using Errors = fakes::RecordingDialogs;
using Lines = fakes::RecordingLog;

std::string Get(std::uint16_t port, const std::string& header = {}) {
    testing::LoopbackClient client(port);
    client.Send("GET / HTTP/1.1\r\n" + header + "\r\n");
    bool closed = false;
    const std::string answer = client.ReadToEnd(closed);
    return answer.substr(0, answer.find("\r\n"));
}

class HttpServiceTest : public ::testing::Test {
protected:
    // A port nobody listens on now.
    std::uint16_t FreePort() {
        reports::PageSource source;
        reports::HttpServer probe(source);
        EXPECT_EQ(probe.Start(0), "");
        return probe.Port();
    }

    link::PlainMainLoop loop_;
    monitor::DisplayModel display_;
    link::UpsLink ups_;
    monitor::UpsStateKeeper state_;
    Errors errors_;
    Lines log_;
    HttpService service_{loop_, display_, ups_, state_, errors_, log_};
};

TEST_F(HttpServiceTest, PortTextThatIsNoPortIsShownOnceAndLeavesEitherServerAsItWas) {
    struct Case {
        const char* text;
        const char* error;  // the network UPS server's with "NUT server: " before it
    };
    // clang-format off
    const Case cases[] = {
        {"80a",         "'80a' is not a valid integer value"},
        {"",            "'' is not a valid integer value"},
        {" 8080",       "' 8080' is not a valid integer value"},
        {"99999999999", "'99999999999' is not a valid integer value"},
        {"70000",       "'70000' is not a port number (1 to 65535)"},
        {"0",           "'0' is not a port number (1 to 65535)"},
        {"-1",          "'-1' is not a port number (1 to 65535)"},
    };
    // clang-format on
    NutService nut(loop_, display_, ups_, errors_, log_, "0.1.0");
    display_.HTTPCB = display_.NUTServerCB = true;
    for (const bool running : {false, true}) {
        if (running) {
            display_.HTTPPortE = std::to_string(FreePort());
            service_.OnEnabledChanged();
            display_.NUTPortE = std::to_string(FreePort());
            nut.OnEnabledChanged();
            ASSERT_TRUE(service_.Running() && nut.Running());
        }
        const std::uint16_t ports[] = {service_.Port(), nut.Port()};
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.text) + (running ? " running" : " stopped"));
            display_.HTTPPortE = display_.NUTPortE = c.text;
            errors_.Shown.clear();
            service_.OnEnabledChanged();
            nut.OnEnabledChanged();
            EXPECT_EQ(errors_.Shown,
                      (std::vector<std::string>{c.error, std::string("NUT server: ") + c.error}));
            EXPECT_EQ(service_.Port(), ports[0]);
            EXPECT_EQ(nut.Port(), ports[1]);
            EXPECT_EQ(service_.PortEditable(), !running);
        }
    }
    EXPECT_EQ(ParsePortText("+8080"), 8080);
}

TEST_F(HttpServiceTest, StartsOnTheFieldsPortAndAnswersFromTheDisplay) {
    const std::uint16_t port = FreePort();
    display_.HTTPPortE = std::to_string(port);
    display_.HTTPCB = true;
    service_.OnEnabledChanged();
    ASSERT_TRUE(service_.Running()) << (errors_.Shown.empty() ? "" : errors_.Shown[0]);
    EXPECT_FALSE(service_.PortEditable());
    EXPECT_EQ(Get(port), "HTTP/1.1 200 OK");

    // A user name asks for credentials from the next copy on, ticked box or not.
    display_.HTTPUserE = "admin";
    EXPECT_FALSE(service_.CredentialsEditable());
    service_.Publish();
    EXPECT_EQ(Get(port), "HTTP/1.1 401 Unauthorized");
    EXPECT_EQ(Get(port, "Authorization: Basic YWRtaW46eA==\r\n"), "HTTP/1.1 401 Unauthorized");

    display_.HTTPCB = false;
    display_.HTTPPortE = "not a number";  // unticking stops whatever the field holds
    service_.OnEnabledChanged();
    EXPECT_FALSE(service_.Running());
    EXPECT_TRUE(service_.PortEditable());
    EXPECT_TRUE(errors_.Shown.empty());
    // The wrong password ("admin:x") reaches the log when the server stops, at the latest.
    EXPECT_EQ(log_.Lines, std::vector<std::string>{"1 failed logins from 127.0.0.1"});
}

TEST_F(HttpServiceTest, PortInUseIsShownAndTickingAgainRetries) {
    reports::PageSource source;
    auto holder = std::make_unique<reports::HttpServer>(source);
    ASSERT_EQ(holder->Start(0), "");
    display_.HTTPPortE = std::to_string(holder->Port());
    display_.HTTPCB = true;
    service_.OnEnabledChanged();
    EXPECT_EQ(errors_.Shown, std::vector<std::string>{
                                 "Could not bind socket. Address and port are already in use."});
    EXPECT_FALSE(service_.Running());
    EXPECT_TRUE(display_.HTTPCB);

    holder.reset();
    service_.OnEnabledChanged();
    EXPECT_TRUE(service_.Running());
}

}  // namespace
}  // namespace gw::app
