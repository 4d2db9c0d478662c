// The program as a user starts it: it looks for the UPS by itself, starts monitoring, and on a
// power failure runs the configured response — all against the simulated UPS, with the power
// actions simulated.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "integration/sim_process.h"

namespace gw {
namespace {

using namespace std::chrono_literals;

std::vector<std::string> Headless(std::vector<std::string> extra) {
    std::vector<std::string> args = {GRIDWARDEN_PATH, "--headless", "--power=simulated"};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

struct DetectionCase {
    const char* Name;
    std::vector<std::string> SimulatorArgs;  // empty: no simulator at all
    const char* Command;                     // sent to the simulator before the start
    std::vector<std::string> ProgramArgs;
    int ExitStatus;
    const char* Expected;
    const char* Absent;
};

class DetectionTest : public ::testing::TestWithParam<DetectionCase> {};

TEST_P(DetectionTest, StartUpFindsWhatIsThere) {
    const DetectionCase& c = GetParam();
    testing::ScratchHome home;
    std::unique_ptr<testing::SimulatedUps> sim;
    if (!c.SimulatorArgs.empty()) {
        std::vector<std::string> args(c.SimulatorArgs.begin() + 1, c.SimulatorArgs.end());
        sim = std::make_unique<testing::SimulatedUps>(std::stoi(c.SimulatorArgs[0]), args);
        ASSERT_TRUE(sim->Ready());
        if (c.Command[0] != '\0') {
            ASSERT_TRUE(sim->Send(c.Command));
        }
    }
    testing::LinkAbsentPorts();
    const testing::Finished run =
        testing::RunProgram(Headless(c.ProgramArgs), 60s, testing::Streams::Both);
    EXPECT_EQ(run.ExitStatus, c.ExitStatus) << run.Output;
    EXPECT_NE(run.Output.find(c.Expected), std::string::npos) << run.Output;
    if (c.Absent[0] != '\0') {
        EXPECT_EQ(run.Output.find(c.Absent), std::string::npos) << run.Output;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Units, DetectionTest,
    ::testing::Values(DetectionCase{"NoUpsAnywhere",
                                    {},
                                    "",
                                    {"--cycles", "1"},
                                    1,
                                    "balloon: Warning!: UPS not found (warning)",
                                    "Start Monitoring"},
                      DetectionCase{"FoundByTheScan",
                                    {"4"},
                                    "",
                                    {"--cycles", "1", "--refresh", "1"},
                                    0,
                                    "status: Megatec protocol UPS detected: COM4",
                                    "Mustek"},
                      DetectionCase{"MustekOnly",
                                    {"6", "--mustek"},
                                    "",
                                    {"--cycles", "1", "--refresh", "1"},
                                    0,
                                    "status: Mustek protocol UPS detected: COM6",
                                    "Megatec protocol"},
                      DetectionCase{"AnswersNeitherInquiry",
                                    {"2", "--unsupported", "Q1,QS"},
                                    "",
                                    {"--com", "2", "--cycles", "1"},
                                    1,
                                    "status: Supported protocol UPS not detected!",
                                    "detected: COM"},
                      DetectionCase{
                          "Echoes",
                          {"3"},
                          "echo on",
                          {"--com", "3", "--cycles", "1"},
                          1,
                          "balloon: Warning!: Supported protocol UPS not detected! (warning)",
                          "detected: COM"},
                      DetectionCase{"EchoingUnitIsNotOfferedByTheScan",
                                    {"3"},
                                    "echo on",
                                    {"--cycles", "1"},
                                    1,
                                    "status: UPS not found!",
                                    "Start Monitoring"}),
    [](const auto& info) { return std::string(info.param.Name); });

// A power-fail response with a program that notes where and when it ran.
class ResponseTest : public ::testing::Test {
protected:
    void SetUp() override {
        program_dir_ = home_.Root() + "/response program";
        std::filesystem::create_directories(program_dir_);
        program_ = program_dir_ + "/on-power-fail.sh";
        std::ofstream script(program_);
        script << "#!/bin/sh\npwd > ran.txt\n";
        script.close();
        chmod(program_.c_str(), 0755);
    }

    void Configure(std::vector<std::pair<std::string, std::string>> values) {
        values.insert(values.end(), {{"Refresh Interval", "1"},
                                     {"External Program Run", "1"},
                                     {"External Program Name", program_},
                                     {"UPS Shutdown", "1"},
                                     {"UPS Shutdown Delay", "1"}});
        testing::WriteSettings(values);
    }

    bool ProgramRan() const { return std::filesystem::exists(program_dir_ + "/ran.txt"); }
    std::string ProgramFolder() const {
        std::ifstream file(program_dir_ + "/ran.txt");
        std::string line;
        std::getline(file, line);
        return line;
    }

    testing::ScratchHome home_;
    std::string program_dir_;
    std::string program_;
};

TEST_F(ResponseTest, DelayRunningOutRunsTheProgramThenShutsTheUpsAndTheComputerDown) {
    Configure({{"Delay", "10"}, {"Action", "1"}});
    testing::SimulatedUps sim(2);
    ASSERT_TRUE(sim.Ready());
    testing::LinkAbsentPorts();
    testing::BackgroundProgram program(Headless({"--status-json"}));
    ASSERT_TRUE(program.WaitFor("Megatec protocol UPS detected: COM2", 30s)) << program.Output();
    ASSERT_TRUE(sim.Send("fail"));
    ASSERT_TRUE(program.WaitFor("Simulated power action: Power off", 40s)) << program.Output();
    EXPECT_TRUE(ProgramRan());
    EXPECT_EQ(ProgramFolder(), program_dir_);
    // The UPS got "S01" before the computer was told to go down.
    const std::string state =
        testing::RunProgram({UPSSIM_PATH, "--com", "2", "--send", "status"}, 10s).Output;
    EXPECT_NE(state.find("shutdown="), std::string::npos) << state;
    EXPECT_EQ(state.find("shutdown=none"), std::string::npos) << state;
    const std::string output = program.Output();
    EXPECT_NE(output.find("countdown: counting, 10 s left"), std::string::npos) << output;
    EXPECT_NE(output.find("countdown: 5 s left"), std::string::npos) << output;
    EXPECT_LT(output.find("countdown: acting"), output.find("Simulated power action: Power off"));
    // The machine "goes down": the program closes by itself, its settings stored.
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(program.Stop(), 0);
    EXPECT_TRUE(std::filesystem::exists(std::string(getenv("XDG_CONFIG_HOME")) +
                                        "/Tallowmere/Gridwarden.conf"));
}

TEST_F(ResponseTest, MainsBackBeforeTheDelayCancelsTheAction) {
    Configure({{"Delay", "10"}, {"Action", "1"}});
    testing::SimulatedUps sim(5);
    ASSERT_TRUE(sim.Ready());
    testing::LinkAbsentPorts();
    testing::BackgroundProgram program(Headless({}));
    ASSERT_TRUE(program.WaitFor("Megatec protocol UPS detected: COM5", 30s)) << program.Output();
    ASSERT_TRUE(sim.Send("fail"));
    ASSERT_TRUE(program.WaitFor("Power Fail", 10s)) << program.Output();
    ASSERT_TRUE(sim.Send("restore"));
    ASSERT_TRUE(program.WaitFor("Power O.K.", 10s)) << program.Output();
    EXPECT_TRUE(program.WaitFor("countdown: idle", 5s));
    std::this_thread::sleep_for(11s);  // past the delay
    EXPECT_FALSE(ProgramRan());
    EXPECT_EQ(program.Output().find("Simulated power action"), std::string::npos)
        << program.Output();
}

TEST_F(ResponseTest, BatteryBelowTheMinimumSuspendsAtOnceWithoutTheUpsCommand) {
    Configure({{"Delay", "600"}, {"Action", "2"}, {"Min Voltage", "115"}});
    testing::SimulatedUps sim(7);
    ASSERT_TRUE(sim.Ready());
    testing::LinkAbsentPorts();
    testing::BackgroundProgram program(Headless({"--status-json"}));
    ASSERT_TRUE(program.WaitFor("Megatec protocol UPS detected: COM7", 30s)) << program.Output();
    ASSERT_TRUE(sim.Send("low"));
    ASSERT_TRUE(program.WaitFor("Simulated power action: Suspend", 15s)) << program.Output();
    EXPECT_TRUE(ProgramRan());
    EXPECT_EQ(program.Output().find("\"shutdown_active\":true"), std::string::npos)
        << "no UPS shutdown command before a suspend";
}

// A serial UPS behind a USB adapter comes and goes with the adapter; the simulator ended and
// started again plays that, the second time already on battery. Once it is back, the failure
// must count, told after the link is back.
TEST(LinkLossTest, UpsThatVanishesAndReturnsIsWatchedAgain) {
    testing::ScratchHome home;
    testing::WriteSettings({{"Refresh Interval", "1"}, {"Delay", "600"}});
    auto sim = std::make_unique<testing::SimulatedUps>(3);
    ASSERT_TRUE(sim->Ready());
    testing::LinkAbsentPorts();
    testing::BackgroundProgram program(Headless({}));
    ASSERT_TRUE(program.WaitFor("Megatec protocol UPS detected: COM3", 30s)) << program.Output();

    sim.reset();
    ASSERT_TRUE(program.WaitFor("UPS link lost: COM3 (", 10s)) << program.Output();
    EXPECT_TRUE(program.WaitFor("balloon: Warning!: UPS link lost (warning)", 5s));
    const std::string script = home.Root() + "/on-battery.txt";
    std::ofstream(script) << "fail\n";
    sim = std::make_unique<testing::SimulatedUps>(3, std::vector<std::string>{"--script", script});
    ASSERT_TRUE(sim->Ready());
    ASSERT_TRUE(program.WaitFor("UPS link restored: COM3", 10s)) << program.Output();

    EXPECT_TRUE(program.WaitFor("countdown: counting, 600 s left", 10s)) << program.Output();
    const std::string output = program.Output();
    EXPECT_EQ(output.find("UPS link lost: "), output.rfind("UPS link lost: ")) << "said once";
    EXPECT_LT(output.find("UPS link restored: COM3"), output.find("Power Fail")) << output;
}

// What the user set must survive an ordinary exit on a serial UPS: the port, so the next start
// does not ask for it again, and every value kept only while a link is open.
TEST(SettingsAtExitTest, TerminatedRunOnAComUpsKeepsThePortAndTheLinkValues) {
    testing::ScratchHome home;
    testing::WriteSettings({{"COM Port", "4"}, {"Delay", "30"}, {"Refresh Interval", "2"}});
    testing::SimulatedUps sim(4);
    ASSERT_TRUE(sim.Ready());
    testing::LinkAbsentPorts();
    testing::BackgroundProgram program(Headless({}));
    ASSERT_TRUE(program.WaitFor("Megatec protocol UPS detected: COM4", 30s)) << program.Output();
    EXPECT_EQ(program.Stop(), 0);

    std::ifstream file(std::string(getenv("XDG_CONFIG_HOME")) + "/Tallowmere/Gridwarden.conf");
    std::stringstream stored;
    stored << file.rdbuf();
    for (const char* line : {"COM%20Port=4\n", "Delay=30\n", "Refresh%20Interval=2\n",
                             "Delay%20Action=1\n", "Action=1\n", "Min%20Voltage=110\n"}) {
        EXPECT_NE(stored.str().find(line), std::string::npos) << line << " in\n" << stored.str();
    }
}

TEST(SingleInstanceTest, SecondCopyEndsSilentlyAndTheFirstGoesOn) {
    testing::ScratchHome home;
    testing::SimulatedUps sim(1);
    ASSERT_TRUE(sim.Ready());
    testing::LinkAbsentPorts();
    testing::BackgroundProgram first(Headless({"--refresh", "1", "--print-replies"}));
    ASSERT_TRUE(first.WaitFor("Start Monitoring", 30s)) << first.Output();

    const auto started = std::chrono::steady_clock::now();
    const testing::Finished second = testing::RunProgram(Headless({}), 30s, testing::Streams::Both);
    EXPECT_EQ(second.ExitStatus, 0);
    EXPECT_EQ(second.Output, "");
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);

    const std::size_t before = first.Output().size();
    std::this_thread::sleep_for(2500ms);
    EXPECT_GT(first.Output().size(), before) << "the first copy still polls";
    EXPECT_EQ(first.Stop(), 0);
    // Its close sequence stored the settings it ran with.
    EXPECT_TRUE(std::filesystem::exists(std::string(getenv("XDG_CONFIG_HOME")) +
                                        "/Tallowmere/Gridwarden.conf"));
}

}  // namespace
}  // namespace gw
