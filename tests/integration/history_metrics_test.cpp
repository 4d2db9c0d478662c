// The history and the metrics of the running program, read by the tools people use with them:
// promtool and a real Prometheus scraping /metrics, headless Chromium drawing /history, and
// SQLite's own command line reading the file, after the simulated UPS went through an outage.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "integration/sim_process.h"

namespace gw {
namespace {

using namespace std::chrono_literals;

class HistoryMetricsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(sim_.Ready());
        port_ = testing::FreePort();
        testing::WriteSettings({{"Refresh Interval", "1"},
                                {"HTTP Server", "1"},
                                {"HTTP Port", std::to_string(port_)}});
        program_ = std::make_unique<testing::BackgroundProgram>(std::vector<std::string>{
            GRIDWARDEN_PATH, "--headless", "--power=simulated", "--com", "5", "--print-replies"});
        ASSERT_TRUE(program_->WaitFor("charge", 30s)) << program_->Output();
        // An outage of a few cycles, then the mains back.
        ASSERT_TRUE(sim_.Send("fail"));
        ASSERT_TRUE(program_->WaitFor("Power Fail", 20s)) << program_->Output();
        std::this_thread::sleep_for(3s);
        ASSERT_TRUE(sim_.Send("restore"));
        ASSERT_TRUE(program_->WaitFor("Power O.K.", 20s)) << program_->Output();
    }
    std::string Url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(port_) + path;
    }
    std::string Curl(const std::string& url) const {
        return testing::RunProgram({"/usr/bin/curl", "-s", "--max-time", "10", url}, 20s).Output;
    }
    std::string Scratch(const std::string& name) const { return home_.Root() + "/" + name; }

    testing::ScratchHome home_;
    testing::SimulatedUps sim_{5};
    int port_ = 0;
    std::unique_ptr<testing::BackgroundProgram> program_;
};

TEST_F(HistoryMetricsTest, PrometheusScrapesTheMetricsThatPromtoolAccepts) {
    const std::string metrics = Curl(Url("/metrics"));
    EXPECT_NE(metrics.find("nut_ups_status{ups=\"gridwarden\",status=\"OL\"} 1\n"),
              std::string::npos)
        << metrics;
    EXPECT_NE(metrics.find("gridwarden_power_failures_total{ups=\"gridwarden\"} 1\n"),
              std::string::npos)
        << metrics;
    // The battery model knows the runtime from the first reply on.
    EXPECT_NE(metrics.find("nut_battery_runtime_seconds{ups=\"gridwarden\"} "), std::string::npos)
        << metrics;
    std::ofstream(Scratch("metrics.txt")) << metrics;
    const testing::Finished check = testing::RunProgram(
        {"/bin/sh", "-c", "promtool check metrics < '" + Scratch("metrics.txt") + "'"}, 30s,
        testing::Streams::Both);
    EXPECT_EQ(check.ExitStatus, 0) << check.Output;

    const int prometheus_port = testing::FreePort();
    std::ofstream(Scratch("prometheus.yml"))
        << "global:\n  scrape_interval: 1s\n"
           "scrape_configs:\n  - job_name: gridwarden\n    static_configs:\n"
           "      - targets: ['127.0.0.1:"
        << port_ << "']\n";
    testing::BackgroundProgram prometheus(
        {"/usr/bin/prometheus", "--config.file=" + Scratch("prometheus.yml"),
         "--storage.tsdb.path=" + Scratch("tsdb"),
         "--web.listen-address=127.0.0.1:" + std::to_string(prometheus_port)});
    const std::string query = "http://127.0.0.1:" + std::to_string(prometheus_port) +
                              "/api/v1/query?query=nut_battery_charge%7Bups%3D%22gridwarden%22%7D";
    std::string answer;
    for (int i = 0; i < 60; ++i) {
        answer = Curl(query);
        if (answer.find("\"result\":[{") != std::string::npos) break;
        std::this_thread::sleep_for(500ms);
    }
    EXPECT_NE(answer.find("\"__name__\":\"nut_battery_charge\""), std::string::npos) << answer;
    EXPECT_NE(answer.find("\"ups\":\"gridwarden\""), std::string::npos) << answer;
    prometheus.Stop();
}

TEST_F(HistoryMetricsTest, TheOutageIsInTheFileTheCsvAndTheBrowsersChart) {
    const std::string dir = std::string(GW_TEST_OUTPUT_DIR);
    std::filesystem::create_directories(dir);
    const testing::Finished shot = testing::RunProgram(
        {"/usr/bin/chromium", "--headless", "--no-sandbox", "--disable-gpu",
         "--disable-background-networking", "--disable-component-update", "--disable-sync",
         "--no-first-run", "--user-data-dir=" + Scratch("chromium"), "--window-size=760,1100",
         "--screenshot=" + dir + "/history.png", Url("/history?range=hour")},
        60s, testing::Streams::Both);
    EXPECT_TRUE(std::filesystem::exists(dir + "/history.png")) << shot.Output;
    const std::string dom =
        testing::RunProgram(
            {"/usr/bin/chromium", "--headless", "--no-sandbox", "--disable-gpu",
             "--user-data-dir=" + Scratch("chromium"), "--dump-dom", Url("/history?range=hour")},
            60s)
            .Output;
    EXPECT_NE(dom.find("<svg"), std::string::npos) << dom;
    EXPECT_NE(dom.find("class=\"outage\""), std::string::npos) << dom;
    EXPECT_NE(dom.find("Power Fail"), std::string::npos) << dom;

    ASSERT_EQ(program_->Stop(), 0);  // the close writes what is queued
    const std::string file = home_.Root() + "/state/gridwarden/history.sqlite";
    const testing::Finished rows = testing::RunProgram(
        {"/usr/bin/sqlite3", file,
         "SELECT count(*) > 3, sum(bits & 1) > 0, max(input_voltage) FROM reading_values;"
         "SELECT text FROM events WHERE text LIKE 'Power%' ORDER BY t;"},
        30s, testing::Streams::Both);
    EXPECT_EQ(rows.Output, "1|1|228.6\nPower Fail\nPower O.K.\n");

    const std::string csv =
        testing::RunProgram({GRIDWARDEN_PATH, "--history-csv", "-1h", "now"}, 30s).Output;
    EXPECT_EQ(csv.rfind("time,resolution,input_voltage,", 0), 0u) << csv;
    EXPECT_NE(csv.find(",cycle,0.0,"), std::string::npos) << csv;  // the outage's input
}

}  // namespace
}  // namespace gw
