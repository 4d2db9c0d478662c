#include "monitor/system_power.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "fakes/fake_power_control.h"
#include "fakes/manual_main_loop.h"

namespace gw::monitor {
namespace {

using fakes::FakePowerControl;
using Journal = std::vector<std::string>;

// Log, polling switch and hooks writing into one journal, so the order across them shows.
struct Recorder final : link::LogSink, PollingControl, PowerHooks {
    void AppendLog(std::string_view text) override { Events.push_back("log " + std::string(text)); }
    void StartPolling() override { Events.push_back("start polling"); }
    void PausePolling() override {
        if (Paused) Events.push_back("PAUSED TWICE");
        Paused = true;
        Events.push_back("pause");
    }
    void ResumePolling() override {
        if (!Paused) Events.push_back("RESUMED UNPAUSED");
        Paused = false;
        Events.push_back("resume");
    }
    bool PollingPaused() const override { return Paused; }
    void EndPolling() override { Events.push_back(Paused ? "END WHILE PAUSED" : "end polling"); }
    void StopReportTimers() override { Events.push_back("stop timers"); }
    void RestartReportTimers() override { Events.push_back("restart timers"); }
    void AllowClose() override { Events.push_back("allow close"); }
    void RunCloseSequence() override {
        Events.push_back("close sequence");
        if (OnClose) OnClose();
    }

    bool Paused = false;
    std::function<void()> OnClose;
    Journal Events;
};

class SystemPowerTest : public ::testing::Test {
protected:
    // The constructor's questions (the inhibitor, the three actions) are answered unless
    // `answered` is false.
    void Build(std::chrono::milliseconds announce_limit = SystemPower::kAnnounceLimit,
               bool answered = true) {
        auto backend = std::make_unique<FakePowerControl>();
        fake_ = backend.get();
        configure_(*fake_);
        power_ = std::make_unique<SystemPower>(std::move(backend), loop_, rec_, rec_, rec_,
                                               announce_limit);
        if (answered) fake_->AnswerAll();
        rec_.Events.clear();
        fake_->Calls.clear();
    }
    // Records the backend's calls into the journal too.
    void TraceDo() {
        fake_->OnDo = [this](PowerAction a) {
            rec_.Events.push_back(std::string("do ") + RowOf(a).Name);
        };
    }

