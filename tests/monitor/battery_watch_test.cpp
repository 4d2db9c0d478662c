// The battery watch between the evaluation and the power-fail response: the runtime trigger,
// the verdict's announcement and the knowledge kept per UPS.
#include "monitor/battery_watch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "fakes/recording_monitor_fakes.h"
#include "monitor/battery_health.h"
#include "monitor/status_json.h"
#include "monitor/test_files.h"

namespace gw::monitor {
namespace {

using link::StatusFlag;
using testing::ReadFile;
using testing::ScratchDir;
using testing::WriteFile;

class BatteryWatchTest : public ::testing::Test {
protected:
    BatteryWatchTest() : store_(dir_.Path()) {
        ups_.ComOpen = true;
        ups_.ComPort = 1;
        display_.RefreshUD.Position = 3;
        Restart();
    }

    void Restart() {
        watch_ = std::make_unique<BatteryWatch>(
            ups_, display_, log_, tray_, notices_, countdown_, store_,
            [this](int minutes) {
                ++tests_;
                test_minutes_ = minutes;
            },
            [this] { return std::chrono::steady_clock::time_point(now_); },
            [this] { return std::chrono::system_clock::time_point(now_); });
    }

    // One evaluated reply, three seconds after the one before.
    UpsStatus Poll(double load, double volts, bool power_fail, bool test = false) {
        UpsStatus status;
        status.FieldText[3] = FixedText(load, 0);
        status.FieldNumber[3] = load;
        status.BatteryVoltage = volts;
        status.Flags[static_cast<std::size_t>(StatusFlag::PowerFail)] = power_fail;
        status.Flags[static_cast<std::size_t>(StatusFlag::TestInProgress)] = test;
        watch_->OnEvaluated(status);
        now_ += std::chrono::seconds(3);
        return status;
    }

    int Count(const std::string& start) const {
        return static_cast<int>(
            std::count_if(log_.Lines.begin(), log_.Lines.end(),
                          [&](const std::string& line) { return line.rfind(start, 0) == 0; }));
    }

