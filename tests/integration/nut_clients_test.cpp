// Other machines' monitors against the running program: Debian's own network UPS clients
// (upsc, upsmon as a secondary, upscmd) and the Python client read the served UPS, follow a
// mains failure, and shut their machine down before the program's own power action; the daemon
// serves this machine on the loopback address with "NUT Server" off, and runs the tool bar's
// commands for the configured login only.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "integration/sim_process.h"

namespace gw {
namespace {

using namespace std::chrono_literals;

constexpr const char* kPython = "/usr/bin/python3";
constexpr const char* kUpsc = "/usr/bin/upsc";
constexpr const char* kUpscmd = "/usr/bin/upscmd";
// Debian's /sbin/upsmon only starts the daemon when the machine's nut.conf enables it.
constexpr const char* kUpsmon = "/lib/nut/upsmon";

class NutClientsTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!std::filesystem::exists(kUpsc) || !std::filesystem::exists(kUpsmon)) {
            GTEST_SKIP() << "nut-client is not installed";
        }
        testing::LinkAbsentPorts();
        target_ = "gridwarden@127.0.0.1:" + std::to_string(port_);
    }

    // The window program headless with "NUT Server" on, or the daemon with it off and its
    // loopback listener on the test's port.
    void StartProgram(int com, std::vector<std::pair<std::string, std::string>> settings,
                      bool daemon = false) {
        settings.insert(settings.end(), {{"NUT Server", daemon ? "0" : "1"},
                                         {"NUT Port", std::to_string(port_)},
                                         {"NUT User", "nas"},
                                         {"NUT Password", "s3cret"}});
        testing::WriteSettings(settings);
        sim_ = std::make_unique<testing::SimulatedUps>(com);
        ASSERT_TRUE(sim_->Ready());
        std::vector<std::string> args{GRIDWARDEN_PATH, "--headless"};
        if (daemon) args = {GRIDWARDEND_PATH, "--nut-loopback", std::to_string(port_)};
        args.insert(args.end(),
                    {"--power=simulated", "--refresh", "1", "--com", std::to_string(com)});
        program_ = std::make_unique<testing::BackgroundProgram>(args);
        ASSERT_TRUE(program_->WaitFor("UPS detected", 30s)) << program_->Output();
    }

    std::string Upsc(const std::string& variable = {}) {
        std::vector<std::string> args{kUpsc, target_};
        if (!variable.empty()) args.push_back(variable);
        return testing::RunProgram(args, 10s).Output;
    }

    // Polls `variable` until it reads `value`, for at most `limit`.
    bool UpscReads(const std::string& variable, const std::string& value,
                   std::chrono::seconds limit) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (Upsc(variable) != value + "\n") {
            if (std::chrono::steady_clock::now() > end) return false;
            std::this_thread::sleep_for(200ms);
        }
        return true;
    }

    testing::ScratchHome home_;
    int port_ = testing::FreePort();
    std::string target_;
    std::unique_ptr<testing::SimulatedUps> sim_;
    std::unique_ptr<testing::BackgroundProgram> program_;
};

TEST_F(NutClientsTest, UpscAndThePythonClientFollowTheMains) {
    StartProgram(3, {});
    ASSERT_TRUE(UpscReads("ups.status", "OL", 20s)) << Upsc("ups.status") << program_->Output();
    const std::string all = Upsc();
    for (const char* line : {"input.voltage: 228.6\n", "ups.load: 12\n", "battery.voltage: 13.60\n",
                             "input.voltage.nominal: 220\n", "driver.name: gridwarden\n"}) {
        EXPECT_NE(all.find(line), std::string::npos) << line << all;
    }

    const std::string script =
        "from PyNUT import PyNUTClient\n"
        "c = PyNUTClient(host='127.0.0.1', port=" +
        std::to_string(port_) +
        ", login='nas', password='s3cret')\n"
        "v = c.GetUPSVars('gridwarden')\n"
        "d = lambda x: x.decode() if isinstance(x, bytes) else x\n"
        "print(d(v[b'ups.status' if b'ups.status' in v else 'ups.status']))\n"
        "print(sorted(d(n) for n in c.GetUPSList()), c.GetRWVars('gridwarden'))\n";
    const testing::Finished python =
        testing::RunProgram({kPython, "-c", script}, 20s, testing::Streams::Both);
    EXPECT_EQ(python.Output, "OL\n['gridwarden'] {}\n");

    ASSERT_TRUE(sim_->Send("fail"));
    EXPECT_TRUE(UpscReads("ups.status", "OB", 15s)) << Upsc("ups.status");
    EXPECT_EQ(program_->Stop(), 0);
}

