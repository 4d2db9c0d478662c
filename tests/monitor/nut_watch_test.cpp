// A UPS watched over the network: the server's variables cut for the evaluation, the cut status
// evaluated as a reply would be, the server's runtime acted on, and the record's words for a
// server that does not answer.
#include "monitor/nut_watch.h"

#include <gtest/gtest.h>

#include "fakes/recording_monitor_fakes.h"
#include "monitor/battery_charge.h"
#include "monitor/battery_store.h"
#include "monitor/battery_watch.h"
#include "monitor/local_time.h"
#include "monitor/status_json.h"
#include "monitor/test_files.h"
#include "monitor/ups_summary.h"

namespace gw::monitor {
namespace {

using link::StatusField;
using link::StatusFlag;
using std::chrono::system_clock;

const std::map<std::string, std::string> kNutdrvQx = {
    {"ups.status", "OB LB BOOST RB FSD"},
    {"input.voltage", "0.0"},
    {"input.voltage.fault", "0.0"},
    {"output.voltage", "218.4"},
    {"ups.load", "12"},
    {"input.frequency", "0.0"},
    {"battery.voltage", "10.90"},
    {"battery.voltage.nominal", "24.0"},
    {"battery.charge", "8"},
    {"battery.runtime", "95"},
    {"ups.temperature", "27.4"},
    {"ups.beeper.status", "enabled"},
    {"ups.type", "offline / line interactive"},
    {"device.mfr", "Tallowmere"},
    {"ups.model", "SIM-650"},
};

TEST(CutNutVariables, FillsTheFieldsFlagsAndFiguresOfAReply) {
    const auto time = system_clock::from_time_t(1'700'000'000);
    const WatchedStatus w = CutNutVariables(kNutdrvQx, "sim@nas", time);
    ASSERT_TRUE(w.Known);
    EXPECT_EQ(w.Cut.Text, "sim@nas OB LB BOOST RB FSD");
    EXPECT_EQ(w.Cut.Time, time);
    const std::optional<std::string> fields[] = {"0.0", "0.0",   "218.4", "12",
                                                 "0.0", "10.90", "27.4",  "OB LB BOOST RB FSD"};
    for (std::size_t k = 0; k < link::kStatusFieldCount; ++k) {
        EXPECT_EQ(w.Cut.Fields[k], fields[k]) << k;
    }
    const bool flags[] = {true, true, true, false, true, false, false, true};
    for (std::size_t k = 0; k < link::kStatusFieldCount; ++k)
        EXPECT_EQ(w.Cut.Flags[k], flags[k]) << k;
    EXPECT_EQ(w.Cut.Avr, AvrMode::Boost);
    EXPECT_TRUE(w.ForcedShutdown);
    EXPECT_TRUE(w.Cut.ReplaceBattery);
    EXPECT_EQ(w.Cut.BatteryCharge, 8);
    EXPECT_EQ(w.Cut.RuntimeSeconds, 95);
    EXPECT_EQ(w.Manufacturer, "Tallowmere");
    EXPECT_EQ(w.Model, "SIM-650");
    EXPECT_EQ(w.NominalBatteryVolts, 24);

    // Each status word alone, and what a server leaves out stays out.
    // clang-format off
    const struct { const char* Status; StatusFlag Flag; std::optional<AvrMode> Avr; } words[] = {
        {"OB",     StatusFlag::PowerFail,      std::nullopt},
        {"OL LB",  StatusFlag::BatteryLow,     std::nullopt},
        {"OL TRIM", StatusFlag::Avr,           AvrMode::Trim},
        {"OL BYPASS", StatusFlag::Avr,         AvrMode::Bypass},
        {"OL CAL", StatusFlag::TestInProgress, std::nullopt},
        {"OFF",    StatusFlag::ShutdownActive, std::nullopt},
    };
    // clang-format on
    for (const auto& word : words) {
        const WatchedStatus one = CutNutVariables({{"ups.status", word.Status}}, "u@h", time);
        int set = 0;
        for (bool flag : one.Cut.Flags) set += flag ? 1 : 0;
        EXPECT_EQ(set, 1) << word.Status;
        EXPECT_TRUE(one.Cut.Flags[static_cast<std::size_t>(word.Flag)]) << word.Status;
        EXPECT_EQ(one.Cut.Avr, word.Avr) << word.Status;
        EXPECT_FALSE(one.ForcedShutdown);
        EXPECT_FALSE(one.Cut.Fields[static_cast<std::size_t>(StatusField::BatteryVoltage)]);
        EXPECT_FALSE(one.Cut.BatteryCharge);
    }
    EXPECT_FALSE(CutNutVariables({{"battery.charge", "100"}}, "u@h", time).Known);
}

struct Harness {
    Harness() {
        display.SMTPWarningsCB = true;
        ApplyNominalVoltage(display, 12);
    }
    EvaluationResult Cut(const std::map<std::string, std::string>& variables) {
        return evaluation.EvaluateCut(CutNutVariables(variables, "ups@nas", now).Cut);
    }

    fakes::Journal journal;
    link::UpsLink link;  // never usable: a watched UPS has no port
    DisplayModel display;
    fakes::JournalLog log{&journal};
    fakes::RecordingTray tray{&journal};
    fakes::RecordingNotices notices{&journal};
    fakes::RecordingCountdown countdown{&journal};
    system_clock::time_point now = system_clock::from_time_t(1'700'000'000);
    StatusEvaluation evaluation{
        link, display, log, tray, notices, countdown, [this] { return now; }};
};

TEST(EvaluateCut, AnnouncesAsAReplyWouldAndTakesTheServersCharge) {
    Harness cut;
    Harness reply;
    reply.link.LinkUsable = true;
    reply.link.Q1Answered = true;
    // The same state told both ways gives the same announcements.
    const std::pair<std::map<std::string, std::string>, std::string> steps[] = {
        {{{"ups.status", "OL"},
          {"input.voltage", "230.0"},
          {"output.voltage", "230.0"},
          {"battery.voltage", "13.60"}},
         "(230.0 0.0 230.0 012 50.0 13.60 25.0 00000000#"},
        {{{"ups.status", "OB"},
          {"input.voltage", "0.0"},
          {"output.voltage", "230.0"},
          {"battery.voltage", "12.60"}},
         "(0.0 0.0 230.0 012 0.0 12.60 25.0 10000000#"},
        {{{"ups.status", "OB LB"},
          {"input.voltage", "0.0"},
          {"output.voltage", "230.0"},
          {"battery.voltage", "11.60"}},
         "(0.0 0.0 230.0 012 0.0 11.60 25.0 11000000#"},
        {{{"ups.status", "OL BOOST"},
          {"input.voltage", "200.0"},
          {"output.voltage", "230.0"},
          {"battery.voltage", "13.20"}},
         "(200.0 0.0 230.0 012 50.0 13.20 25.0 00100000#"},
    };
    for (const auto& [variables, text] : steps) {
        EXPECT_EQ(cut.Cut(variables).End, EvaluationEnd::Complete) << text;
        reply.evaluation.EvaluateStatus({text, reply.now});
        EXPECT_EQ(cut.journal, reply.journal) << text;
        cut.journal.clear();
        reply.journal.clear();
        EXPECT_EQ(cut.evaluation.Status().Flags, reply.evaluation.Status().Flags) << text;
        EXPECT_EQ(cut.evaluation.Status().AVRState, reply.evaluation.Status().AVRState) << text;
    }

    // The server's charge wins over the estimate from the volts; without volts there is none
    // to judge, and the evaluation goes on.
    cut.Cut({{"ups.status", "OL"}, {"battery.voltage", "13.60"}, {"battery.charge", "87"}});
    EXPECT_EQ(cut.evaluation.Status().BatteryCharge, 87);
    EXPECT_EQ(cut.display.BatteryChargeL, "87.0");
    EXPECT_EQ(cut.Cut({{"ups.status", "OB"}, {"ups.load", "n/a"}}).End, EvaluationEnd::Complete);
    EXPECT_FALSE(cut.evaluation.Status().BatteryVoltage);
    EXPECT_FALSE(cut.evaluation.Status().BatteryCharge);
    EXPECT_FALSE(cut.evaluation.Status().FieldNumber[3]);
    EXPECT_EQ(cut.evaluation.Status().FieldText[3], "n/a");
    // A minimum voltage is not ours to judge on another machine's UPS.
    EXPECT_FALSE(cut.Cut({{"ups.status", "OB"}, {"battery.voltage", "9.0"}}).MinVoltageTrigger);
}

TEST(EvaluateCut, TheServersRuntimeIsShownAndActedOn) {
    testing::ScratchDir dir;
    BatteryFileStore store(dir.Path());
    Harness h;
    BatteryWatch watch(h.link, h.display, h.log, h.tray, h.notices, h.countdown, store, nullptr);
    h.evaluation.SetBatteryHook([&](UpsStatus& status) { watch.OnEvaluated(status); });
    h.Cut({{"ups.status", "OL"}, {"battery.runtime", "1800"}, {"ups.load", "20"}});
    EXPECT_TRUE(h.evaluation.Status().RuntimeReported);
    EXPECT_EQ(h.evaluation.Status().RuntimeSeconds, 1800);
    // On battery, the first figure under what the shutdown needs acts, once.
    h.Cut({{"ups.status", "OB"}, {"battery.runtime", "600"}});
    EXPECT_EQ(h.countdown.Fires, 0);
    const long needed = watch.NeededSeconds().count();
    h.Cut({{"ups.status", "OB"}, {"battery.runtime", std::to_string(needed - 1)}});
    h.Cut({{"ups.status", "OB"}, {"battery.runtime", std::to_string(needed - 5)}});
    EXPECT_EQ(h.countdown.Fires, 1);
    // Without it, the estimate again.
    h.Cut({{"ups.status", "OL"}});
    EXPECT_FALSE(h.evaluation.Status().RuntimeReported);
}

// What is learned of a watched UPS's battery is its own, not that of every UPS of its make.
TEST(WatchedBattery, IsKnownByItsServersName) {
    link::UpsLink local;
    local.IAnswered = true;
    local.Manufacturer = "Tallowmere";
    local.Model = "SIM-650";
    link::UpsLink nas;
    nas.IAnswered = true;
    nas.Manufacturer = "Tallowmere";
    nas.Model = "SIM-650";
    nas.NetworkName = "ups@nas";
    link::UpsLink office;
    office.IAnswered = true;
    office.Manufacturer = "Tallowmere";
    office.Model = "SIM-650";
    office.NetworkName = "ups@office";
    EXPECT_NE(BatteryIdentity(nas), BatteryIdentity(local));
    EXPECT_NE(BatteryIdentity(nas), BatteryIdentity(office));
    EXPECT_NE(BatteryIdentity(nas).find("ups@nas"), std::string::npos);
}

TEST(WatchedSummary, NamesTheServerAndWhatIsWrong) {
    UpsState state;
    state.Source = "ups@nas";
    state.Link = Contact::NoContact;
    state.Problem = "login refused (ACCESS-DENIED)";
    EXPECT_EQ(SummaryOf(state).Text, "No reply from ups@nas: login refused (ACCESS-DENIED)");
    state.Link = Contact::Stale;
    state.LastReply = system_clock::from_time_t(1'700'000'000);
    state.Problem = "not reachable (Connection refused)";
    EXPECT_EQ(SummaryOf(state).Text, "No reply from ups@nas since " +
                                         LocalTimeText(*state.LastReply, "%H:%M:%S") +
                                         ": not reachable (Connection refused)");
    state.Battery.RuntimeReported = true;
    const std::string json = StatusJson(UpsStatus{}, state);
    EXPECT_NE(json.find(",\"source\":\"ups@nas\",\"runtime_reported\":true}"), std::string::npos)
        << json;
    state.Source.clear();
    state.Problem.clear();
    EXPECT_EQ(SummaryOf(state).Text,
              "No reply from the UPS since " + LocalTimeText(*state.LastReply, "%H:%M:%S"));
}

TEST(ChooseWatch, OptionThenSettingThenTheService) {
    // clang-format off
    const struct { const char* Option; const char* Setting; bool Service; const char* Ups;
                   bool Secondary; bool Error; } cases[] = {
        {"",        "",        false, nullptr,      true,  false},  // our own port
        {"a@nas",   "b@nas",   true,  "a",          true,  false},
        {"",        "b@nas",   true,  "b",          true,  false},
        {"",        "",        true,  "gridwarden", false, false},
        {"",        "b",       false, nullptr,      true,  true},
        {"",        "b",       true,  nullptr,      true,  true},   // no port of the service's
    };
    // clang-format on
    for (const auto& c : cases) {
        const WatchChoice choice =
            ChooseWatch(c.Option, c.Setting, c.Service, "gridwarden@127.0.0.1:3493");
        EXPECT_EQ(choice.Target.has_value(), c.Ups != nullptr) << c.Option << c.Setting;
        if (choice.Target) {
            EXPECT_EQ(choice.Target->Ups, c.Ups);
        }
        EXPECT_EQ(choice.Secondary, c.Secondary) << c.Option << c.Setting;
        EXPECT_EQ(!choice.Error.empty(), c.Error) << c.Option << c.Setting;
    }
}

TEST(WatchedProblem, TellsEachOutcome) {
    link::NutReading r;
    // clang-format off
    const std::pair<link::NutOutcome, const char*> cases[] = {
        {link::NutOutcome::Fresh,       ""},
        {link::NutOutcome::Unreachable, "not reachable (X)"},
        {link::NutOutcome::Stale,       "no fresh data (X)"},
        {link::NutOutcome::UnknownUps,  "no such UPS on the server"},
        {link::NutOutcome::Refused,     "login refused (X)"},
        {link::NutOutcome::Failed,      "error (X)"},
    };
    // clang-format on
    r.Detail = "X";
    for (const auto& [outcome, text] : cases) {
        r.Outcome = outcome;
        EXPECT_EQ(ProblemText(r), text);
    }
    EXPECT_EQ(InstantCommandOf(UserCommand::Test10s), "test.battery.start.quick");
    EXPECT_EQ(InstantCommandOf(UserCommand::TestUntilLow), "test.battery.start.deep");
    EXPECT_EQ(InstantCommandOf(UserCommand::CancelTest), "test.battery.stop");
    EXPECT_EQ(InstantCommandOf(UserCommand::ToggleBeeper), "beeper.toggle");
    EXPECT_FALSE(InstantCommandOf(UserCommand::TestMinutes));
}

}  // namespace
}  // namespace gw::monitor
