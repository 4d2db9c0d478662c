// Detection over the fake HID bus. No serial port of this machine is touched: every COMn is
// linked to a path that does not exist.
#include "monitor/ups_detection.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "fakes/fake_hid.h"
#include "fakes/manual_main_loop.h"
#include "fakes/recording_detection_peers.h"
#include "link/plain_main_loop.h"
#include "link/port_map.h"
#include "monitor/battery_charge.h"

namespace gw::monitor {
namespace {

using namespace std::chrono_literals;
using Lines = std::vector<std::string>;

const std::string kStatusReply = "(228.6 228.6 228.6 012 50.0 13.6 27.4 00001001\r";
const std::string kInfoReply = "#Tallowmere      SIM-650    1.0       \r";

link::HidDeviceInfo Device(const std::string& path, std::uint16_t vid, std::uint16_t pid,
                           const std::string& product = "") {
    return {path, vid, pid, product};
}
const link::HidDeviceInfo kMegatecUps = Device("/dev/hidraw0", 0x0665, 0x5161, "HID UPS Battery");
const link::HidDeviceInfo kMouse = Device("/dev/hidraw1", 0x046D, 0xC077);
const link::HidDeviceInfo kKeyboard = Device("/dev/hidraw2", 0x04D9, 0x1603, "USB Keyboard");
const link::HidDeviceInfo kUnusableUps = Device("/dev/hidraw3", 0x0925, 0x1234);

// Points every COMn at nothing for the life of the test.
class NoSerialPorts {
public:
    NoSerialPorts() {
        char tmpl[] = "/tmp/gw-detect-XXXXXX";
        root_ = mkdtemp(tmpl);
        if (const char* old = getenv("XDG_CONFIG_HOME")) old_ = old;
        setenv("XDG_CONFIG_HOME", root_.c_str(), 1);
        std::filesystem::create_directories(link::PortMapDir());
        for (int n = link::kFirstComPort; n <= link::kLastComPort; ++n) {
            std::filesystem::create_symlink(root_ + "/absent", link::PortMapLink(n));
        }
    }
    ~NoSerialPorts() {
        if (old_) {
            setenv("XDG_CONFIG_HOME", old_->c_str(), 1);
        } else {
            unsetenv("XDG_CONFIG_HOME");
        }
        std::filesystem::remove_all(root_);
    }

private:
    std::string root_;
    std::optional<std::string> old_;
};

class DetectionTest : public ::testing::Test {
protected:
    DetectionTest() {
        rec_.PowerAllowed = [](PowerAction action) { return action != PowerAction::Hibernate; };
        detection_ =
            std::make_unique<UpsDetection>(wire_, display_, rec_, rec_, loop_, rec_.Peers(), 20ms);
    }

    // A UPS on the bus answering `replies` ("Q1\r" -> text).
    void Plug(const link::HidDeviceInfo& device, std::map<std::string, std::string> replies = {}) {
        hid_->Devices.push_back(device);
        hid_->Ups[device.Path].Replies = std::move(replies);
    }
    void Unplug(const std::string& path) {
        auto& list = hid_->Devices;
        list.erase(
            std::remove_if(list.begin(), list.end(), [&](const auto& d) { return d.Path == path; }),
            list.end());
    }
    int Sent(const std::string& path, const std::string& command) const {
        const auto it = hid_->Ups.find(path);
        if (it == hid_->Ups.end()) return 0;
        int n = 0;
        for (const auto& report : it->second.Written) {
            n += std::string(report.begin() + 1, report.end()).rfind(command, 0) == 0 ? 1 : 0;
        }
        return n;
    }

