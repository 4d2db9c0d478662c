// LAN messages as desktop notifications, against a notification service that is not the
// user's: a private dbus-daemon with python3-dbusmock's notification daemon on it.
#include <gtest/gtest.h>
#include <sdbus-c++/sdbus-c++.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <thread>

#include "fakes/bus_name.h"
#include "reports/lan_report.h"
#include "reports/mail_peer_process.h"
#include "reports/notifier.h"

namespace gw::reports {
namespace {

using namespace std::chrono_literals;

constexpr const char* kDaemon = "/usr/bin/dbus-daemon";
constexpr const char* kPython = "/usr/bin/python3";
constexpr const char* kService = "org.freedesktop.Notifications";

std::vector<std::string> EnvironmentFor(const std::string& address) {
    std::vector<std::string> env;
    for (char** entry = environ; *entry; ++entry) {
        if (std::strncmp(*entry, "DBUS_SESSION_BUS_ADDRESS=", 25) != 0) env.emplace_back(*entry);
    }
    env.push_back("DBUS_SESSION_BUS_ADDRESS=" + address);
    return env;
}

struct NotifyCall {
    std::string AppName;
    std::string Icon;
    std::string Summary;
    std::string Body;
    std::uint8_t Urgency = 0;
    std::int32_t Expiry = -2;
};

class DesktopNotifications : public ::testing::Test {
protected:
    void SetUp() override {
        if (access(kDaemon, X_OK) != 0) GTEST_SKIP() << "dbus-daemon is not installed";
        if (gw::testing::RunQuietly({kPython, "-c", "import dbusmock"}) != 0) {
            GTEST_SKIP() << "python3-dbusmock is not installed";
        }
        daemon_ = std::make_unique<gw::testing::PeerProcess>(
            std::vector<std::string>{kDaemon, "--session", "--print-address", "--nofork"});
        address_ = daemon_->ReadLine(10s);
        ASSERT_FALSE(address_.empty()) << "dbus-daemon printed no address";
        control_ = sdbus::createSessionBusConnectionWithAddress(address_);
    }

    void StartService() {
        mock_ = std::make_unique<gw::testing::PeerProcess>(
            std::vector<std::string>{kPython, "-m", "dbusmock", "--template",
                                     "notification_daemon"},
            EnvironmentFor(address_));
        ASSERT_TRUE(fakes::WaitForBusName(*control_, kService)) << "the mock never took its name";
    }

    std::vector<NotifyCall> Calls() {
        auto mock = sdbus::createProxy(*control_, kService, "/org/freedesktop/Notifications");
        std::vector<sdbus::Struct<std::uint64_t, std::vector<sdbus::Variant>>> logged;
        mock->callMethod("GetMethodCalls")
            .onInterface("org.freedesktop.DBus.Mock")
            .withArguments(std::string("Notify"))
            .storeResultsTo(logged);
        std::vector<NotifyCall> calls;
        for (const auto& entry : logged) {
            const auto& args = std::get<1>(entry);
            NotifyCall call;
            call.AppName = args.at(0).get<std::string>();
            call.Icon = args.at(2).get<std::string>();
            call.Summary = args.at(3).get<std::string>();
            call.Body = args.at(4).get<std::string>();
            const auto hints = args.at(6).get<std::map<std::string, sdbus::Variant>>();
            if (hints.count("urgency")) call.Urgency = hints.at("urgency").get<std::uint8_t>();
            call.Expiry = args.at(7).get<std::int32_t>();
            calls.push_back(call);
        }
        return calls;
    }

    LanStatus Send(const std::string& server, const std::string& text) {
        auto notifier = CreateDesktopNotifier(address_);
        return SendLanReport({server, "ups-host"}, text, *notifier);
    }

    std::unique_ptr<gw::testing::PeerProcess> daemon_;
    std::unique_ptr<gw::testing::PeerProcess> mock_;
    std::string address_;
    std::unique_ptr<sdbus::IConnection> control_;
};

TEST_F(DesktopNotifications, WarningsAreCriticalReportsNormalAndTheTextIsUtf8) {
    StartService();
    // clang-format off
    struct Case { const char* Server; const char* Text; const char* Icon; std::uint8_t Urgency;
                  const char* Body; };
    const Case cases[] = {
        {"",          "Warning - 2026-12-09 03:00:00 Power fail\r\nVID: 0x PID: 0x Product: \r\n",
         "dialog-warning", 2,
         "From: ups-host\nWarning - 2026-12-09 03:00:00 Power fail\nVID: 0x PID: 0x Product: \n"},
        {"localhost", "Report - 2026-12-09\r\nTemperature = 25.0 \260C\r\n",
         "dialog-information", 1,
         "From: ups-host\nReport - 2026-12-09\nTemperature = 25.0 \302\260C\n"},
        {"UPS-HOST",  "Information - 2026-12-09 03:01:00 Power O.K.\r\n",
         "dialog-information", 1,
         "From: ups-host\nInformation - 2026-12-09 03:01:00 Power O.K.\n"},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Text);
        EXPECT_STREQ(StatusText(Send(c.Server, c.Text)), "LAN Report sending success");
    }
    const auto calls = Calls();
    ASSERT_EQ(calls.size(), std::size(cases));
    for (std::size_t i = 0; i < calls.size(); ++i) {
        EXPECT_EQ(calls[i].AppName, "Gridwarden");
        EXPECT_EQ(calls[i].Summary, "Gridwarden");
        EXPECT_EQ(calls[i].Icon, cases[i].Icon);
        EXPECT_EQ(calls[i].Urgency, cases[i].Urgency);
        EXPECT_EQ(calls[i].Body, cases[i].Body);
        EXPECT_EQ(calls[i].Expiry, 0);  // stays until the user closes it
    }
}

TEST_F(DesktopNotifications, AnotherComputerCannotBeOpened) {
    StartService();
    EXPECT_STREQ(StatusText(Send("other-pc", "Warning - x")), "Could not open server!");
    EXPECT_TRUE(Calls().empty());
}

TEST_F(DesktopNotifications, NoServiceOnTheBus) {
    EXPECT_STREQ(StatusText(Send("", "Report - x")), "LAN Report sending failed!");
}

}  // namespace
}  // namespace gw::reports
