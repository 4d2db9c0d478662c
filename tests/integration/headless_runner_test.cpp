// The headless program end to end: it finds the simulated UPS on COM1
// through the port map, polls it and prints its log and replies.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "integration/sim_process.h"
#include "link/port_map.h"

namespace gw {
namespace {

using namespace std::chrono_literals;

TEST(HeadlessRunnerTest, PollsTheSimulatorAndJournalsTheLog) {
    testing::ScratchHome home;
    testing::SimulatedUps sim(1);
    ASSERT_TRUE(sim.Ready());
    const testing::Finished run =
        testing::RunProgram({GRIDWARDEN_PATH, "--headless", "--power=simulated", "--refresh", "1",
                             "--com", "1", "--cycles", "2", "--print-replies"},
                            60s);
    EXPECT_EQ(run.ExitStatus, 0);
    EXPECT_NE(run.Output.find(" Start Monitoring\n"), std::string::npos) << run.Output;
    EXPECT_NE(run.Output.find("\n(2"), std::string::npos) << run.Output;

    std::ifstream journal(home.Root() + "/state/gridwarden/journal.log");
    std::stringstream text;
    text << journal.rdbuf();
    EXPECT_NE(text.str().find(" Start Monitoring\n"), std::string::npos);
}

TEST(HeadlessRunnerTest, AReaderThatGoesEndsNeitherTheRunNorTheJournal) {
    testing::ScratchHome home;
    testing::SimulatedUps sim(1);
    ASSERT_TRUE(sim.Ready());
    ASSERT_TRUE(sim.Send("fail"));
    // `head` leaves after the first line; every later line meets a closed pipe.
    const testing::Finished run = testing::RunProgram(
        {"/bin/bash", "-c",
         "\"$0\" --headless --power=simulated --refresh 1 --com 1 --cycles 3 --print-replies "
         "2>/dev/null | head -n 1 >/dev/null; echo \"exit ${PIPESTATUS[0]}\"",
         GRIDWARDEN_PATH},
        60s);
    EXPECT_EQ(run.Output, "exit 0\n") << "the run went on to its last cycle";
    std::ifstream journal(home.Root() + "/state/gridwarden/journal.log");
    std::stringstream text;
    text << journal.rdbuf();
    EXPECT_NE(text.str().find(" Power Fail\n"), std::string::npos) << text.str();
}

TEST(HeadlessRunnerTest, NoUpsOnThePortEndsWithoutPolling) {
    testing::ScratchHome home;
    // A link to nothing, so the machine's own serial ports play no part.
    std::filesystem::create_directories(link::PortMapDir());
    std::filesystem::create_symlink("/nonexistent/ttyUSB7", link::PortMapLink(7));
    const testing::Finished run =
        testing::RunProgram({GRIDWARDEN_PATH, "--headless", "--power=simulated", "--refresh", "1",
                             "--com", "7", "--cycles", "1"},
                            30s);
    EXPECT_EQ(run.ExitStatus, 1);
    EXPECT_EQ(run.Output.find("Start Monitoring"), std::string::npos);
}

TEST(HeadlessRunnerTest, EchoingUpsIsNotMonitored) {
    testing::ScratchHome home;
    testing::SimulatedUps sim(2);
    ASSERT_TRUE(sim.Ready());
    ASSERT_TRUE(sim.Send("echo on"));
    const testing::Finished run =
        testing::RunProgram({GRIDWARDEN_PATH, "--headless", "--power=simulated", "--refresh", "1",
                             "--com", "2", "--cycles", "1"},
                            30s);
    // An echoing unit answers neither inquiry: no polling at all.
    EXPECT_EQ(run.ExitStatus, 1);
    EXPECT_NE(run.Output.find(" Start Monitoring\n"), std::string::npos);
}

}  // namespace
}  // namespace gw
