// What /metrics tells once the UPS stops answering: no old readings as the present, and the
// two series that say so, in a text promtool accepts; the status lines, /status and /history.json
// agree.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "integration/sim_process.h"

namespace gw {
namespace {

using namespace std::chrono_literals;

TEST(StaleMetricsTest, SilentUpsLeavesTheReadingsOutAndSaysItIsDown) {
    testing::ScratchHome home;
    testing::SimulatedUps sim{5};
    ASSERT_TRUE(sim.Ready());
    const int port = testing::FreePort();
    testing::WriteSettings(
        {{"Refresh Interval", "1"}, {"HTTP Server", "1"}, {"HTTP Port", std::to_string(port)}});
    testing::BackgroundProgram program(
        std::vector<std::string>{GRIDWARDEN_PATH, "--headless", "--power=simulated", "--com", "5",
                                 "--print-replies", "--status-json"});
    ASSERT_TRUE(program.WaitFor("charge", 30s)) << program.Output();
    const auto get = [&](const std::string& path) {
        return testing::RunProgram({"/usr/bin/curl", "-s", "--max-time", "10",
                                    "http://127.0.0.1:" + std::to_string(port) + path},
                                   20s)
            .Output;
    };
    const auto metrics = [&] { return get("/metrics"); };
    std::string text = metrics();
    EXPECT_NE(text.find("gridwarden_ups_up{ups=\"gridwarden\"} 1\n"), std::string::npos) << text;
    EXPECT_NE(text.find("nut_ups_status{"), std::string::npos) << text;

    ASSERT_TRUE(sim.Send("silent on"));
    // The readings grow stale after 15 s without a good reply; polled, not timed.
    for (int i = 0;
         i < 60 && text.find("gridwarden_ups_up{ups=\"gridwarden\"} 0\n") == std::string::npos;
         ++i) {
        std::this_thread::sleep_for(1s);
        text = metrics();
    }
    EXPECT_NE(text.find("gridwarden_ups_up{ups=\"gridwarden\"} 0\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("nut_ups_status"), std::string::npos) << text;
    EXPECT_EQ(text.find("nut_battery_charge"), std::string::npos) << text;
    EXPECT_NE(text.find("gridwarden_last_reply_age_seconds{ups=\"gridwarden\"} "),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("gridwarden_ups_state_info{ups=\"gridwarden\",level=\"alarm\"} 1"),
              std::string::npos)
        << text;
    // The status lines, the page for people and the history's JSON tell the same.
    EXPECT_TRUE(program.WaitFor("\"up\":false,", 5s)) << program.Output();
    const std::string page = get("/status");
    EXPECT_NE(page.find(">No reply from the UPS since "), std::string::npos) << page;
    const std::string history = get("/history.json");
    EXPECT_EQ(history.rfind("{\"ups\":{\"up\":false,", 0), 0u) << history;
    const std::string path = home.Root() + "/metrics.txt";
    std::ofstream(path) << text;
    const testing::Finished check = testing::RunProgram(
        {"/bin/sh", "-c", "promtool check metrics < '" + path + "'"}, 30s, testing::Streams::Both);
    EXPECT_EQ(check.ExitStatus, 0) << check.Output;
}

}  // namespace
}  // namespace gw
