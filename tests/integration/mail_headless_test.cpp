// Mail from the running program: the headless runner with the simulated UPS sends its test
// report and, when the mains fails, the warning notice to an aiosmtpd on a loopback port.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "integration/sim_process.h"

namespace gw {
namespace {

using namespace std::chrono_literals;

constexpr const char* kPython = "/usr/bin/python3";

TEST(MailHeadlessTest, TestReportAndPowerFailWarningReachTheServer) {
    if (testing::RunProgram({kPython, "-c", "import aiosmtpd"}, 30s).ExitStatus != 0) {
        GTEST_SKIP() << "python3-aiosmtpd is not installed";
    }
    testing::ScratchHome home;
    testing::LinkAbsentPorts();
    const int port = testing::FreePort();
    // The debugging handler prints every message it takes.
    testing::BackgroundProgram server(
        {kPython, "-u", "-m", "aiosmtpd", "-n", "-l", "127.0.0.1:" + std::to_string(port)});
    for (int i = 0; i < 300 && !testing::Listening(port); ++i) std::this_thread::sleep_for(20ms);
    ASSERT_TRUE(testing::Listening(port)) << server.Output();

    testing::WriteSettings({{"SMTP Host", "127.0.0.1"},
                            {"SMTP Port", std::to_string(port)},
                            {"SMTP From", "UPS <ups@example.org>"},
                            {"SMTP Mail", "admin@example.org"},
                            {"SMTP Warnings", "1"}});
    testing::SimulatedUps sim(4);
    ASSERT_TRUE(sim.Ready());
    testing::BackgroundProgram program({GRIDWARDEN_PATH, "--headless", "--power=simulated",
                                        "--refresh", "1", "--com", "4", "--test-reports",
                                        "--notify-bus", "unix:path=/nonexistent/gw-test-bus"});
    ASSERT_TRUE(program.WaitFor("status: Report sending O.K.", 30s)) << program.Output();
    EXPECT_TRUE(program.WaitFor("status: LAN Report sending failed!", 10s)) << program.Output();
    ASSERT_TRUE(server.WaitFor("Subject: Report - ", 10s)) << server.Output();
    EXPECT_NE(server.Output().find("X-Mailer: Gridwarden"), std::string::npos);

    ASSERT_TRUE(sim.Send("fail"));
    EXPECT_TRUE(server.WaitFor("Subject: Warning - Power fail", 30s)) << server.Output();
    EXPECT_EQ(program.Stop(), 0);
}

}  // namespace
}  // namespace gw