TEST_F(NutClientsTest, UpsmonSecondaryShutsDownBeforeThePowerAction) {
    const std::string root = home_.Root();
    const std::string conf = root + "/nut";
    std::filesystem::create_directories(conf);
    std::filesystem::create_directories(root + "/nut-state");
    const std::string marker = root + "/secondary-down";
    {
        std::ofstream script(root + "/shutdown.sh");
        script << "#!/bin/sh\ntouch '" << marker << "'\n";
    }
    std::filesystem::permissions(root + "/shutdown.sh", std::filesystem::perms::owner_all);
    {
        std::ofstream file(conf + "/upsmon.conf");
        if (geteuid() == 0) file << "RUN_AS_USER root\n";
        file << "MONITOR " << target_ << " 1 nas s3cret secondary\n"
             << "MINSUPPLIES 1\nSHUTDOWNCMD \"" << root << "/shutdown.sh\"\n"
             << "POLLFREQ 1\nPOLLFREQALERT 1\nFINALDELAY 0\nDEADTIME 15\n"
             << "POWERDOWNFLAG " << root << "/killpower\n";
    }
    std::filesystem::permissions(conf + "/upsmon.conf", std::filesystem::perms::owner_read |
                                                            std::filesystem::perms::owner_write);
    setenv("NUT_CONFPATH", conf.c_str(), 1);
    setenv("NUT_STATEPATH", (root + "/nut-state").c_str(), 1);
    setenv("NUT_ALTPIDPATH", (root + "/nut-state").c_str(), 1);

    StartProgram(6, {{"Delay", "10"}, {"Action", "1"}});
    ASSERT_TRUE(UpscReads("ups.status", "OL", 20s)) << program_->Output();
    testing::BackgroundProgram upsmon({kUpsmon, "-F"});
    // Logged in: the server counts it.
    const std::string numlogins =
        "import socket,time\n"
        "for i in range(100):\n"
        "    s = socket.create_connection(('127.0.0.1', " +
        std::to_string(port_) +
        "))\n"
        "    s.sendall(b'GET NUMLOGINS gridwarden\\n')\n"
        "    if s.recv(100) == b'NUMLOGINS gridwarden 1\\n': break\n"
        "    s.close(); time.sleep(0.1)\n"
        "else: raise SystemExit(1)\n";
    ASSERT_EQ(testing::RunProgram({kPython, "-c", numlogins}, 20s).ExitStatus, 0)
        << upsmon.Output();
    // The clients of the UPS, as upsc lists them.
    EXPECT_EQ(testing::RunProgram({kUpsc, "-c", target_}, 10s).Output, "127.0.0.1\n");

    ASSERT_TRUE(sim_->Send("fail"));
    ASSERT_TRUE(program_->WaitFor("Simulated power action: Power off", 40s))
        << program_->Output() << upsmon.Output();
    // Logged out on FSD just before it runs its command; give the command its moment.
    for (int i = 0; i < 50 && !std::filesystem::exists(marker); ++i) {
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_TRUE(std::filesystem::exists(marker)) << upsmon.Output();
    EXPECT_NE(upsmon.Output().find("forced shutdown in progress"), std::string::npos)
        << upsmon.Output();
    // The power action waited for the secondary to log out, not for the limit.
    const std::string output = program_->Output();
    const std::size_t told = output.find("Telling 1 other machine(s) to shut down");
    const std::size_t gone = output.find("The other machine(s) logged out after ");
    ASSERT_NE(told, std::string::npos) << output;
    ASSERT_NE(gone, std::string::npos) << output;
    EXPECT_LT(told, gone);
    EXPECT_LT(gone, output.find("Simulated power action: Power off"));
    EXPECT_EQ(output.find("still logged in"), std::string::npos) << output;
    upsmon.Stop();
}

TEST_F(NutClientsTest, DaemonServesThisMachineAndRunsCommandsForTheLoginOnly) {
    StartProgram(5, {}, true);
    ASSERT_TRUE(UpscReads("ups.status", "OL", 20s)) << Upsc("ups.status") << program_->Output();
    // upscmd OPTIONS UPS [COMMAND]
    const auto upscmd = [this](std::vector<std::string> options, const char* command = nullptr) {
        options.insert(options.begin(), kUpscmd);
        options.push_back(target_);
        if (command) options.push_back(command);
        return testing::RunProgram(options, 10s, testing::Streams::Both);
    };
    // Anyone on this machine may see what can be commanded.
    const std::string listed = upscmd({"-l"}).Output;
    for (const char* line : {"test.battery.start.quick - Start a quick battery test\n",
                             "test.battery.start.deep - Start a deep battery test\n",
                             "test.battery.stop - Stop the battery test\n",
                             "beeper.toggle - Toggle the UPS beeper\n"}) {
        EXPECT_NE(listed.find(line), std::string::npos) << line << listed;
    }
    const testing::Finished wrong =
        upscmd({"-u", "nas", "-p", "guess"}, "test.battery.start.quick");
    EXPECT_NE(wrong.Output.find("ERR ACCESS-DENIED"), std::string::npos) << wrong.Output;
    const testing::Finished off = upscmd({"-u", "nas", "-p", "s3cret"}, "shutdown.return");
    EXPECT_NE(off.Output.find("ERR CMD-NOT-SUPPORTED"), std::string::npos) << off.Output;

    const testing::Finished quick =
        upscmd({"-u", "nas", "-p", "s3cret"}, "test.battery.start.quick");
    EXPECT_EQ(quick.Output, "OK\n");
    ASSERT_TRUE(program_->WaitFor("NUT command test.battery.start.quick from 127.0.0.1", 10s))
        << program_->Output();
    // The UPS runs its 10-second test.
    EXPECT_TRUE(UpscReads("ups.status", "OL CAL", 8s)) << Upsc("ups.status");
    const std::string output = program_->Output();
    EXPECT_EQ(output.find("NUT command shutdown.return"), std::string::npos) << output;
    EXPECT_EQ(output.find("NUT server for this machine not started"), std::string::npos) << output;
    EXPECT_EQ(program_->Stop(), 0);
}

}  // namespace
}  // namespace gw