    ScratchDir dir_;
    BatteryFileStore store_;
    link::UpsLink ups_;
    DisplayModel display_;
    fakes::JournalLog log_;
    fakes::RecordingTray tray_;
    fakes::RecordingNotices notices_;
    fakes::RecordingCountdown countdown_;
    std::chrono::seconds now_{1'700'000'000};
    int tests_ = 0;
    int test_minutes_ = -1;
    std::unique_ptr<BatteryWatch> watch_;
};

TEST_F(BatteryWatchTest, ActsOnceWhenTheRuntimeRunsShortAndNeverOnAShortOutage) {
    // A short outage on a healthy battery, its first reply still settling low.
    Poll(30, 13.6, false);
    Poll(30, 11.2, true);
    Poll(30, 12.3, true);
    const UpsStatus mains = Poll(30, 13.6, false);
    EXPECT_EQ(countdown_.Fires, 0);
    EXPECT_EQ(Count("Runtime on battery about "), 1);
    ASSERT_TRUE(mains.RuntimeSeconds.has_value());
    EXPECT_GT(*mains.RuntimeSeconds, 300);  // a full battery at 30 %
    // "Shutdown Time", a poll and the firing, and a fifth more for an estimate running long.
    EXPECT_EQ(*mains.RuntimeLowSeconds, 149);
    // Against a UPS whose time runs ten times faster, the real seconds count ten-fold.
    watch_->SetTimeScale(10);
    EXPECT_EQ(*Poll(30, 13.6, false).RuntimeLowSeconds, 192);
    watch_->SetTimeScale(1);

    // A battery close to its cut-out: the trigger waits for three replies, then acts once.
    now_ += std::chrono::hours(2);
    Poll(30, 11.0, true);
    Poll(30, 10.95, true);
    EXPECT_EQ(countdown_.Fires, 0);
    for (int i = 0; i < 4; ++i) Poll(30, 10.9, true);
    EXPECT_EQ(countdown_.Fires, 1);
    EXPECT_EQ(Count("Runtime left "), 1);

    // The next failure may act again; a test on mains never does.
    Poll(30, 13.6, false);
    for (int i = 0; i < 4; ++i) Poll(30, 10.9, false, true);
    EXPECT_EQ(countdown_.Fires, 1);
    display_.RuntimeActionCB = false;
    Poll(30, 13.6, false);
    for (int i = 0; i < 4; ++i) Poll(30, 10.9, true);
    EXPECT_EQ(countdown_.Fires, 1);
}

TEST_F(BatteryWatchTest, ATiredBatteryIsAnnouncedOnceAndRemembered) {
    display_.SMTPWarningsCB = true;
    // A 10-second test from a recharged battery floating at 13.6 V: back on mains the voltage
    // comes back 1.5 V at once, the ohmic drop alone, before the charger brings the float back.
    const auto self_test = [this] {
        now_ += std::chrono::hours(2);
        Poll(35, 13.6, false);
        for (int i = 0; i < 4; ++i) Poll(35, 11.4, false, true);
        return Poll(35, 12.9, false);
    };
    const UpsStatus after = self_test();
    EXPECT_EQ(after.BatteryHealth, kHealthReplace);
    EXPECT_EQ(Count("Battery Replace: resistance about "), 1);
    ASSERT_EQ(notices_.Notices.size(), 1u);
    EXPECT_EQ(notices_.Notices[0].Kind, NoticeKind::BatteryReplace);
    EXPECT_NE(StatusJson(after).find("\"battery_health\":\"Replace\""), std::string::npos);
    self_test();
    EXPECT_EQ(Count("Battery Replace"), 1);

    // Another run reads what was learned; another UPS starts afresh.
    Restart();
    EXPECT_EQ(Poll(35, 13.6, false).BatteryHealth, kHealthReplace);
    EXPECT_EQ(watch_->Model()->Knowledge().Discharges, 2);
    ups_.ComPort = 2;
    EXPECT_EQ(Poll(35, 13.6, false).BatteryHealth, "");
}

TEST_F(BatteryWatchTest, TheScheduledTestRunsLongUntilTheBatteryIsKnownGood) {
    display_.BatteryTestDaysUD.Position = 1;
    // A battery like new, back up 0.5 V at once when the test's load goes; the next test is
    // overdue two days later.
    const auto self_test_and_wait = [this] {
        Poll(35, 13.6, false);
        for (int i = 0; i < 4; ++i) Poll(35, 12.3, false, true);
        Poll(35, 12.8, false);
        now_ += std::chrono::hours(50);
        return Poll(35, 13.6, false);
    };
    EXPECT_EQ(self_test_and_wait().BatteryHealth, kHealthUnknown);
    EXPECT_EQ(test_minutes_, 2);
    const int asked = tests_;
    EXPECT_EQ(self_test_and_wait().BatteryHealth, kHealthGood);
    EXPECT_EQ(tests_, asked + 1);
    EXPECT_EQ(test_minutes_, 0);
    EXPECT_EQ(Count("Battery Good"), 0);
}

TEST_F(BatteryWatchTest, AnUnreadableFileIsSetAsideAndLearningStartsAgain) {
    ups_.ComPort = 3;
    const std::string path = store_.PathFor(BatteryIdentity(ups_));
    WriteFile(path, "gridwarden-battery 1\nresistance x\n");
    const UpsStatus status = Poll(20, 13.6, false);
    EXPECT_FALSE(status.RuntimeLearned);
    EXPECT_EQ(Count("Battery knowledge unreadable"), 1);
    EXPECT_EQ(ReadFile(path + ".unreadable"), "gridwarden-battery 1\nresistance x\n");
    EXPECT_FALSE(std::filesystem::exists(path));

    // A round trip keeps every figure.
    BatteryKnowledge k;
    k.Resistance = {1.7, true, 2};
    k.Capacity = {655.5, true, 1};
    k.Curve = GenericBattery::kCurve;
    k.CurveLearned = true;
    k.Verdict = "Weak";
    k.Evidence = "sag 0.9 V at 30 % load, 0.5 V when new";
    ASSERT_EQ(store_.Save("x", k), "");
    const BatteryKnowledge back = store_.Load("x").Knowledge;
    EXPECT_EQ(FormatBatteryKnowledge("x", back), FormatBatteryKnowledge("x", k));
    EXPECT_FALSE(ParseBatteryKnowledge(FormatBatteryKnowledge("x", k), "y"));
}

}  // namespace
}  // namespace gw::monitor
