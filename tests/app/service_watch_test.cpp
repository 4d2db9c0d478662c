// The window beside the system service: while the service holds its lock, the program shows the
// service's UPS through its network UPS server on the loopback address, with no setting made,
// sends the tool bar's commands there as instant commands, and leaves the protection to the
// service (no LOGIN, so the service never waits for it, and no countdown of its own).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "app/application.h"
#include "fakes/manual_main_loop.h"
#include "fakes/scripted_nut_server.h"

namespace gw::app {
namespace {

using namespace std::chrono_literals;

class SilentPresentation final : public Presentation {
public:
    void ShowTrayBalloon(std::string_view, std::string_view, monitor::BalloonIcon) override {}
    void SetTrayIcon(int) override {}
    void ShowStatus(std::string_view text) override { status = std::string(text); }
    std::optional<int> ChooseComPort(const std::vector<std::string>&, int) override {
        return std::nullopt;
    }
    int ChooseBatteryVoltage() override { return 12; }
    void ShowError(std::string_view text) override { errors.emplace_back(text); }
    std::string status;
    std::vector<std::string> errors;
};

// The service's server: one UPS "gridwarden" whose status the test sets.
std::string Service(const std::string& line, const std::string& status) {
    if (line == "LIST CMD gridwarden") {
        return "BEGIN LIST CMD gridwarden\nCMD gridwarden beeper.toggle\n"
               "CMD gridwarden test.battery.start.quick\nEND LIST CMD gridwarden\n";
    }
    if (line == "LIST VAR gridwarden") {
        return "BEGIN LIST VAR gridwarden\nVAR gridwarden ups.status \"" + status +
               "\"\nVAR gridwarden battery.charge \"64\"\nVAR gridwarden battery.runtime \"1260\""
               "\nEND LIST VAR gridwarden\n";
    }
    if (line == "INSTCMD gridwarden beeper.toggle") return "OK\n";
    return "ERR ACCESS-DENIED\n";
}

TEST(ServiceWatch, TheWindowShowsTheServicesUpsAndSendsItsCommands) {
    const std::string root =
        std::filesystem::temp_directory_path() / ("gw_service_watch_" + std::to_string(getpid()));
    std::filesystem::create_directories(root + "/service");
    std::filesystem::create_directories(root + "/own");
    InstanceLocks service;
    service.Take(root + "/service");
    ASSERT_FALSE(service.AnotherCopyRuns);

    std::string status = "OL";
    std::mutex status_mutex;
    fakes::ScriptedServer server([&](const std::string& line) {
        std::lock_guard<std::mutex> lock(status_mutex);
        return Service(line, status);
    });
    fakes::ManualLoop loop;
    SilentPresentation ui;
    ApplicationOptions options;
    options.Power = PowerBackend::Simulated;
    options.JournalDir = root + "/own";
    options.KeepHistory = false;
    options.SettingsPath = root + "/own/settings.conf";
    options.ManageAutostart = false;
    options.RuntimeDir = root + "/own";
    options.ServiceLockDir = root + "/service";
    options.ServiceWatch = "gridwarden@127.0.0.1:" + std::to_string(server.Port());
    options.WatchHidDevices = false;
    Application app(loop, ui, options, [] {});
    ASSERT_EQ(app.StartUp(), Application::Started::Running);
    ASSERT_TRUE(app.ServiceRuns());
    ASSERT_NE(app.Watch(), nullptr);
    EXPECT_FALSE(app.Watch()->Secondary());
    loop.AdvanceBy(100ms);

    const auto run_until = [&](const std::function<bool()>& done) {
        for (int i = 0; i < 1000 && !done(); ++i) {
            loop.RunUntilIdle();
            std::this_thread::sleep_for(10ms);
        }
        return done();
    };
    ASSERT_TRUE(run_until([&] { return app.State().Current().Up(); })) << ui.status;
    const monitor::UpsState state = app.State().Current();
    EXPECT_EQ(state.Source, "gridwarden@127.0.0.1:" + std::to_string(server.Port()));
    EXPECT_EQ(state.Battery.ChargePercent, 64);
    EXPECT_EQ(state.Battery.RuntimeSeconds, 1260);
    EXPECT_TRUE(state.Battery.RuntimeReported);
    EXPECT_EQ(app.Display().COMLCaption, state.Source);

    // What the server lists may be sent; the timed test has no instant command.
    const monitor::DisplayModel& d = app.Display();
    EXPECT_TRUE(d.UPSBeeperSBEnabled);
    EXPECT_TRUE(d.Test10sSBEnabled);
    EXPECT_FALSE(d.TestLowSBEnabled);
    EXPECT_NE(d.TestLowSBWhy.find("does not offer test.battery.start.deep"), std::string::npos);
    EXPECT_FALSE(d.TestTSBEnabled);
    EXPECT_FALSE(d.TestTSBWhy.empty());
    app.SendCommand(monitor::UserCommand::ToggleBeeper, 0);
    app.SendCommand(monitor::UserCommand::Test10s, 0);
    ASSERT_TRUE(run_until([&] { return !app.Display().Test10sSBEnabled; }));
    EXPECT_NE(d.Test10sSBWhy.find("refused test.battery.start.quick"), std::string::npos);

    // A power failure is the service's to act on: nothing counts down here.
    {
        std::lock_guard<std::mutex> lock(status_mutex);
        status = "OB LB FSD";
    }
    ASSERT_TRUE(run_until([&] { return app.State().Current().OnBattery(); }));
    EXPECT_EQ(app.Response().State(), monitor::ResponseState::Idle);
    for (const std::string& line : app.Log().Lines()) {
        EXPECT_EQ(line.find("acting now"), std::string::npos) << line;
    }

    const std::vector<std::string> lines = server.Lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "INSTCMD gridwarden beeper.toggle"), 1);
    for (const std::string& line : lines) EXPECT_NE(line.rfind("LOGIN", 0), 0u) << line;
    app.Close();
    std::filesystem::remove_all(root);
}