    fakes::ManualLoop loop_;
    Recorder rec_;
    std::function<void(FakePowerControl&)> configure_ = [](FakePowerControl&) {};
    FakePowerControl* fake_ = nullptr;
    std::unique_ptr<SystemPower> power_;
};

struct RefusalCase {
    PowerAction Action;
    std::string Answer;  // as FakePowerControl::Answers takes it
    std::string Line;
};
void PrintTo(const RefusalCase& c, std::ostream* out) { *out << c.Line; }

class RefusalTest : public SystemPowerTest, public ::testing::WithParamInterface<RefusalCase> {};

// A refused action must say so in the log, and change nothing else: after a power failure the
// log is the only place the user learns that the computer was never protected.
TEST_P(RefusalTest, LogsOneLineAndLeavesMonitoringAlone) {
    const RefusalCase& c = GetParam();
    Build();  // the start-up answers allow everything
    fake_->Answers[c.Action] = c.Answer;
    ASSERT_TRUE(power_->Act(c.Action));
    EXPECT_EQ(rec_.Events, Journal{});  // the refusal is not known yet
    fake_->AnswerAll();
    EXPECT_EQ(rec_.Events, Journal{"log " + c.Line});
    EXPECT_EQ(fake_->Calls, std::vector<std::string>{std::string("Can ") + RowOf(c.Action).Name});
    EXPECT_FALSE(power_->Acting());
    EXPECT_FALSE(power_->Allowed(c.Action));  // the button follows the check's answer
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Answers, RefusalTest, ::testing::Values(
    RefusalCase{PowerAction::PowerOff,  "no",        "Power off failed: not allowed (no)"},
    RefusalCase{PowerAction::PowerOff,  "challenge", "Power off failed: not allowed (challenge)"},
    RefusalCase{PowerAction::Suspend,   "na",        "Suspend failed: not allowed (na)"},
    RefusalCase{PowerAction::Suspend,   "challenge", "Suspend failed: not allowed (challenge)"},
    RefusalCase{PowerAction::Hibernate, "no",        "Hibernate failed: not allowed (no)"},
    RefusalCase{PowerAction::Hibernate, "error:Connection refused",
                "Hibernate failed: Connection refused"}));
// clang-format on

struct FailureCase {
    PowerAction Action;
    Journal Expected;
};
void PrintTo(const FailureCase& c, std::ostream* out) { *out << RowOf(c.Action).Name; }

class DoFailureTest : public SystemPowerTest, public ::testing::WithParamInterface<FailureCase> {};

// The system took the question but refused the request: one line with its error, and polling
// and the report timers come back at once instead of waiting for a wake that never comes.
TEST_P(DoFailureTest, LogsTheErrorAndGivesMonitoringBack) {
    const FailureCase& c = GetParam();
    configure_ = [&](FakePowerControl& f) { f.DoErrors[c.Action] = "Access denied"; };
    Build();
    TraceDo();
    ASSERT_TRUE(power_->Act(c.Action));
    fake_->AnswerAll();
    EXPECT_EQ(rec_.Events, c.Expected);
    EXPECT_FALSE(rec_.Paused);
    EXPECT_FALSE(power_->Acting());
    EXPECT_TRUE(power_->InhibitorHeld());
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Actions, DoFailureTest, ::testing::Values(
    FailureCase{PowerAction::PowerOff, {"do Power off", "log Power off failed: Access denied"}},
    FailureCase{PowerAction::Suspend, {"log Suspend Mode", "stop timers", "pause", "do Suspend",
        "log Suspend failed: Access denied", "resume", "restart timers"}},
    FailureCase{PowerAction::Hibernate, {"log Hibernate", "stop timers", "pause", "do Hibernate",
        "log Hibernate failed: Access denied", "resume", "restart timers"}}));
// clang-format on

TEST_F(SystemPowerTest, SuspendPausesBeforeTheSystemSleepsAndResumesOnWaking) {
    Build();
    TraceDo();
    ASSERT_TRUE(power_->SystemSuspend());
    fake_->AnswerAll();
    EXPECT_EQ(rec_.Events, (Journal{"log Suspend Mode", "stop timers", "pause", "do Suspend"}));
    EXPECT_EQ(fake_->InhibitorsHeld(), 2);

    rec_.Events.clear();
    fake_->PrepareForSleep(true);
    // Already paused by the request: the broadcast must not take the lock a second time.
    EXPECT_EQ(rec_.Events, (Journal{"log WM_POWERBROADCAST 0x0004", "stop timers"}));
    EXPECT_EQ(fake_->InhibitorsHeld("sleep"), 0);
    EXPECT_EQ(fake_->InhibitorsHeld("shutdown"), 1);

    rec_.Events.clear();
    fake_->PrepareForSleep(false);
    EXPECT_EQ(rec_.Events, (Journal{"log WM_POWERBROADCAST 0x0012", "resume", "restart timers"}));
    fake_->AnswerAll();
    EXPECT_EQ(fake_->InhibitorsHeld(), 2);
    EXPECT_FALSE(power_->Acting());
}

// The system sleeps on its own, with monitoring running or stopped by the user: polling is
// paused before the inhibitor goes and runs again after waking either way.
TEST_F(SystemPowerTest, SleepFromElsewherePausesOnceAndAlwaysResumes) {
    for (bool stopped_by_user : {false, true}) {
        SCOPED_TRACE(stopped_by_user);
        Build();
        rec_.Paused = stopped_by_user;
        fake_->PrepareForSleep(true);
        Journal expected{"log WM_POWERBROADCAST 0x0004", "stop timers"};
        if (!stopped_by_user) expected.push_back("pause");
        EXPECT_EQ(rec_.Events, expected);
        EXPECT_TRUE(rec_.Paused);
        EXPECT_EQ(fake_->InhibitorsHeld("sleep"), 0);

        fake_->PrepareForSleep(false);
        fake_->AnswerAll();
        EXPECT_FALSE(rec_.Paused);
        EXPECT_EQ(fake_->InhibitorsHeld("sleep"), 1);
    }
}

// Every phase counts as under way: the question, the request, the sleep itself.
TEST_F(SystemPowerTest, ActsOnceWhileAnActionIsUnderWay) {
    Build();
    auto nothing_else_acts = [&] {
        EXPECT_FALSE(power_->SystemHibernate());
        EXPECT_FALSE(power_->SystemSuspend());
        EXPECT_FALSE(power_->SystemShutdown());
    };
    ASSERT_TRUE(power_->SystemHibernate());
    EXPECT_TRUE(power_->Acting());
    nothing_else_acts();  // the check is still out
    ASSERT_TRUE(fake_->Answer());
    nothing_else_acts();  // the request is out
    ASSERT_TRUE(fake_->Answer());
    nothing_else_acts();  // taken, not yet announced
    fake_->PrepareForSleep(true);
    nothing_else_acts();
    EXPECT_EQ(fake_->Calls, (std::vector<std::string>{"Can Hibernate", "Do Hibernate"}));

    fake_->PrepareForSleep(false);
    EXPECT_TRUE(power_->SystemHibernate());  // after waking the battery may still be low
}

// The buttons must not wait for a stalled system: until it answers they keep what they had.
TEST_F(SystemPowerTest, ChoicesKeepTheirLastAnswerUntilTheNextComes) {
    configure_ = [](FakePowerControl& f) {
        f.Answers[PowerAction::Suspend] = "no";
        f.Answers[PowerAction::Hibernate] = "error:Timeout was reached";
    };
    Build(SystemPower::kAnnounceLimit, /*answered=*/false);
    int changes = 0;
    power_->OnAllowedChanged([&] { ++changes; });
    auto allowed = [&] {
        return std::vector<bool>{power_->Allowed(PowerAction::PowerOff),
                                 power_->Allowed(PowerAction::Suspend),
                                 power_->Allowed(PowerAction::Hibernate)};
    };
    EXPECT_EQ(allowed(), (std::vector<bool>{true, true, true}));
    power_->RefreshAllowed();  // the constructor's questions are still out: nothing new
    EXPECT_EQ(fake_->Unanswered(),
              (std::vector<std::string>{"Inhibit sleep", "Inhibit shutdown", "Can Power off",
                                        "Can Suspend", "Can Hibernate"}));
    fake_->AnswerAll();
    EXPECT_EQ(allowed(), (std::vector<bool>{true, false, false}));
    EXPECT_EQ(changes, 2);

    fake_->Answers.clear();
    power_->RefreshAllowed();
    EXPECT_EQ(allowed(), (std::vector<bool>{true, false, false}));
    fake_->AnswerAll();
    EXPECT_EQ(allowed(), (std::vector<bool>{true, true, true}));
    EXPECT_EQ(changes, 4);
    EXPECT_EQ(rec_.Events, Journal{});
}

// The system's own sleep overtook the question of an earlier request: its late answer must not
// send the computer to sleep again right after waking, nor count as the next request's.
TEST_F(SystemPowerTest, LateAnswerOfAnOvertakenRequestIsDropped) {
    Build();
    ASSERT_TRUE(power_->SystemSuspend());
    fake_->PrepareForSleep(true);
    fake_->PrepareForSleep(false);
    ASSERT_TRUE(power_->SystemShutdown());
    fake_->AnswerAll();
    EXPECT_EQ(fake_->Calls, (std::vector<std::string>{"Can Suspend", "Inhibit sleep",
                                                      "Can Power off", "Do Power off"}));
}

struct InhibitorCase {
    const char* Name;
    std::vector<std::string> Steps;  // "sleep", "wake", "power-off" announced, or "answer" all
    int SleepHeld;
    int ShutdownHeld;
    int AskedAgain;  // after the constructor's questions
};
void PrintTo(const InhibitorCase& c, std::ostream* out) { *out << c.Name; }

class InhibitorTest : public SystemPowerTest,
                      public ::testing::WithParamInterface<InhibitorCase> {};

// The inhibitor's answer may come after the system announced sleep or power-off: held then, it
// would only keep the system waiting; dropped without closing, it would leak.
TEST_P(InhibitorTest, IsHeldOnlyWhileTheMachineStaysUp) {
    const InhibitorCase& c = GetParam();
    Build(SystemPower::kAnnounceLimit, /*answered=*/false);
    for (const std::string& step : c.Steps) {
        if (step == "sleep") fake_->PrepareForSleep(true);
        if (step == "wake") fake_->PrepareForSleep(false);
        if (step == "power-off") fake_->PrepareForShutdown(true);
        if (step == "answer") fake_->AnswerAll();
    }
    EXPECT_EQ(fake_->InhibitorsHeld("sleep"), c.SleepHeld);
    EXPECT_EQ(fake_->InhibitorsHeld("shutdown"), c.ShutdownHeld);
    EXPECT_EQ(std::count_if(fake_->Calls.begin(), fake_->Calls.end(),
                            [](const std::string& call) { return call.rfind("Inhibit", 0) == 0; }),
              c.AskedAgain);
    EXPECT_EQ(power_->InhibitorHeld(), c.SleepHeld == 1 && c.ShutdownHeld == 1);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Orders, InhibitorTest, ::testing::Values(
    InhibitorCase{"AnsweredWhileAsleep",   {"sleep", "answer"},                   0, 1, 0},
    InhibitorCase{"AskedAgainAfterWaking", {"sleep", "answer", "wake", "answer"}, 1, 1, 1},
    InhibitorCase{"WokeBeforeTheAnswer",   {"sleep", "wake", "answer"},           1, 1, 0},
    InhibitorCase{"AnsweredAfterPowerOff", {"power-off", "answer"},               0, 0, 0}));
// clang-format on

TEST_F(SystemPowerTest, ShutdownEndsPollingAndRunsTheCloseSequenceBeforeReleasing) {
    Build();
    TraceDo();
    rec_.Paused = true;  // monitoring stopped by the user: the lock goes before the thread ends
    int held_during_close = -1;
    rec_.OnClose = [&] { held_during_close = fake_->InhibitorsHeld(); };

    ASSERT_TRUE(power_->SystemShutdown());
    fake_->AnswerAll();
    EXPECT_EQ(rec_.Events, (Journal{"do Power off", "resume", "end polling", "allow close"}));

    rec_.Events.clear();
    fake_->PrepareForShutdown(true);
    EXPECT_EQ(rec_.Events, (Journal{"allow close", "close sequence"}));
    EXPECT_EQ(held_during_close, 2);
    EXPECT_EQ(fake_->InhibitorsHeld(), 0);
    EXPECT_FALSE(power_->SystemSuspend());
}

TEST_F(SystemPowerTest, EndOfSessionRunsTheCloseSequenceOnce) {
    Build();
    power_->SessionEnding();
    power_->SessionEnding();
    fake_->PrepareForShutdown(true);
    fake_->PrepareForSleep(true);  // ignored: the log may already be closed
    EXPECT_EQ(rec_.Events, (Journal{"allow close", "close sequence"}));
    EXPECT_FALSE(power_->SystemShutdown());
}

TEST_F(SystemPowerTest, CalledOffPowerOffTakesTheInhibitorBack) {
    Build();
    fake_->PrepareForShutdown(true);
    EXPECT_EQ(fake_->InhibitorsHeld(), 0);
    fake_->PrepareForShutdown(false);
    fake_->AnswerAll();
    EXPECT_EQ(fake_->InhibitorsHeld(), 2);
    EXPECT_FALSE(power_->Acting());
}

struct NeverCameCase {
    PowerAction Action;
    Journal Expected;
};
void PrintTo(const NeverCameCase& c, std::ostream* out) { *out << RowOf(c.Action).Name; }

class NeverCameTest : public SystemPowerTest,
                      public ::testing::WithParamInterface<NeverCameCase> {};

// A request the system took but never announced (a stuck shutdown, an inhibitor that never
// lets go): monitoring must not stay paused or ended for good, and the next firing acts again.
TEST_P(NeverCameTest, GivesMonitoringBackAndMayActAgain) {
    const NeverCameCase& c = GetParam();
    Build(std::chrono::milliseconds(20));
    ASSERT_TRUE(power_->Act(c.Action));
    fake_->AnswerAll();
    loop_.AdvanceBy(std::chrono::milliseconds(20));
    ASSERT_FALSE(power_->Acting());
    EXPECT_EQ(rec_.Events, c.Expected);
    EXPECT_FALSE(rec_.Paused);

    ASSERT_TRUE(power_->Act(c.Action));
    fake_->AnswerAll();
    const std::string request = std::string("Do ") + RowOf(c.Action).Name;
    EXPECT_EQ(std::count(fake_->Calls.begin(), fake_->Calls.end(), request), 2);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Actions, NeverCameTest, ::testing::Values(
    NeverCameCase{PowerAction::PowerOff, {"end polling", "allow close",
        "log Power off did not happen", "start polling"}},
    NeverCameCase{PowerAction::Suspend, {"log Suspend Mode", "stop timers", "pause",
        "log Suspend failed: the system did not go to sleep", "resume", "restart timers"}},
    NeverCameCase{PowerAction::Hibernate, {"log Hibernate", "stop timers", "pause",
        "log Hibernate failed: the system did not go to sleep", "resume", "restart timers"}}));
// clang-format on

TEST_F(SystemPowerTest, AnnouncedSleepIsNotUndoneByTheLimit) {
    Build(std::chrono::milliseconds(20));
    ASSERT_TRUE(power_->SystemSuspend());
    fake_->AnswerAll();
    fake_->PrepareForSleep(true);
    loop_.AdvanceBy(std::chrono::milliseconds(100));
    EXPECT_TRUE(rec_.Paused);
    EXPECT_TRUE(power_->Acting());
}

// At boot logind may time out while polkit starts, or refuse: each inhibitor is asked for on
// its own, and a refused one again, less and less often, until held; one line says each turn.
TEST_F(SystemPowerTest, EachInhibitorIsAskedForAgainUntilHeld) {
    using std::chrono::seconds;
    configure_ = [](FakePowerControl& f) { f.InhibitErrors["sleep"] = "Permission denied"; };
    Build(SystemPower::kAnnounceLimit, /*answered=*/false);
    fake_->AnswerAll();
    std::vector<long> asked;  // seconds from the start
    for (long second = 1; second <= 200; ++second) {
        loop_.AdvanceBy(seconds(1));
        if (fake_->Answer()) asked.push_back(second);
    }
    EXPECT_EQ(asked, (std::vector<long>{2, 6, 14, 30, 62, 122, 182}));
    EXPECT_EQ(fake_->InhibitorsHeld("shutdown"), 1);
    EXPECT_EQ(rec_.Events, Journal{"log Power events: no delay inhibitor: Permission denied"});

    fake_->InhibitErrors.clear();
    loop_.AdvanceBy(seconds(60));
    fake_->AnswerAll();
    EXPECT_TRUE(power_->InhibitorHeld());
    EXPECT_EQ(rec_.Events.back(), "log Power events: delay inhibitor held");
    EXPECT_EQ(fake_->Calls, std::vector<std::string>(8, "Inhibit sleep"));
    // Asleep or going down, nothing is asked for; waking asks at once.
    fake_->InhibitErrors["sleep"] = "Permission denied";
    for (bool going_down : {false, true}) {
        going_down ? fake_->PrepareForShutdown(true) : fake_->PrepareForSleep(true);
        const std::size_t calls = fake_->Calls.size();
        loop_.AdvanceBy(seconds(600));
        EXPECT_EQ(fake_->Calls.size(), calls);
        if (!going_down) fake_->PrepareForSleep(false);
        EXPECT_EQ(fake_->Unanswered().size(), going_down ? 0u : 1u);
        fake_->AnswerAll();
    }
}

}  // namespace
}  // namespace gw::monitor
