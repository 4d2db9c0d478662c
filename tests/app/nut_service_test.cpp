// The network UPS server's life as the service runs it: the listener on the loopback address
// beside "NUT Server" (one listener where they overlap, a taken port told once), and the
// instant commands carried to the main thread, logged with the client's address.
#include "app/nut_service.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "fakes/manual_main_loop.h"
#include "fakes/recording_dialogs.h"
#include "fakes/recording_log.h"
#include "reports/loopback_client.h"

namespace gw::app {
namespace {

using Client = testing::LoopbackClient;

using Errors = fakes::RecordingDialogs;
using Lines = fakes::RecordingLog;

std::string Ask(std::uint16_t port, const std::vector<std::string>& lines, const char* end) {
    Client client(port);
    if (!client.Connected()) return "not connected";
    std::string answer;
    for (const std::string& line : lines) {
        client.Send(line + "\n");
        answer = client.ReadUntil(end);
    }
    return answer;
}

std::string NumLogins(std::uint16_t port) { return Ask(port, {"GET NUMLOGINS gridwarden"}, "\n"); }

class NutServiceTest : public ::testing::Test {
protected:
    // A port nobody listens on now.
    static std::uint16_t FreePort() {
        reports::NutSource source;
        reports::NutServer probe(source);
        EXPECT_EQ(probe.Start("127.0.0.1", 0), "");
        return probe.Port();
    }
    void SetUp() override {
        // A UPS that has just answered: commands have something to go to.
        ups_.UpsFound = true;
        monitor::UpsState state;
        state.NewReply = true;
        service_.OnCycle(state, false);
        display_.NUTUserE = "nas";
        display_.NUTPasswordE = "s3cret";
        service_.SetCommandRunner(
            [this](monitor::UserCommand which, int minutes) { ran_.emplace_back(which, minutes); });
    }

    fakes::ManualLoop loop_;
    monitor::DisplayModel display_;
    link::UpsLink ups_;
    Errors errors_;
    Lines log_;
    NutService service_{loop_, display_, ups_, errors_, log_, "0.1.0"};
    std::vector<std::pair<monitor::UserCommand, int>> ran_;
};

TEST_F(NutServiceTest, LoopbackListenerGivesWayToAServerThatCoversIt) {
    const std::uint16_t port = FreePort();
    service_.SetLoopbackPort(port);
    ASSERT_EQ(service_.LoopbackPort(), port);
    EXPECT_TRUE(service_.Running());

    struct Case {
        const char* Address;
        bool SamePort;
        bool Covers;
    };
    const Case cases[] = {
        {"127.0.0.1", true, true},
        {"0.0.0.0", true, true},
        {"127.0.0.1", false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.Address) + (c.SamePort ? " same port" : " other port"));
        display_.NUTServerCB = true;
        display_.NUTAddressE = c.Address;
        const std::uint16_t served = c.SamePort ? port : FreePort();
        display_.NUTPortE = std::to_string(served);
        service_.OnEnabledChanged();
        EXPECT_EQ(errors_.Shown, std::vector<std::string>{});
        EXPECT_EQ(service_.Port(), served);
        EXPECT_EQ(service_.LoopbackPort(), c.Covers ? 0 : port);
        // Either way this machine finds the server where it looks.
        EXPECT_EQ(NumLogins(port), "NUMLOGINS gridwarden 0\n");
        display_.NUTServerCB = false;
        service_.OnEnabledChanged();
        EXPECT_EQ(service_.Port(), 0);
        EXPECT_EQ(service_.LoopbackPort(), port) << "back when the server stops";
    }
    EXPECT_EQ(log_.Lines, std::vector<std::string>{});
    // A secondary of the listener alone is told and counted as any.
    Client secondary(port);
    for (const char* line : {"USERNAME nas", "PASSWORD s3cret", "LOGIN gridwarden"}) {
        secondary.Send(std::string(line) + "\n");
        secondary.ReadUntil("\n");
    }
    EXPECT_EQ(service_.TellToShutDown(), 1);

    service_.SetLoopbackPort(0);
    EXPECT_FALSE(service_.Running());
    EXPECT_EQ(NumLogins(port), "not connected");
}

TEST_F(NutServiceTest, TakenPortIsToldOnceAndTheRestGoesOn) {
    reports::NutSource other_source;
    reports::NutServer local_upsd(other_source);
    ASSERT_EQ(local_upsd.Start("127.0.0.1", 0), "");
    const std::uint16_t port = local_upsd.Port();
    service_.SetLoopbackPort(port);
    EXPECT_FALSE(service_.Running());
    EXPECT_EQ(errors_.Shown, std::vector<std::string>{}) << "no message box in the service";
    EXPECT_EQ(log_.Lines,
              std::vector<std::string>{
                  "NUT server for this machine not started on 127.0.0.1:" + std::to_string(port) +
                  ": Could not bind socket. Address and port are already "
                  "in use."});
    // The configured server still starts elsewhere.
    display_.NUTServerCB = true;
    display_.NUTPortE = std::to_string(FreePort());
    service_.OnEnabledChanged();
    EXPECT_NE(service_.Port(), 0);
    EXPECT_EQ(log_.Lines.size(), 1u);
}

TEST_F(NutServiceTest, InstantCommandsRunOnTheMainThreadAndAreLogged) {
    const std::uint16_t port = FreePort();
    service_.SetLoopbackPort(port);
    // The UPS refused the beeper toggle once: its button is off, and it is not offered.
    display_.UPSBeeperSBEnabled = false;
    service_.Publish();
    const std::string list = Ask(port, {"LIST CMD gridwarden"}, "END LIST CMD gridwarden\n");
    EXPECT_NE(list.find("CMD gridwarden test.battery.start.quick\n"), std::string::npos) << list;
    EXPECT_EQ(list.find("beeper.toggle"), std::string::npos) << list;

    const std::vector<std::string> login{"USERNAME nas", "PASSWORD s3cret"};
    const auto send = [&](const std::string& command) {
        std::vector<std::string> lines = login;
        lines.push_back("INSTCMD gridwarden " + command);
        return Ask(port, lines, "\n");
    };
    EXPECT_EQ(send("test.battery.start.deep"), "OK\n");
    EXPECT_EQ(send("test.battery.start 120"), "OK\n");
    EXPECT_TRUE(ran_.empty()) << "only on the main thread";
    loop_.RunUntilIdle();
    const std::vector<std::pair<monitor::UserCommand, int>> ran{
        {monitor::UserCommand::TestUntilLow, 0}, {monitor::UserCommand::TestMinutes, 2}};
    EXPECT_EQ(ran_, ran);
    EXPECT_EQ(log_.Lines,
              (std::vector<std::string>{"NUT command test.battery.start.deep from 127.0.0.1",
                                        "NUT command test.battery.start from 127.0.0.1"}));

    // Commands sent faster than the main thread runs them do not pile up before it.
    for (int i = 0; i < NutService::kMostCommandsWaiting; ++i) {
        EXPECT_EQ(send("test.battery.stop"), "OK\n");
    }
    EXPECT_EQ(send("test.battery.stop"), "ERR INSTCMD-FAILED\n");
    loop_.RunUntilIdle();
    EXPECT_EQ(ran_.size(), ran.size() + NutService::kMostCommandsWaiting);
    EXPECT_EQ(send("test.battery.stop"), "OK\n") << "room again";
}

}  // namespace
}  // namespace gw::app
