// The program as a secondary of another machine's UPS: NUT's own upsd with nutdrv_qx on the
// simulated UPS, and the program's own daemon, as the primary. A mains failure starts the
// secondary's countdown; FSD and "on battery and low" make it log out and act at once, and the
// primary sees it go. A server that goes away and comes back, a wrong password and a UPS name
// the server does not know are each told, never a crash.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "integration/sim_process.h"
#include "link/port_map.h"

namespace gw {
namespace {

using namespace std::chrono_literals;

constexpr const char* kUpsd = "/lib/nut/upsd";  // /usr/sbin/upsd needs the machine's nut.conf
constexpr const char* kDriver = "/lib/nut/nutdrv_qx";
constexpr const char* kUpsc = "/usr/bin/upsc";
constexpr const char* kPython = "/usr/bin/python3";

std::string User() { return geteuid() == 0 ? "root" : std::string(getenv("USER") ?: "nobody"); }

class NutWatchTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!std::filesystem::exists(kUpsd) || !std::filesystem::exists(kDriver)) {
            GTEST_SKIP() << "nut-server is not installed";
        }
        testing::LinkAbsentPorts();
        root_ = home_.Root();
        conf_ = root_ + "/nut";
        std::filesystem::create_directories(conf_);
        std::filesystem::create_directories(root_ + "/nut-state");
        setenv("NUT_CONFPATH", conf_.c_str(), 1);
        setenv("NUT_STATEPATH", (root_ + "/nut-state").c_str(), 1);
        setenv("NUT_ALTPIDPATH", (root_ + "/nut-state").c_str(), 1);
    }

    // The simulator on COMn, nutdrv_qx on its pseudo-terminal and upsd serving it as "sim".
    void StartUpsd(int com) {
        sim_ = std::make_unique<testing::SimulatedUps>(com);
        ASSERT_TRUE(sim_->Ready());
        Write("ups.conf",
              "maxretry = 3\n[sim]\n  driver = nutdrv_qx\n  port = " + link::PortMapLink(com) +
                  "\n  protocol = megatec\n  pollinterval = 1\n");
        Write("upsd.conf", "LISTEN 127.0.0.1 " + std::to_string(port_) + "\nMAXAGE 5\n");
        Write("upsd.users",
              "[nas]\n  password = s3cret\n  upsmon secondary\n  instcmds = all\n"
              "[boss]\n  password = b0ss\n  upsmon primary\n");
        driver_ = std::make_unique<testing::BackgroundProgram>(
            std::vector<std::string>{kDriver, "-a", "sim", "-u", User(), "-F"});
        // The driver reads the unit before upsd may serve it.
        ASSERT_TRUE(driver_->WaitFor("Using protocol", 20s)) << driver_->Output();
        StartServer();
    }

    void StartServer() {
        upsd_ = std::make_unique<testing::BackgroundProgram>(
            std::vector<std::string>{kUpsd, "-F", "-u", User()});
        ASSERT_TRUE(upsd_->WaitFor("Connected to UPS [sim]", 20s)) << upsd_->Output();
        ASSERT_TRUE(UpscReads("sim", "ups.status", "OL", 20s));
    }

    void Write(const std::string& name, const std::string& text) {
        {
            std::ofstream file(conf_ + "/" + name);
            file << text;
        }
        std::filesystem::permissions(conf_ + "/" + name, std::filesystem::perms::owner_read |
                                                             std::filesystem::perms::owner_write);
    }

    // A program of its own folders and settings watching `target`.
    std::unique_ptr<testing::BackgroundProgram> Secondary(
        const std::string& name, const std::string& target,
        std::vector<std::pair<std::string, std::string>> settings) {
        const std::string dir = root_ + "/" + name;
        std::filesystem::create_directories(dir);
        testing::WriteSettingsFile(dir + "/settings.conf", settings);
        return std::make_unique<testing::BackgroundProgram>(std::vector<std::string>{
            GRIDWARDEND_PATH, "--power=simulated", "--refresh", "1", "--watch", target,
            "--settings", dir + "/settings.conf", "--journal-dir", dir, "--lock-dir", dir});
    }

    // The program's own daemon as the primary of the simulated UPS on COMn, serving this
    // test's port with the secondaries' login.
    std::unique_ptr<testing::BackgroundProgram> OwnPrimary(
        int com, std::vector<std::pair<std::string, std::string>> settings) {
        sim_ = std::make_unique<testing::SimulatedUps>(com);
        EXPECT_TRUE(sim_->Ready());
        const std::string dir = root_ + "/primary";
        std::filesystem::create_directories(dir);
        settings.insert(settings.begin(), {{"NUT Server", "1"},
                                           {"NUT Port", std::to_string(port_)},
                                           {"NUT User", "nas"},
                                           {"NUT Password", "s3cret"}});
        testing::WriteSettingsFile(dir + "/settings.conf", settings);
        auto primary = std::make_unique<testing::BackgroundProgram>(std::vector<std::string>{
            GRIDWARDEND_PATH, "--power=simulated", "--refresh", "1", "--com", std::to_string(com),
            "--settings", dir + "/settings.conf", "--journal-dir", dir, "--lock-dir", dir});
        EXPECT_TRUE(primary->WaitFor("UPS detected", 30s)) << primary->Output();
        return primary;
    }

    std::string Upsc(const std::vector<std::string>& args) {
        std::vector<std::string> all{kUpsc};
        all.insert(all.end(), args.begin(), args.end());
        return testing::RunProgram(all, 10s).Output;
    }

    std::string Target(const std::string& ups) const {
        return ups + "@127.0.0.1:" + std::to_string(port_);
    }

    bool UpscReads(const std::string& ups, const std::string& variable, const std::string& value,
                   std::chrono::seconds limit) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (Upsc({Target(ups), variable}) != value + "\n") {
            if (std::chrono::steady_clock::now() > end) return false;
            std::this_thread::sleep_for(200ms);
        }
        return true;
    }

    // The clients logged in to `ups`, as upsc -c lists them, until they read `clients`.
    bool ClientsRead(const std::string& ups, const std::string& clients,
                     std::chrono::seconds limit) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (Upsc({"-c", Target(ups)}) != clients) {
            if (std::chrono::steady_clock::now() > end) return false;
            std::this_thread::sleep_for(200ms);
        }
        return true;
    }

    testing::ScratchHome home_;
    std::string root_;
    std::string conf_;
    int port_ = testing::FreePort();
    std::unique_ptr<testing::SimulatedUps> sim_;
    std::unique_ptr<testing::BackgroundProgram> driver_;
    std::unique_ptr<testing::BackgroundProgram> upsd_;
};

