#include "monitor/status_evaluation.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "fakes/recording_monitor_fakes.h"
#include "monitor/battery_charge.h"

namespace gw::monitor {
namespace {

using std::chrono::system_clock;

constexpr char kFailedCycle[] = "FAIL";

std::string Reply(const std::string& bits, const std::string& battery = "13.60",
                  const std::string& input = "230.0", const std::string& output = "230.0") {
    return "(" + input + " 229.0 " + output + " 021 50.0 " + battery + " 25.0 " + bits + "#";
}

struct Harness {
    Harness() {
        link.LinkUsable = true;
        link.Q1Answered = true;
        display.SMTPWarningsCB = true;
        display.LANWarningsCB = true;
        ApplyNominalVoltage(display, 12);
    }

    EvaluationResult Feed(const std::string& text) {
        if (text == kFailedCycle) {
            evaluation.EvaluateFailedCycle();
            return {};
        }
        return evaluation.EvaluateStatus({text, now});
    }

    fakes::Journal journal;
    link::UpsLink link;
    DisplayModel display;
    fakes::JournalLog log{&journal};
    fakes::RecordingTray tray{&journal};
    fakes::RecordingNotices notices{&journal};
    fakes::RecordingCountdown countdown{&journal};
    system_clock::time_point now = system_clock::from_time_t(1'700'000'000);
    StatusEvaluation evaluation{
        link, display, log, tray, notices, countdown, [this] { return now; }};
};

// The announcements of one evaluation, as the fakes journal them.
using Lines = std::vector<std::string>;
const Lines kPowerFail = {"icon 2", "balloon Power fail (warning)", "start 600s", "log Power Fail",
                          "notice PowerFail mail lan"};
const Lines kPowerRestored = {"balloon Power O.K. (information)", "cancel", "log Power O.K.",
                              "notice PowerRestored mail lan", "icon 0"};
const Lines kAvrOn = {"icon 1", "balloon AVR On (information)", "log AVR On",
                      "notice AvrOn mail lan"};
const Lines kAvrOff = {"balloon AVR Off (information)", "log AVR Off", "notice AvrOff mail lan",
                       "icon 0"};
const Lines kBatteryLow = {"balloon Battery Low (warning)", "log Battery Low",
                           "notice BatteryLow mail lan"};

Lines Cat(Lines a, const Lines& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

struct SequenceCase {
    const char* Name;
    std::vector<std::string> Steps;
    std::vector<Lines> Expected;  // per step
};

class SequenceTest : public ::testing::TestWithParam<SequenceCase> {};

TEST_P(SequenceTest, AnnouncesEachChangeOnce) {
    Harness h;
    const SequenceCase& c = GetParam();
    ASSERT_EQ(c.Steps.size(), c.Expected.size());
    for (std::size_t i = 0; i < c.Steps.size(); ++i) {
        h.journal.clear();
        h.Feed(c.Steps[i]);
        EXPECT_EQ(h.journal, c.Expected[i]) << "step " << i << ": " << c.Steps[i];
    }
}

const std::string kCutOff = "(230.0 229.0 230.0 021";
const std::string kNotANumber = Reply("00000000", "13.60", "230.0", "---.-");

INSTANTIATE_TEST_SUITE_P(
    Evaluation, SequenceTest,
    ::testing::Values(
        SequenceCase{"FailRestoreFailAgain",
                     {Reply("10001000"), Reply("10001000"), Reply("00001000"), Reply("10001000")},
                     {kPowerFail, {"icon 2"}, kPowerRestored, kPowerFail}},
        SequenceCase{"AvrOnOff",
                     {Reply("00100000", "13.60", "210.0", "220.0"),
                      Reply("00100000", "13.60", "210.0", "220.0"), Reply("00000000")},
                     {kAvrOn, {"icon 1"}, kAvrOff}},
        SequenceCase{"BatteryLowOnMainsRearms",
                     {Reply("01000000"), Reply("01000000"), Reply("00000000"), Reply("01000000")},
                     {kBatteryLow, {}, {}, kBatteryLow}},
        SequenceCase{"BatteryLowOnBattery",
                     {Reply("10000000", "11.50"), Reply("11000000", "11.40")},
                     {kPowerFail, Cat({"icon 2"}, kBatteryLow)}},
        SequenceCase{
            "FailedCyclesKeepTheLatches",
            {Reply("10000000"), kFailedCycle, Reply("10000000"), kFailedCycle, Reply("00000000")},
            {kPowerFail,
             {"log I/O Thread failed"},
             {"icon 2"},
             {"log I/O Thread failed"},
             kPowerRestored}},
        SequenceCase{"NonNumberMidFailureAnnouncesNothing",
                     {Reply("10000000"), kNotANumber, Reply("10000000"), Reply("00000000")},
                     {kPowerFail, {}, {"icon 2"}, kPowerRestored}},
        SequenceCase{"CutOffReplyMidFailureAnnouncesNothing",
                     {Reply("10000000"), kCutOff, "(", "garbage#", Reply("00000000")},
                     {kPowerFail, {}, {}, {}, kPowerRestored}},
        // AVR after power fail decides the icon; AVR off on battery shows 0 until the next poll.
        SequenceCase{"AvrDuringPowerFail",
                     {Reply("10100000", "12.80", "000.0", "230.0"),
                      Reply("10000000", "12.70", "000.0", "230.0"),
                      Reply("10000000", "12.60", "000.0", "230.0")},
                     {Cat(kPowerFail, kAvrOn), Cat({"icon 2"}, kAvrOff), {"icon 2"}}}),
    [](const auto& info) { return std::string(info.param.Name); });

struct TriggerCase {
    const char* Name;
    std::string Text;
    long double Nominal;
    bool MinVoltageCB;
    bool Fires;
};

class MinVoltageTest : public ::testing::TestWithParam<TriggerCase> {};

TEST_P(MinVoltageTest, FiresOnlyBelowTheMinimumOnBattery) {
    const TriggerCase& c = GetParam();
    Harness h;
    h.link.NominalBatteryVoltage = c.Nominal;
    ApplyNominalVoltage(h.display, c.Nominal);
    h.display.MinVoltageCB = c.MinVoltageCB;
    for (int poll = 0; poll < 2; ++poll) {
        const EvaluationResult result = h.Feed(c.Text);
        EXPECT_EQ(result.End, EvaluationEnd::Complete);
        EXPECT_EQ(result.MinVoltageTrigger, c.Fires);
    }
    // Repeated at every poll below the minimum.
    EXPECT_EQ(h.countdown.Fires, c.Fires ? 2 : 0);
}

INSTANTIATE_TEST_SUITE_P(
    Evaluation, MinVoltageTest,
    ::testing::Values(
        TriggerCase{"BatteryTestOnMains", Reply("00000100", "10.50"), 12, true, false},
        TriggerCase{"AllZeroReplyAtStart", "(000.0 000.0 000.0 000 00.0 0.00 00.0 00000000#", 12,
                    true, false},
        TriggerCase{"PowerFailBelowMinimum", Reply("10000000", "10.50"), 12, true, true},
        TriggerCase{"PowerFailAtMinimum", Reply("10000000", "11.00"), 12, true, false},
        TriggerCase{"VoltageActionOff", Reply("10000000", "10.50"), 12, false, false},
        TriggerCase{"PerCellHealthyOnBattery", Reply("10000000", "2.27"), 24, true, false},
        TriggerCase{"PerCellFlatOnBattery", Reply("10000000", "1.85"), 24, true, true}),
    [](const auto& info) { return std::string(info.param.Name); });

struct PerCellCase {
    long double Nominal;
    const char* Field;
    bool PerCell;
    long double Pack;
    const char* Charge;
};

class PerCellTest : public ::testing::TestWithParam<PerCellCase> {};

TEST_P(PerCellTest, ScalesCellReadingsToThePack) {
    const PerCellCase& c = GetParam();
    Harness h;
    h.link.NominalBatteryVoltage = c.Nominal;
    ApplyNominalVoltage(h.display, c.Nominal);
    h.Feed(Reply("00000000", c.Field));
    const UpsStatus& s = h.evaluation.Status();
    EXPECT_EQ(s.FieldText[5], c.Field);
    EXPECT_EQ(s.BatteryVoltagePerCell, c.PerCell);
    ASSERT_TRUE(s.BatteryVoltage);
    EXPECT_NEAR(static_cast<double>(*s.BatteryVoltage), static_cast<double>(c.Pack), 1e-9);
    EXPECT_EQ(h.display.BatteryChargeL, c.Charge);
}

// Thresholds from the nominal voltage's row: 24 V empty 21.3, full 27.1.
INSTANTIATE_TEST_SUITE_P(Evaluation, PerCellTest,
                         ::testing::Values(PerCellCase{24, "2.00", true, 24.0, "46.6"},
                                           PerCellCase{48, "2.25", true, 54.0, "95.9"},
                                           PerCellCase{12, "13.60", false, 13.6, "97.5"},
                                           PerCellCase{24, "27.10", false, 27.1, "100.0"},
                                           PerCellCase{24, "3.50", false, 3.5, "-306.9"},
                                           PerCellCase{24, "0.00", false, 0, "-367.2"}));

TEST(EvaluationTest, ShowsAStandbyUnitOnMains) {
    Harness h;
    const auto result = h.Feed("(230.0 229.0 230.0 021 50.0 13.60 25.0 00001001#");
    EXPECT_EQ(result.End, EvaluationEnd::Complete);
    const UpsStatus& s = h.evaluation.Status();
    const std::array<std::string, 8> fields = {"230.0", "229.0", "230.0", "021",
                                               "50.0",  "13.60", "25.0",  "00001001"};
    EXPECT_EQ(s.FieldText, fields);
    const std::array<bool, 8> flags = {false, false, false, false, true, false, false, true};
    EXPECT_EQ(s.Flags, flags);
    EXPECT_EQ(s.Mode, "OL");
    EXPECT_EQ(s.AVRState, "...");
    EXPECT_EQ(s.ReplyText, "(230.0 229.0 230.0 021 50.0 13.60 25.0 00001001#");
    EXPECT_EQ(h.display.BatteryChargeL, "97.5");
    EXPECT_EQ(s.IPVoltageMin, 230.0L);
    EXPECT_EQ(s.IPVoltageMax, 230.0L);
    EXPECT_TRUE(h.journal.empty());
}

TEST(EvaluationTest, ModeAndAvrState) {
    const struct {
        std::string Bits, Input, Output, Mode, Avr;
    } cases[] = {
        {"00000100", "230.0", "230.0", "OB", "..."},
        {"00000010", "230.0", "230.0", "OFF", "..."},
        {"10000010", "230.0", "230.0", "OB", "..."},
        {"0000010", "230.0", "230.0", "OB", "..."},
        {"00100000", "210.0", "220.0", "OL", "BOOST"},
        {"00100000", "240.0", "220.0", "OL", "TRIM"},
        {"00100000", "220.0", "220.0", "OL", "BYPASS"},
    };
    for (const auto& c : cases) {
        Harness h;
        h.Feed(Reply(c.Bits, "13.60", c.Input, c.Output));
        EXPECT_EQ(h.evaluation.Status().Mode, c.Mode) << c.Bits;
        EXPECT_EQ(h.evaluation.Status().AVRState, c.Avr) << c.Bits << " " << c.Input;
    }
}

TEST(EvaluationTest, InputExtremesOnlyOnMains) {
    Harness h;
    h.Feed("(000.0 000.0 000.0 000 00.0 0.00 00.0 00000000#");  // not measured yet
    EXPECT_GT(h.evaluation.Status().IPVoltageMin, h.evaluation.Status().IPVoltageMax);
    for (const char* input : {"230.0", "000.0", "221.5", "240.0"}) {
        h.Feed(Reply(std::string(input) == "000.0" ? "10000000" : "00000000", "13.60", input));
    }
    EXPECT_EQ(h.evaluation.Status().IPVoltageMin, 221.5L);
    EXPECT_EQ(h.evaluation.Status().IPVoltageMax, 240.0L);
}

TEST(EvaluationTest, NonNumberKeepsLaterFieldsAndFlags) {
    Harness h;
    h.Feed(Reply("10000000", "12.10", "231.0"));
    const auto result = h.Feed(Reply("00000001", "13.90", "229.0", "---.-"));
    EXPECT_EQ(result.End, EvaluationEnd::NotANumber);
    const UpsStatus& s = h.evaluation.Status();
    EXPECT_EQ(s.FieldText[0], "229.0");
    EXPECT_EQ(s.FieldText[2], "---.-");
    EXPECT_FALSE(s.OPVoltage);
    EXPECT_EQ(s.FieldText[5], "12.10");
    EXPECT_EQ(s.FieldText[7], "10000000");
    EXPECT_TRUE(s.Flag(link::StatusFlag::PowerFail));
    EXPECT_TRUE(h.evaluation.PowerFailSeen());
}

TEST(EvaluationTest, MalformedRepliesNeitherCrashNorShift) {
    const std::string overlong = "(" + std::string(300, '2') + " 229.0 230.0 021 50.0 13.60";
    const struct {
        std::string Text;
        EvaluationEnd End;
    } cases[] = {
        {overlong.substr(0, 255), EvaluationEnd::Incomplete},
        {"(230.0 229.0 230.0 021 50.0 13.60 25.0 1#", EvaluationEnd::Complete},
        {"(230.0 229.0 230.0 021 50.0 13.60 25.0 " + std::string(200, '1') + "#",
         EvaluationEnd::Complete},
        {"(230.0 229.0 230.0 021 50.0 13.60 25.0", EvaluationEnd::Incomplete},
        {"(", EvaluationEnd::Incomplete},
        {"#", EvaluationEnd::NotStatus},
        {"", EvaluationEnd::EmptyReply},
    };
    for (const auto& c : cases) {
        Harness h;
        EXPECT_EQ(h.Feed(c.Text).End, c.End) << c.Text;
        if (c.End == EvaluationEnd::Complete) {
            EXPECT_EQ(h.evaluation.Status().FieldText[6], "25.0");
            EXPECT_TRUE(h.evaluation.Status().Flag(link::StatusFlag::PowerFail));
        } else {
            EXPECT_FALSE(h.evaluation.PowerFailSeen());
            EXPECT_TRUE(h.journal.empty());
        }
    }
}

TEST(EvaluationTest, NothingIsReadWithoutALinkOrAnInquiry) {
    Harness h;
    h.link.Q1Answered = false;
    EXPECT_EQ(h.Feed(Reply("10000000")).End, EvaluationEnd::NotStatus);
    EXPECT_EQ(h.evaluation.Status().ReplyText, Reply("10000000"));
    EXPECT_EQ(h.evaluation.Status().FieldText[0], "");
    h.link.QSAnswered = true;
    EXPECT_EQ(h.Feed(Reply("00000000")).End, EvaluationEnd::Complete);
    h.link.LinkUsable = false;
    EXPECT_EQ(h.Feed(Reply("10000000")).End, EvaluationEnd::LinkDown);
    EXPECT_EQ(h.evaluation.Status().ReplyText, Reply("00000000"));
    EXPECT_TRUE(h.journal.empty());
}

TEST(EvaluationTest, GatesAndChannels) {
    const struct {
        const char* Name;
        std::function<void(DisplayModel&)> Setup;
        Lines Expected;
    } cases[] = {
        {"NoBalloonsDelay30",
         [](DisplayModel& d) {
             d.BalloonCB = false;
             d.DelayUD.Position = 30;
         },
         {"icon 2", "start 30s", "log Power Fail", "notice PowerFail mail lan"}},
        {"MailOnly",
         [](DisplayModel& d) { d.LANWarningsCB = false; },
         {"icon 2", "balloon Power fail (warning)", "start 600s", "log Power Fail",
          "notice PowerFail mail"}},
        {"NoChannels",
         [](DisplayModel& d) {
             d.LANWarningsCB = false;
             d.SMTPWarningsCB = false;
         },
         {"icon 2", "balloon Power fail (warning)", "start 600s", "log Power Fail"}},
        {"GateOff",
         [](DisplayModel& d) { d.PowerFailCB = false; },
         {"icon 2", "balloon Power fail (warning)", "start 600s", "log Power Fail"}},
        {"NoDelayAction",
         [](DisplayModel& d) { d.DelayCB = false; },
         {"icon 2", "balloon Power fail (warning)", "log Power Fail", "notice PowerFail mail lan"}},
    };
    for (const auto& c : cases) {
        Harness h;
        c.Setup(h.display);
        h.Feed(Reply("10000000"));
        EXPECT_EQ(h.journal, c.Expected) << c.Name;
        EXPECT_EQ(h.tray.Icons.back(), 2);
        for (const auto& notice : h.notices.Notices) EXPECT_EQ(notice.Time, h.now);
        for (const auto& balloon : h.tray.Balloons) EXPECT_EQ(balloon.Title, "UPS Status");
    }
}

}  // namespace
}  // namespace gw::monitor