// The power-fail settings are stored only while there is a UPS to protect from: a watched one
// counts as much as one on the port.
TEST(ServiceWatch, AWatchedUpsKeepsThePowerFailSettings) {
    const std::string root =
        std::filesystem::temp_directory_path() / ("gw_watch_save_" + std::to_string(getpid()));
    std::filesystem::create_directories(root);
    fakes::ScriptedServer server([](const std::string& line) { return Service(line, "OL"); });
    fakes::ManualLoop loop;
    SilentPresentation ui;
    ApplicationOptions options;
    options.Power = PowerBackend::Simulated;
    options.JournalDir = root;
    options.KeepHistory = false;
    options.SettingsPath = root + "/settings.conf";
    options.ManageAutostart = false;
    options.RuntimeDir = root;
    options.ServiceLockDir.clear();
    options.Watch = "gridwarden@127.0.0.1:" + std::to_string(server.Port());
    options.WatchHidDevices = false;
    {
        Application app(loop, ui, options, [] {});
        ASSERT_EQ(app.StartUp(), Application::Started::Running);
        loop.AdvanceBy(100ms);
        for (int i = 0; i < 1000 && !app.State().Current().Up(); ++i) {
            loop.RunUntilIdle();
            std::this_thread::sleep_for(10ms);
        }
        ASSERT_TRUE(app.State().Current().Up());
        EXPECT_TRUE(app.Watch()->Secondary());
        app.Display().DelayUD.Position = 120;
        app.Close();
    }
    std::ifstream file(root + "/settings.conf");
    const std::string text((std::istreambuf_iterator<char>(file)),
                           std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("Delay=120"), std::string::npos) << text;
    std::filesystem::remove_all(root);
}

}  // namespace
}  // namespace gw::app