constexpr const char* kLoggedIn = "answers: logged in as a secondary";
constexpr const char* kPowerOff = "Simulated power action: Power off";

// Everything after `first` in `output` comes before `second`, both there.
::testing::AssertionResult InOrder(const std::string& output, const std::string& first,
                                   const std::string& second) {
    const std::size_t a = output.find(first);
    const std::size_t b = output.find(second);
    if (a == std::string::npos || b == std::string::npos || a > b) {
        return ::testing::AssertionFailure()
               << "\"" << first << "\" before \"" << second << "\" in:\n"
               << output;
    }
    return ::testing::AssertionSuccess();
}

TEST_F(NutWatchTest, UpsdOnBatteryCountsDownAndOnBatteryLowLogsOutAndActs) {
    StartUpsd(4);
    auto secondary = Secondary("low", Target("sim"),
                               {{"Watch User", "nas"},
                                {"Watch Password", "s3cret"},
                                {"Delay", "600"},
                                {"UPS Shutdown", "1"}});
    ASSERT_TRUE(secondary->WaitFor(kLoggedIn, 20s)) << secondary->Output();
    // The primary counts it.
    ASSERT_TRUE(ClientsRead("sim", "127.0.0.1\n", 10s)) << Upsc({"-c", Target("sim")});

    ASSERT_TRUE(sim_->Send("fail"));
    ASSERT_TRUE(secondary->WaitFor("Power Fail", 20s)) << secondary->Output();
    EXPECT_EQ(secondary->Output().find(kPowerOff), std::string::npos) << secondary->Output();

    ASSERT_TRUE(sim_->Send("low"));
    ASSERT_TRUE(secondary->WaitFor(kPowerOff, 30s)) << secondary->Output();
    const std::string output = secondary->Output();
    EXPECT_TRUE(InOrder(output, "on battery and low: acting now", "Logged out of"));
    EXPECT_TRUE(InOrder(output, "Logged out of", kPowerOff));
    // Switching the UPS off is the primary's: "UPS Shutdown" is dropped, and said so.
    EXPECT_NE(output.find("UPS Shutdown is not sent to a watched UPS"), std::string::npos)
        << output;
    EXPECT_TRUE(ClientsRead("sim", "", 10s)) << Upsc({"-c", Target("sim")});
    EXPECT_EQ(secondary->Stop(), 0);
}