    NoSerialPorts no_ports_;
    std::shared_ptr<fakes::FakeHidState> hid_ = std::make_shared<fakes::FakeHidState>();
    fakes::FakeHidBus bus_{hid_};
    link::UpsLink link_;
    link::DataMutex mutex_;
    fakes::DetectionRecorder rec_;
    link::Wire wire_{link_, mutex_, rec_, &bus_, [](std::chrono::milliseconds) {}};
    DisplayModel display_;
    link::PlainMainLoop loop_;
    std::unique_ptr<UpsDetection> detection_;
};

struct SelectionCase {
    const char* Name;
    std::vector<link::HidDeviceInfo> Devices;
    Lines Items;
    int Selected;
    bool Known;
    std::string Vide;
};

void PrintTo(const SelectionCase& c, std::ostream* os) { *os << c.Name; }

class HidSelectionTest : public DetectionTest,
                         public ::testing::WithParamInterface<SelectionCase> {};

TEST_P(HidSelectionTest, ListsEveryDeviceAndSelectsTheLastUps) {
    for (const auto& device : GetParam().Devices) Plug(device);
    detection_->HidEnumerationPass();
    EXPECT_EQ(display_.USBLBItems, GetParam().Items);
    EXPECT_EQ(display_.USBLBItemIndex, GetParam().Selected);
    const bool selected = GetParam().Selected >= 0;
    EXPECT_EQ(link_.HidPresent, selected);
    EXPECT_EQ(link_.UpsFound, selected);
    EXPECT_EQ(link_.HidKnown, GetParam().Known);
    EXPECT_EQ(link_.LinkUsable, GetParam().Known);
    EXPECT_EQ(display_.VIDE, GetParam().Vide);
    EXPECT_EQ(display_.VIDEEnabled, selected);
    EXPECT_EQ(rec_.Statuses.empty(), !selected);
    if (selected) {
        const auto& ups = GetParam().Devices[static_cast<std::size_t>(GetParam().Selected)];
        EXPECT_EQ(link_.HidDevicePath, ups.Path);
        EXPECT_EQ(display_.ProductNameE, ups.ProductString);
        EXPECT_TRUE(detection_->HidDevicePresent());
    }
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Devices, HidSelectionTest, ::testing::Values(
    SelectionCase{"UpsBeforeMouse", {kMegatecUps, kMouse},
                  {"HID UPS Battery", "Device VID=46d PID=c077"}, 0, true, "0665"},
    SelectionCase{"MouseBeforeUps", {kMouse, Device("/dev/hidraw5", 0x06DA, 0x0003)},
                  {"Device VID=46d PID=c077", "Device VID=6da PID=3"}, 1, true, "06DA"},
    SelectionCase{"CountsButCannotSpeak", {kUnusableUps}, {"Device VID=925 PID=1234"}, 0, false,
                  "0925"},
    SelectionCase{"GenericProductString", {Device("/dev/hidraw6", 0x1234, 0x0001, "USB UPS")},
                  {"USB UPS"}, 0, false, "1234"},
    SelectionCase{"LaterUpsReplacesEarlier", {kUnusableUps, kMouse, kMegatecUps},
                  {"Device VID=925 PID=1234", "Device VID=46d PID=c077", "HID UPS Battery"}, 2,
                  true, "0665"},
    SelectionCase{"NoUpsAtAll", {kMouse, kKeyboard},
                  {"Device VID=46d PID=c077", "USB Keyboard"}, -1, false, ""}),
    [](const auto& info) { return std::string(info.param.Name); });
// clang-format on

TEST_F(DetectionTest, PassLogsEveryDeviceWithFourDigitIdentifiers) {
    Plug(kMegatecUps);
    Plug(kMouse);
    detection_->HidEnumerationPass();
    EXPECT_EQ(rec_.Only("log "), (Lines{"Device(s) changed", "HID found: Device VID=0665 PID=5161",
                                        "USB UPS found", "HID found: Device VID=046D PID=C077"}));
}

struct StartCase {
    const char* Name;
    std::map<std::string, std::string> Replies;
    bool Q1Box;
    bool QSBox;
    StartOutcome Outcome;
    Lines Balloons;
    std::string LastStatus;
};

void PrintTo(const StartCase& c, std::ostream* os) { *os << c.Name; }

class StartTest : public DetectionTest, public ::testing::WithParamInterface<StartCase> {};

TEST_P(StartTest, ProbesShowTheConnectionAndStartPolling) {
    display_.Q1_CB = GetParam().Q1Box;
    display_.QS_CB = GetParam().QSBox;
    Plug(kMegatecUps, GetParam().Replies);
    bool found = false;
    detection_->OpenLink([&](bool link_found) { found = link_found; });
    ASSERT_TRUE(found);  // a HID unit: found at once, nothing to probe
    link_.UpsFound = true;
    rec_.Journal.clear();

    EXPECT_EQ(detection_->Start(), GetParam().Outcome);
    std::vector<std::string> balloons;
    for (const auto& b : rec_.Balloons) balloons.push_back(b.Title + "|" + b.Text);
    EXPECT_EQ(balloons, GetParam().Balloons);
    EXPECT_EQ(rec_.Statuses.back(), GetParam().LastStatus);
    const bool monitoring = GetParam().Outcome == StartOutcome::Monitoring;
    EXPECT_EQ(rec_.Count("start polling"), monitoring ? 1 : 0);
    EXPECT_EQ(rec_.Count("arm timers"), monitoring ? 1 : 0);
    EXPECT_EQ(link_.HidPresent, monitoring);
    EXPECT_EQ(link_.LinkUsable, monitoring);
    EXPECT_EQ(display_.Q1_LEnabled, link_.Q1Answered.load());
    EXPECT_EQ(display_.QS_LEnabled, link_.QSAnswered.load());
    EXPECT_EQ(display_.StopSBEnabled, monitoring);
    EXPECT_EQ(display_.USBLEnabled, monitoring);
    if (monitoring) {
        EXPECT_EQ(display_.ConnIImage, 0);
        EXPECT_TRUE(display_.SleepSBEnabled && display_.ShutdownRBEnabled);
        EXPECT_FALSE(display_.HibernateSBEnabled || display_.HibernateRBEnabled);
    }
}

const char kMegatecUsb[] = "Megatec protocol UPS detected: USB: VID: 0x0665 PID: 0x5161";
const char kMustekUsb[] = "Mustek protocol UPS detected: USB: VID: 0x0665 PID: 0x5161";
const char kMegatecBalloon[] = "UPS|Megatec protocol UPS detected:\rUSB: VID: 0x0665 PID: 0x5161";
const char kMustekBalloon[] = "UPS|Mustek protocol UPS detected:\rUSB: VID: 0x0665 PID: 0x5161";
const char kNoProtocolBalloon[] = "Warning!|Supported protocol UPS not detected!";

// clang-format off
INSTANTIATE_TEST_SUITE_P(Inquiries, StartTest, ::testing::Values(
    StartCase{"Megatec", {{"Q1\r", kStatusReply}}, true, true, StartOutcome::Monitoring,
              {kMegatecBalloon}, kMegatecUsb},
    StartCase{"Mustek", {{"QS\r", kStatusReply}}, true, true, StartOutcome::Monitoring,
              {kMustekBalloon}, kMustekUsb},
    StartCase{"BothAnswerMustekShownLast", {{"Q1\r", kStatusReply}, {"QS\r", kStatusReply}},
              true, true, StartOutcome::Monitoring, {kMegatecBalloon, kMustekBalloon}, kMustekUsb},
    StartCase{"AnswerToADisabledProbeDoesNotCount", {{"Q1\r", kStatusReply}}, false, true,
              StartOutcome::NoProtocol, {kNoProtocolBalloon}, "Supported protocol UPS not detected!"},
    StartCase{"EchoIsNoAnswer", {{"Q1\r", "Q1\r"}, {"QS\r", "QS\r"}}, true, true,
              StartOutcome::NoProtocol, {kNoProtocolBalloon}, "Supported protocol UPS not detected!"}),
    [](const auto& info) { return std::string(info.param.Name); });
// clang-format on

TEST_F(DetectionTest, BalloonHintsOffKeepsTheStatusBarOnly) {
    display_.BalloonCB = false;
    Plug(kMegatecUps, {{"Q1\r", kStatusReply}});
    detection_->StartUpDetection();
    EXPECT_TRUE(rec_.Balloons.empty());
    EXPECT_EQ(rec_.Statuses.back(), kMegatecUsb);
}

TEST_F(DetectionTest, UnusableUpsIsShownButStartDoesNothingMore) {
    Plug(kUnusableUps);
    detection_->StartUpDetection();
    EXPECT_EQ(rec_.Only("log "), (Lines{"Device(s) changed", "HID found: Device VID=0925 PID=1234",
                                        "USB UPS found", "Start Monitoring"}));
    EXPECT_EQ(rec_.Statuses, (Lines{"UPS found"}));
    EXPECT_EQ(display_.VIDE, "0925");
    EXPECT_TRUE(rec_.Balloons.empty());
    EXPECT_EQ(hid_->Opens, 0);  // not a word was sent to it
    EXPECT_EQ(rec_.Count("start polling"), 0);
    EXPECT_FALSE(detection_->Retrying());
}

TEST_F(DetectionTest, InfoQueryFillsTheUpsGroupWhenEnabled) {
    display_.I_CB = true;
    Plug(kMegatecUps, {{"Q1\r", kStatusReply}, {"I\r", kInfoReply}});
    detection_->StartUpDetection();
    EXPECT_TRUE(display_.I_LEnabled);
    EXPECT_TRUE(display_.MfrEEnabled && display_.ModelNLEnabled && display_.VerEEnabled);
    EXPECT_EQ(display_.MfrE, "Tallowmere");
    EXPECT_EQ(display_.ModelE, "SIM-650");
    EXPECT_EQ(display_.VerE, "1.0");
}

struct RatingCase {
    const char* Name;
    std::optional<std::string> Reply;  // to "F\r"
    bool FBox;
    int DialogVolts;
    int Nominal;
    bool FLabel;
    Lines Shown;  // dialogs and errors, in order
};

void PrintTo(const RatingCase& c, std::ostream* os) { *os << c.Name; }

class RatingTest : public DetectionTest, public ::testing::WithParamInterface<RatingCase> {};

TEST_P(RatingTest, SetsTheNominalVoltageThenLoadsThresholdsAndStillStarts) {
    std::map<std::string, std::string> replies = {{"Q1\r", kStatusReply}};
    if (GetParam().Reply) replies["F\r"] = *GetParam().Reply;
    display_.F_CB = GetParam().FBox;
    rec_.BatteryVoltage = GetParam().DialogVolts;
    Plug(kMegatecUps, replies);

    detection_->StartUpDetection();

    EXPECT_EQ(link_.NominalBatteryVoltage, GetParam().Nominal);
    EXPECT_EQ(link_.FAnswered, GetParam().FLabel);
    EXPECT_EQ(display_.F_LEnabled, GetParam().FLabel);
    EXPECT_EQ(display_.NominalBatteryVoltageE, std::to_string(GetParam().Nominal));
    // Thresholds are loaded into the ranges of the nominal voltage just applied.
    EXPECT_EQ(rec_.ThresholdRangeMax, FindNominalRow(GetParam().Nominal)->Max);
    Lines shown = rec_.Only("error ");
    if (rec_.Count("voltage dialog") > 0) shown.insert(shown.begin(), "voltage dialog");
    EXPECT_EQ(shown, GetParam().Shown);
    EXPECT_EQ(rec_.Count("start polling"), 1);
    EXPECT_EQ(rec_.Statuses.back(), kMegatecUsb);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Replies, RatingTest, ::testing::Values(
    RatingCase{"Answered", "#220.0 003 24.00 50.0\r", true, 12, 24, true, {}},
    RatingCase{"Silent", std::nullopt, true, 12, 12, false, {}},
    RatingCase{"FieldDoesNotConvert", "#230.0 003 1Z.00 50.0\r", true, 48, 12, false,
               {"'1Z.00' is not a valid floating point value"}},
    RatingCase{"AskedInstead", "#220.0 003 24.00 50.0\r", false, 48, 48, false,
               {"voltage dialog"}}),
    [](const auto& info) { return std::string(info.param.Name); });
// clang-format on

TEST_F(DetectionTest, GarbledRatingIsLoggedAndResetsTheRatingWhole) {
    Plug(kMegatecUps, {{"Q1\r", kStatusReply}, {"F\r", "#230.0 003 1Z.00 50.0\r"}});
    detection_->StartUpDetection();
    const Lines log = rec_.Only("log ");
    EXPECT_NE(std::find(log.begin(), log.end(),
                        "Rating reply: '1Z.00' is not a valid floating point value"),
              log.end());
    EXPECT_EQ(link_.RatedVoltage, 220);
}

TEST_F(DetectionTest, StopThenStartProbesAgainAndResumesTheSamePolling) {
    Plug(kMegatecUps, {{"Q1\r", kStatusReply}});
    detection_->StartUpDetection();
    ASSERT_EQ(Sent(kMegatecUps.Path, "Q1\r"), 1);
    rec_.Journal.clear();

    detection_->Stop();
    detection_->Stop();  // pauses once: a single Start must be able to undo it
    EXPECT_TRUE(display_.StartSBEnabled);
    EXPECT_FALSE(display_.StopSBEnabled);
    EXPECT_EQ(detection_->Start(), StartOutcome::Monitoring);
    EXPECT_EQ(
        rec_.Journal,
        (Lines{"pause", "log Stop Monitoring", "stop timers", "log Stop Monitoring", "stop timers",
               "resume", "log Start Monitoring", "status " + std::string(kMegatecUsb),
               "balloon Megatec protocol UPS detected:\rUSB: VID: 0x0665 PID: 0x5161 "
               "(information)",
               "start polling", "arm timers"}));
    EXPECT_EQ(Sent(kMegatecUps.Path, "Q1\r"), 2);
    EXPECT_FALSE(rec_.Paused);
}

TEST_F(DetectionTest, UnpluggedUpsStopsCountingAsPresentAndIsSelectedAgainOnReturn) {
    Plug(kMegatecUps, {{"Q1\r", kStatusReply}});
    Plug(kMouse);
    detection_->StartUpDetection();
    ASSERT_TRUE(detection_->HidDevicePresent());

    Unplug(kMegatecUps.Path);
    detection_->HidEnumerationPass();
    EXPECT_FALSE(link_.HidPresent);
    EXPECT_FALSE(link_.LinkUsable);
    EXPECT_FALSE(detection_->HidDevicePresent());
    EXPECT_EQ(display_.USBLBItems, (Lines{"Device VID=46d PID=c077"}));

    Plug(kMegatecUps, {{"Q1\r", kStatusReply}});
    detection_->HidEnumerationPass();
    EXPECT_TRUE(detection_->HidDevicePresent());
    EXPECT_TRUE(link_.LinkUsable);
    // Polling goes on with the inquiry found at Start: nothing is probed again.
    EXPECT_TRUE(link_.Q1Answered);
    EXPECT_EQ(Sent(kMegatecUps.Path, "Q1\r"), 1);
}

TEST_F(DetectionTest, NoUpsAnywhereAsksForAPortThenWarns) {
    detection_->StartUpDetection();
    EXPECT_EQ(rec_.Journal, (Lines{"log Device(s) changed", "dialog  pre -1",
                                   "status UPS not found!", "balloon UPS not found (warning)"}));
    EXPECT_EQ(rec_.Balloons.front().Title, "Warning!");
    EXPECT_TRUE(detection_->Retrying());
}

TEST_F(DetectionTest, RetryIsSilentUntilAUpsAppearsThenTellsEverything) {
    detection_->StartUpDetection();
    const std::size_t said = rec_.Journal.size();
    ASSERT_TRUE(detection_->Retrying());
    ASSERT_FALSE(loop_.RunUntil([] { return false; }, 100ms));  // several silent retries
    EXPECT_EQ(rec_.Journal.size(), said);

    Plug(kMegatecUps, {{"Q1\r", kStatusReply}});
    ASSERT_TRUE(loop_.RunUntil([&] { return !detection_->Retrying(); }, 2s));
    Lines after;
    for (std::size_t i = said; i < rec_.Journal.size(); ++i) {
        if (rec_.Journal[i].rfind("log ", 0) == 0) after.push_back(rec_.Journal[i]);
    }
    EXPECT_EQ(after, (Lines{"log UPS found on retry", "log Device(s) changed",
                            "log HID found: Device VID=0665 PID=5161", "log USB UPS found",
                            "log Start Monitoring"}));
    EXPECT_EQ(rec_.Count("log Start Monitoring"), 1);
    EXPECT_EQ(rec_.Count("start polling"), 1);
    EXPECT_EQ(rec_.Statuses.back(), kMegatecUsb);
    EXPECT_EQ(rec_.Count("dialog  pre -1"), 1);  // retries never ask
}

TEST_F(DetectionTest, RetryAfterAnUnansweredProbeFindsTheUpsOnceItAnswers) {
    display_.F_CB = false;
    rec_.BatteryVoltage = 24;
    Plug(kMegatecUps, {{"Q1\r", "Q1\r"}, {"QS\r", "QS\r"}});
    detection_->StartUpDetection();
    ASSERT_EQ(rec_.Statuses.back(), "Supported protocol UPS not detected!");
    ASSERT_TRUE(detection_->Retrying());
    ASSERT_FALSE(loop_.RunUntil([] { return false; }, 60ms));
    EXPECT_EQ(rec_.Count("log Start Monitoring"), 1);  // failed retries leave no line
    const int edited = display_.MinVoltageUD.Position + 5;
    display_.MinVoltageUD.Position = edited;

    hid_->Ups[kMegatecUps.Path].Replies["Q1\r"] = kStatusReply;
    ASSERT_TRUE(loop_.RunUntil([&] { return !detection_->Retrying(); }, 2s));
    EXPECT_EQ(rec_.Count("start polling"), 1);
    EXPECT_EQ(rec_.Count("log UPS found on retry"), 1);
    EXPECT_TRUE(link_.LinkUsable);
    // Asked once at start-up; the retries keep the answer instead of asking again.
    EXPECT_EQ(rec_.Count("voltage dialog"), 1);
    EXPECT_EQ(link_.NominalBatteryVoltage, 24);
    // Nor are the range and the stored thresholds applied again over the user's edit.
    EXPECT_EQ(rec_.Count("thresholds"), 1);
    EXPECT_EQ(display_.MinVoltageUD.Position, edited);
}

class RetryEndTest : public DetectionTest, public ::testing::WithParamInterface<bool> {};

TEST_P(RetryEndTest, StartOrStopByTheUserEndsRetrying) {
    detection_->StartUpDetection();
    ASSERT_TRUE(detection_->Retrying());
    if (GetParam()) {
        EXPECT_EQ(detection_->Start(), StartOutcome::NotFound);
    } else {
        detection_->Stop();
    }
    EXPECT_FALSE(detection_->Retrying());
    Plug(kMegatecUps, {{"Q1\r", kStatusReply}});
    loop_.RunUntil([] { return false; }, 80ms);
    EXPECT_EQ(rec_.Count("start polling"), 0);
    EXPECT_EQ(hid_->Opens, 0);
}

INSTANTIATE_TEST_SUITE_P(Actions, RetryEndTest, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Start" : "Stop"; });

// An unattended machine with no UPS at start: a unit plugged in later is noticed by the pass
// that follows the device change, and waiting out the retry period would leave the machine
// unprotected for up to a minute. One that cannot carry the protocol changes nothing.
TEST_F(DetectionTest, UsableUnitPluggedInWhileRetryingIsMonitoredAtOnce) {
    fakes::ManualLoop clock;  // the real retry period, on a virtual clock
    detection_ = std::make_unique<UpsDetection>(wire_, display_, rec_, rec_, clock, rec_.Peers());
    detection_->StartUpDetection();
    clock.AdvanceBy(13s);
    for (const link::HidDeviceInfo& unit : {kUnusableUps, kMegatecUps}) {
        Plug(unit, {{"Q1\r", kStatusReply}});
        detection_->HidEnumerationPass();  // what the device change runs
        EXPECT_EQ(detection_->Retrying(), unit.Path == kUnusableUps.Path);
    }
    EXPECT_EQ(rec_.Count("start polling"), 1);
    EXPECT_EQ(rec_.Count("log UPS found on retry"), 1);
    detection_.reset();  // before the clock its timer is on
}

}  // namespace
}  // namespace gw::monitor
