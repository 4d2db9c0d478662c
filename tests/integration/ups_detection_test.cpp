// Finding a serial UPS: the simulated UPS on a pseudo-terminal as COMn, silent terminals as
// ports with nothing behind them, and links to nowhere as ports that do not open.
#include "monitor/ups_detection.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "fakes/fake_hid.h"
#include "fakes/recording_detection_peers.h"
#include "integration/sim_process.h"
#include "link/plain_main_loop.h"
#include "link/port_map.h"
#include "link/serial_port.h"

namespace gw {
namespace {

using namespace std::chrono_literals;
using monitor::StartOutcome;
using Lines = std::vector<std::string>;

// A terminal that opens and configures like a serial port and never says a word.
class DeadPort {
public:
    explicit DeadPort(int com) {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
        std::filesystem::create_symlink(ptsname(master_), link::PortMapLink(com));
    }
    ~DeadPort() {
        if (master_ >= 0) close(master_);
    }
    DeadPort(const DeadPort&) = delete;
    DeadPort& operator=(const DeadPort&) = delete;

private:
    int master_ = -1;
};

class SerialDetectionTest : public ::testing::Test {
protected:
    // Every COMn not in `keep` leads nowhere, so no port of this machine is touched.
    void LinkNowhereExcept(const std::set<int>& keep) {
        std::filesystem::create_directories(link::PortMapDir());
        for (int n = link::kFirstComPort; n <= link::kLastComPort; ++n) {
            if (keep.count(n) == 0) {
                std::filesystem::create_symlink(home_.Root() + "/absent", link::PortMapLink(n));
            }
        }
    }
    void Build(std::chrono::milliseconds retry = 0ms) {
        detection_ = std::make_unique<monitor::UpsDetection>(wire_, display_, rec_, rec_, loop_,
                                                             rec_.Peers(), retry);
    }
    // The start timer's detection, to its end: probing ports completes in the main loop.
    void StartUp() {
        bool done = false;
        detection_->StartUpDetection([&](StartOutcome) { done = true; });
        ASSERT_TRUE(loop_.RunUntil([&] { return done; }, 30s));
    }
    void StartSim(int com, std::vector<std::string> args = {}) {
        sims_.push_back(std::make_unique<testing::SimulatedUps>(com, std::move(args)));
        ASSERT_TRUE(sims_.back()->Ready());
    }
    void TearDown() override {
        detection_.reset();
        wire_.CloseLink();
    }
    // The port can be had by someone else: nothing of ours holds it.
    static bool Free(int com) {
        std::string error;
        return link::OpenSerialPort(link::ComPortPath(com), error) != nullptr;
    }