TEST_F(NutWatchTest, UpsdForcedShutdownActsAtOnceOnMains) {
    StartUpsd(5);
    auto secondary =
        Secondary("fsd", Target("sim"), {{"Watch User", "nas"}, {"Watch Password", "s3cret"}});
    ASSERT_TRUE(secondary->WaitFor(kLoggedIn, 20s)) << secondary->Output();
    // The primary's own monitor raises FSD, as upsmon does before it cuts the power.
    const std::string fsd =
        "import socket\n"
        "s = socket.create_connection(('127.0.0.1', " +
        std::to_string(port_) +
        "))\n"
        "f = s.makefile('rw')\n"
        "for line in ['USERNAME boss', 'PASSWORD b0ss', 'LOGIN sim', 'MASTER sim', 'FSD sim']:\n"
        "    f.write(line + '\\n'); f.flush()\n"
        "    if not f.readline().startswith('OK'): raise SystemExit(line)\n";
    ASSERT_EQ(testing::RunProgram({kPython, "-c", fsd}, 20s, testing::Streams::Both).ExitStatus, 0);
    ASSERT_TRUE(secondary->WaitFor(kPowerOff, 20s)) << secondary->Output();
    const std::string output = secondary->Output();
    EXPECT_TRUE(InOrder(output, "forced shutdown (FSD): acting now", "Logged out of"));
    EXPECT_TRUE(InOrder(output, "Logged out of", kPowerOff));
    EXPECT_TRUE(ClientsRead("sim", "", 10s)) << Upsc({"-c", Target("sim")});
}

TEST_F(NutWatchTest, ServerAwayWrongPasswordAndUnknownUpsAreToldAndRetried) {
    StartUpsd(6);
    auto good =
        Secondary("good", Target("sim"), {{"Watch User", "nas"}, {"Watch Password", "s3cret"}});
    auto wrong =
        Secondary("wrong", Target("sim"), {{"Watch User", "nas"}, {"Watch Password", "no"}});
    auto unknown = Secondary("unknown", Target("nosuch"),
                             {{"Watch User", "nas"}, {"Watch Password", "s3cret"}});
    ASSERT_TRUE(good->WaitFor(kLoggedIn, 20s)) << good->Output();
    EXPECT_TRUE(wrong->WaitFor("login refused (ACCESS-DENIED); next try in 2 s", 20s))
        << wrong->Output();
    EXPECT_TRUE(unknown->WaitFor("no such UPS on the server; next try in 2 s", 20s))
        << unknown->Output();

    upsd_->Stop();
    ASSERT_TRUE(good->WaitFor(": not reachable (", 20s)) << good->Output();
    StartServer();
    // Told once when it answers again, and logged in again.
    const auto end = std::chrono::steady_clock::now() + 30s;
    std::string output;
    do {
        std::this_thread::sleep_for(200ms);
        output = good->Output();
    } while (output.find(kLoggedIn, output.find(": not reachable (")) == std::string::npos &&
             std::chrono::steady_clock::now() < end);
    EXPECT_NE(output.find(kLoggedIn, output.find(": not reachable (")), std::string::npos)
        << output;
    EXPECT_TRUE(ClientsRead("sim", "127.0.0.1\n", 10s)) << Upsc({"-c", Target("sim")});
    for (auto* program : {good.get(), wrong.get(), unknown.get()}) EXPECT_EQ(program->Stop(), 0);
}

TEST_F(NutWatchTest, OwnDaemonAsPrimaryTellsTheSecondaryToShutDownAndWaitsForIt) {
    const auto primary = OwnPrimary(7, {{"Delay", "10"}});
    if (HasFailure()) return;
    auto secondary =
        Secondary("second", Target("gridwarden"),
                  {{"Watch User", "nas"}, {"Watch Password", "s3cret"}, {"Delay", "600"}});
    ASSERT_TRUE(secondary->WaitFor(kLoggedIn, 20s)) << secondary->Output();
    ASSERT_TRUE(ClientsRead("gridwarden", "127.0.0.1\n", 10s))
        << Upsc({"-c", Target("gridwarden")});

    ASSERT_TRUE(sim_->Send("fail"));
    ASSERT_TRUE(secondary->WaitFor("Power Fail", 20s)) << secondary->Output();
    // The primary's 10 s run out: it raises FSD, the secondary logs out and acts, and only then
    // does the primary act.
    ASSERT_TRUE(primary->WaitFor(kPowerOff, 40s)) << primary->Output() << secondary->Output();
    ASSERT_TRUE(secondary->WaitFor(kPowerOff, 10s)) << secondary->Output();
    EXPECT_TRUE(InOrder(secondary->Output(), "Logged out of", kPowerOff));
    EXPECT_TRUE(InOrder(primary->Output(), "Telling 1 other machine(s) to shut down", kPowerOff));
    EXPECT_EQ(secondary->Stop(), 0);
    EXPECT_EQ(primary->Stop(), 0);
}

TEST_F(NutWatchTest, OwnDaemonOnBatteryAndLowSendsTheSecondaryDownFirst) {
    // The primary itself waits: only the secondary acts on "on battery and low".
    const auto primary =
        OwnPrimary(8, {{"Delay", "600"}, {"Voltage Action", "0"}, {"Runtime Action", "0"}});
    if (HasFailure()) return;
    auto secondary = Secondary("low-own", Target("gridwarden"),
                               {{"Watch User", "nas"}, {"Watch Password", "s3cret"}});
    ASSERT_TRUE(secondary->WaitFor(kLoggedIn, 20s)) << secondary->Output();
    ASSERT_TRUE(ClientsRead("gridwarden", "127.0.0.1\n", 10s));

    ASSERT_TRUE(sim_->Send("low"));
    ASSERT_TRUE(secondary->WaitFor(kPowerOff, 30s)) << secondary->Output() << primary->Output();
    const std::string output = secondary->Output();
    EXPECT_TRUE(InOrder(output, "on battery and low: acting now", "Logged out of"));
    EXPECT_TRUE(InOrder(output, "Logged out of", kPowerOff));
    EXPECT_TRUE(ClientsRead("gridwarden", "", 10s)) << Upsc({"-c", Target("gridwarden")});
    EXPECT_EQ(primary->Output().find(kPowerOff), std::string::npos) << primary->Output();
    EXPECT_EQ(secondary->Stop(), 0);
    EXPECT_EQ(primary->Stop(), 0);
}

TEST(WatchOption, TakesOnlyOneUpsNamedAsNutClientsNameIt) {
    // clang-format off
    const std::vector<std::string> refused[] = {
        {"--watch", "nas"},
        {"--watch", "ups@nas:0"},
        {"--watch"},
        {"--com", "1", "--watch", "ups@nas"},
    };
    // clang-format on
    for (const auto& args : refused) {
        std::vector<std::string> all{GRIDWARDEND_PATH};
        all.insert(all.end(), args.begin(), args.end());
        EXPECT_EQ(testing::RunProgram(all, 10s).ExitStatus, 2) << args.back();
    }
}

}  // namespace
}  // namespace gw