    testing::ScratchHome home_;
    std::shared_ptr<fakes::FakeHidState> hid_ = std::make_shared<fakes::FakeHidState>();
    fakes::FakeHidBus bus_{hid_};
    link::UpsLink link_;
    link::DataMutex mutex_;
    fakes::DetectionRecorder rec_;
    // The reply pause is skipped: each read still waits out the port's time-out, long enough
    // for the simulator's answer.
    link::Wire wire_{link_, mutex_, rec_, &bus_, [](std::chrono::milliseconds) {}};
    monitor::DisplayModel display_;
    link::PlainMainLoop loop_;
    std::vector<std::unique_ptr<testing::SimulatedUps>> sims_;
    std::unique_ptr<monitor::UpsDetection> detection_;
};

struct StoredPortCase {
    const char* Name;
    std::vector<std::string> SimArgs;
    const char* SimCommand;  // sent once the simulator runs; empty for none
    std::string LastStatus;
    bool Monitoring;
};

void PrintTo(const StoredPortCase& c, std::ostream* os) { *os << c.Name; }

class StoredPortTest : public SerialDetectionTest,
                       public ::testing::WithParamInterface<StoredPortCase> {};

TEST_P(StoredPortTest, ProbesTheStoredPortAndClosesItWhenNothingAnswers) {
    LinkNowhereExcept({1});
    StartSim(1, GetParam().SimArgs);
    if (*GetParam().SimCommand != '\0') {
        ASSERT_TRUE(sims_[0]->Send(GetParam().SimCommand));
    }
    rec_.StoredComPort = 1;
    Build();

    StartUp();

    EXPECT_EQ(rec_.Statuses.back(), GetParam().LastStatus);
    EXPECT_EQ(rec_.Count("start polling"), GetParam().Monitoring ? 1 : 0);
    EXPECT_EQ(rec_.DialogItems, Lines{});  // the stored port was there: no dialog
    EXPECT_EQ(link_.ComOpen, GetParam().Monitoring);
    EXPECT_EQ(link_.ComPort, GetParam().Monitoring ? 1 : 0);
    EXPECT_EQ(Free(1), !GetParam().Monitoring);
    if (GetParam().Monitoring) {
        EXPECT_EQ(display_.COMLCaption, "COM1");
        EXPECT_TRUE(display_.COMLEnabled);
        EXPECT_EQ(display_.ConnIImage, 1);
        EXPECT_EQ(rec_.Balloons.back().Text, "Mustek protocol UPS detected:\rCOM1");
    }
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Units, StoredPortTest, ::testing::Values(
    StoredPortCase{"Mustek", {"--mustek"}, "", "Mustek protocol UPS detected: COM1", true},
    StoredPortCase{"NeitherInquiry", {"--unsupported", "Q1,QS"}, "",
                   "Supported protocol UPS not detected!", false},
    StoredPortCase{"EchoesEverything", {}, "echo on", "Supported protocol UPS not detected!",
                   false}),
    [](const auto& info) { return std::string(info.param.Name); });
// clang-format on

struct NoUpsCase {
    const char* Name;
    std::set<int> DeadPorts;
    int Stored;
    std::string Dialog;
};

void PrintTo(const NoUpsCase& c, std::ostream* os) { *os << c.Name; }

class NoUpsTest : public SerialDetectionTest, public ::testing::WithParamInterface<NoUpsCase> {};

TEST_P(NoUpsTest, AsksForAPortThenReportsNoUps) {
    LinkNowhereExcept(GetParam().DeadPorts);
    std::vector<std::unique_ptr<DeadPort>> dead;
    for (int n : GetParam().DeadPorts) dead.push_back(std::make_unique<DeadPort>(n));
    rec_.StoredComPort = GetParam().Stored;
    rec_.ComAnswer = std::nullopt;  // Cancel
    Build();

    StartUp();

    EXPECT_EQ(rec_.Only("dialog "), Lines{GetParam().Dialog});
    EXPECT_EQ(rec_.Statuses.back(), "UPS not found!");
    EXPECT_FALSE(link_.ComOpen);
    for (int n : GetParam().DeadPorts) {
        EXPECT_TRUE(Free(n)) << n;
    }
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Ports, NoUpsTest, ::testing::Values(
    NoUpsCase{"NoPortAtAll", {}, 0, " pre -1"},
    NoUpsCase{"StoredPortAbsent", {1}, 3, "COM1 pre -1"}),
    [](const auto& info) { return std::string(info.param.Name); });
// clang-format on

TEST_F(SerialDetectionTest, DialogPreselectsThePortWhereAUpsAnswers) {
    LinkNowhereExcept({2, 3, 4});
    DeadPort com2(2);
    DeadPort com4(4);
    StartSim(3, {"--mustek"});
    Build();

    StartUp();

    EXPECT_EQ(rec_.Only("dialog "), Lines{"COM2,COM3,COM4 pre 1"});
    EXPECT_EQ(rec_.Statuses.back(), "Mustek protocol UPS detected: COM3");
    EXPECT_EQ(link_.ComPort, 3);
    EXPECT_TRUE(Free(2));  // the probes gave back every port they opened
    EXPECT_TRUE(Free(4));
    EXPECT_FALSE(Free(3));
}

// Neither a keyboard nor a HID unit that cannot be monitored takes the place of the serial UPS.
class HidPluggedTest : public SerialDetectionTest,
                       public ::testing::WithParamInterface<link::HidDeviceInfo> {};

TEST_P(HidPluggedTest, WhileComIsMonitoredKeepsTheComLink) {
    LinkNowhereExcept({1});
    StartSim(1);
    rec_.StoredComPort = 1;
    Build();
    StartUp();
    ASSERT_EQ(rec_.Statuses.back(), "Megatec protocol UPS detected: COM1");

    hid_->Devices.push_back(GetParam());
    detection_->HidEnumerationPass();

    EXPECT_EQ(display_.USBLBItems.size(), 1u);
    EXPECT_FALSE(link_.HidPresent);
    EXPECT_TRUE(link_.ComOpen);
    EXPECT_TRUE(link_.LinkUsable);
    EXPECT_FALSE(wire_.PollExchange("Q1\r").ExchangeFailed);
}

INSTANTIATE_TEST_SUITE_P(
    Devices, HidPluggedTest,
    ::testing::Values(link::HidDeviceInfo{"/dev/hidraw4", 0x04D9, 0x1603, "USB Keyboard"},
                      link::HidDeviceInfo{"/dev/hidraw5", 0x0925, 0x1234, ""},
                      link::HidDeviceInfo{"/dev/hidraw6", 0x1234, 0x0001, "USB UPS"}),
    [](const auto& info) { return "Pid" + std::to_string(info.param.ProductId); });

// Each silent port costs half a second of waiting for a reply that never comes: that wait
// belongs to the prober's thread, while the main loop goes on at its own pace.
TEST_F(SerialDetectionTest, ProbingSilentPortsLeavesTheMainLoopFree) {
    LinkNowhereExcept({1, 2, 3, 4});
    std::vector<std::unique_ptr<DeadPort>> dead;
    for (int n = 1; n <= 4; ++n) dead.push_back(std::make_unique<DeadPort>(n));
    display_.QS_CB = false;
    rec_.ComAnswer = std::nullopt;
    Build();
    // Counted, not timed: a probe that blocked the loop for its 500 ms would leave the tick a
    // handful of turns over the four ports; a loaded machine only thins them out.
    int ticks = 0;
    link::TimerHandle tick = loop_.StartTimer(10ms, [&] { ++ticks; }, true);

    StartUp();

    EXPECT_EQ(rec_.Only("dialog "), Lines{"COM1,COM2,COM3,COM4 pre -1"});
    EXPECT_GT(ticks, 40);
}

struct RetryCase {
    const char* Name;
    bool EchoFirst;  // the unit is there from the start but answers nothing useful
};

void PrintTo(const RetryCase& c, std::ostream* os) { *os << c.Name; }

class SerialRetryTest : public SerialDetectionTest,
                        public ::testing::WithParamInterface<RetryCase> {};

TEST_P(SerialRetryTest, FindsTheUnitOnceItAnswersWithoutAskingAgain) {
    LinkNowhereExcept(GetParam().EchoFirst ? std::set<int>{2} : std::set<int>{});
    if (GetParam().EchoFirst) {
        StartSim(2);
        ASSERT_TRUE(sims_[0]->Send("echo on"));
        rec_.StoredComPort = 2;
    }
    Build(100ms);
    StartUp();
    ASSERT_TRUE(detection_->Retrying());
    const std::size_t asked = rec_.Only("dialog ").size();
    const std::size_t statuses = rec_.Statuses.size();
    ASSERT_FALSE(loop_.RunUntil([] { return false; }, 300ms));
    EXPECT_EQ(rec_.Statuses.size(), statuses);  // failed retries say nothing

    if (GetParam().EchoFirst) {
        ASSERT_TRUE(sims_[0]->Send("echo off"));
    } else {
        // The simulator links COM2 over the link to nowhere.
        sims_.push_back(std::make_unique<testing::SimulatedUps>(2));
    }
    ASSERT_TRUE(loop_.RunUntil([&] { return !detection_->Retrying(); }, 15s));

    EXPECT_EQ(rec_.Statuses.back(), "Megatec protocol UPS detected: COM2");
    EXPECT_EQ(rec_.Count("log UPS found on retry"), 1);
    EXPECT_EQ(rec_.Only("dialog ").size(), asked);
    EXPECT_EQ(rec_.Count("start polling"), 1);
    EXPECT_EQ(link_.ComPort, 2);
}

INSTANTIATE_TEST_SUITE_P(Units, SerialRetryTest,
                         ::testing::Values(RetryCase{"AppearsLater", false},
                                           RetryCase{"StopsEchoing", true}),
                         [](const auto& info) { return std::string(info.param.Name); });

}  // namespace
}  // namespace gw
