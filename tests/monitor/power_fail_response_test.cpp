#include "monitor/power_fail_response.h"

#include <gtest/gtest.h>

#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "fakes/manual_main_loop.h"

namespace gw::monitor {
namespace {

using namespace std::chrono_literals;
using Journal = std::vector<std::string>;
using Clock = std::chrono::steady_clock;

using fakes::ManualLoop;

// Log, system actions and UPS commands writing into one journal, so their order shows.
struct Recorder final : link::LogSink, SystemActions {
    void AppendLog(std::string_view text) override { Events.push_back("log " + std::string(text)); }
    void SystemShutdown() override { Events.push_back("shutdown"); }
    void SystemSuspend() override { Events.push_back("suspend"); }
    void SystemHibernate() override { Events.push_back("hibernate"); }
    Journal Events;
};

// Programs that run until the test ends them; the end arrives through the loop, as it does
// from the real waiter.
class FakeLauncher final : public ProgramLauncher {
public:
    FakeLauncher(ManualLoop& loop, Journal& events) : loop_(loop), events_(events) {}

    std::unique_ptr<RunningProgram> Start(const std::string& path, ProgramEndHandler on_end,
                                          std::string& error) override {
        events_.push_back("program " + path);
        if (!Failure.empty()) {
            error = Failure;
            return nullptr;
        }
        auto program = std::make_unique<Program>();
        program->OnEnd = std::move(on_end);
        running_.push_back(program->Alive);
        handlers_.push_back(program->OnEnd);
        return program;
    }

    // Ends the oldest program still watched.
    void EndProgram() {
        ASSERT_FALSE(running_.empty()) << "no program runs";
        auto alive = running_.front();
        auto handler = handlers_.front();
        running_.pop_front();
        handlers_.pop_front();
        loop_.Post([alive, handler] {
            if (*alive) handler(ProgramEnd{true, 0, 0});
        });
        loop_.RunUntilIdle();
    }
    std::size_t Running() const { return running_.size(); }

    std::string Failure;

private:
    struct Program final : RunningProgram {
        ~Program() override { *Alive = false; }
        int Pid() const override { return 4242; }
        std::shared_ptr<bool> Alive = std::make_shared<bool>(true);
        ProgramEndHandler OnEnd;
    };
    ManualLoop& loop_;
    Journal& events_;
    std::deque<std::shared_ptr<bool>> running_;
    std::deque<ProgramEndHandler> handlers_;
};

class PowerFailResponseTest : public ::testing::Test {
protected:
    PowerFailResponseTest() {
        display_.ExternalProgramPath = "/opt/save-work.sh";
        response_ = std::make_unique<PowerFailResponse>(
            loop_, display_, rec_, rec_, launcher_,
            [this](std::string_view command) {
                rec_.Events.push_back("ups " + std::string(command));
            },
            [this] { return loop_.Now(); });
    }
    void ChooseAction(bool DisplayModel::*choice) {
        display_.ShutdownRB = display_.SleepRB = display_.HibernateRB = display_.NothingRB = false;
        display_.*choice = true;
    }

    ManualLoop loop_;
    DisplayModel display_;
    Recorder rec_;
    FakeLauncher launcher_{loop_, rec_.Events};
    std::unique_ptr<PowerFailResponse> response_;
};

TEST_F(PowerFailResponseTest, ExpiryRunsProgramThenUpsCommandThenShutdown) {
    display_.ExCB = true;
    display_.UPSShutdownCB = true;
    response_->StartCountdown(600s);
    loop_.AdvanceBy(599'999ms);
    EXPECT_TRUE(rec_.Events.empty());
    EXPECT_EQ(response_->State(), ResponseState::Counting);

    loop_.AdvanceBy(1ms);
    // Nothing follows the program until it has ended.
    EXPECT_EQ(rec_.Events, (Journal{"program /opt/save-work.sh"}));
    EXPECT_EQ(response_->State(), ResponseState::Acting);
    launcher_.EndProgram();
    EXPECT_EQ(rec_.Events, (Journal{"program /opt/save-work.sh", "ups S05\r", "shutdown"}));
    EXPECT_EQ(response_->State(), ResponseState::Idle);
}

TEST_F(PowerFailResponseTest, PowerRestoredCancelsCountdownAndImminentFiring) {
    response_->StartCountdown(600s);
    loop_.AdvanceBy(300s);
    response_->CancelCountdown();
    loop_.AdvanceBy(3600s);
    response_->FireNow();
    response_->CancelCountdown();
    loop_.AdvanceBy(1s);
    EXPECT_TRUE(rec_.Events.empty());
    EXPECT_EQ(response_->State(), ResponseState::Idle);
}

TEST_F(PowerFailResponseTest, FireNowDuringCountdownActsWithin100ms) {
    response_->StartCountdown(600s);
    loop_.AdvanceBy(10s);
    response_->FireNow();
    EXPECT_EQ(response_->State(), ResponseState::Imminent);
    loop_.AdvanceBy(99ms);
    EXPECT_TRUE(rec_.Events.empty());
    loop_.AdvanceBy(1ms);
    EXPECT_EQ(rec_.Events, (Journal{"shutdown"}));
    // One-shot: the countdown it replaced does not come back.
    loop_.AdvanceBy(3600s);
    EXPECT_EQ(rec_.Events.size(), 1u);
}

struct ActionCase {
    const char* Name;
    bool DisplayModel::*Choice;
    bool UpsShutdown;
    int Minutes;
    Journal Expected;
};
void PrintTo(const ActionCase& c, std::ostream* out) { *out << c.Name; }

class ActionTest : public PowerFailResponseTest,
                   public ::testing::WithParamInterface<ActionCase> {};

TEST_P(ActionTest, SendsTheUpsCommandOnlyBeforeShutdownAndHibernate) {
    const ActionCase& c = GetParam();
    ChooseAction(c.Choice);
    display_.UPSShutdownCB = c.UpsShutdown;
    display_.UPSShutdownUD.Position = c.Minutes;
    response_->FireNow();
    loop_.AdvanceBy(100ms);
    EXPECT_EQ(rec_.Events, c.Expected);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Choices, ActionTest, ::testing::Values(
    ActionCase{"suspend_never_commands_ups", &DisplayModel::SleepRB,     true,  5,  {"suspend"}},
    ActionCase{"hibernate_5",                &DisplayModel::HibernateRB, true,  5,  {"ups S05\r", "hibernate"}},
    ActionCase{"hibernate_alone",            &DisplayModel::HibernateRB, false, 5,  {"hibernate"}},
    ActionCase{"shutdown_1",                 &DisplayModel::ShutdownRB,  true,  1,  {"ups S01\r", "shutdown"}},
    ActionCase{"shutdown_9",                 &DisplayModel::ShutdownRB,  true,  9,  {"ups S09\r", "shutdown"}},
    ActionCase{"shutdown_10",                &DisplayModel::ShutdownRB,  true,  10, {"ups S10\r", "shutdown"}},
    ActionCase{"shutdown_60",                &DisplayModel::ShutdownRB,  true,  60, {"ups S60\r", "shutdown"}},
    ActionCase{"shutdown_alone",             &DisplayModel::ShutdownRB,  false, 5,  {"shutdown"}},
    ActionCase{"nothing_sends_nothing",      &DisplayModel::NothingRB,   true,  5,  {}}),
    [](const auto& info) { return std::string(info.param.Name); });
// clang-format on

TEST_F(PowerFailResponseTest, NothingWithProgramRunsItAfterEveryFiring) {
    ChooseAction(&DisplayModel::NothingRB);
    display_.ExCB = true;
    for (int poll = 0; poll < 3; ++poll) {
        response_->FireNow();
        loop_.AdvanceBy(100ms);
        launcher_.EndProgram();
        loop_.AdvanceBy(3s);
    }
    EXPECT_EQ(rec_.Events, Journal(3, "program /opt/save-work.sh"));
}

// While the program runs, polls keep finding the battery low: none starts a second action
// alongside, and the firings taken meanwhile lead to exactly one more.
TEST_F(PowerFailResponseTest, FiringDuringProgramIsTakenUpOnceAfterWhileThePowerStaysOff) {
    display_.ExCB = true;
    response_->FireNow();
    loop_.AdvanceBy(100ms);
    for (int poll = 0; poll < 3; ++poll) {
        response_->FireNow();
        loop_.AdvanceBy(3s);
    }
    EXPECT_EQ(launcher_.Running(), 1u);
    EXPECT_TRUE(response_->FiringKept());
    launcher_.EndProgram();
    EXPECT_EQ(rec_.Events,
              (Journal{"program /opt/save-work.sh", "shutdown", "program /opt/save-work.sh"}));
    launcher_.EndProgram();
    loop_.AdvanceBy(3600s);
    EXPECT_EQ(rec_.Events, (Journal{"program /opt/save-work.sh", "shutdown",
                                    "program /opt/save-work.sh", "shutdown"}));
    EXPECT_EQ(response_->State(), ResponseState::Idle);
}

// The mains back during the program: the action under way finishes, but nothing kept for later
// may act again on mains power.
TEST_F(PowerFailResponseTest, FiringKeptDuringProgramIsDroppedWhenThePowerReturns) {
    display_.ExCB = true;
    ChooseAction(&DisplayModel::SleepRB);
    response_->FireNow();
    loop_.AdvanceBy(100ms);
    response_->FireNow();
    loop_.AdvanceBy(3s);
    ASSERT_TRUE(response_->FiringKept());
    response_->CancelCountdown();
    EXPECT_FALSE(response_->FiringKept());
    EXPECT_EQ(response_->State(), ResponseState::Acting);

    launcher_.EndProgram();
    loop_.AdvanceBy(3600s);
    EXPECT_EQ(rec_.Events, (Journal{"program /opt/save-work.sh", "suspend"}));
    EXPECT_EQ(response_->State(), ResponseState::Idle);
}

struct HungProgramCase {
    const char* Name;
    bool Imminent;  // the battery below the minimum, else the countdown ran out
    std::chrono::milliseconds Limit;
};
void PrintTo(const HungProgramCase& c, std::ostream* out) { *out << c.Name; }

class HungProgramTest : public PowerFailResponseTest,
                        public ::testing::WithParamInterface<HungProgramCase> {};

// A program that never ends holds the action back only so long; it is left running.
TEST_P(HungProgramTest, ActionGoesOnAfterTheLimit) {
    const HungProgramCase& c = GetParam();
    display_.ExCB = true;
    if (c.Imminent) {
        response_->FireNow();
        loop_.AdvanceBy(100ms);
    } else {
        response_->StartCountdown(10s);
        loop_.AdvanceBy(10s);
    }
    loop_.AdvanceBy(c.Limit - 1ms);
    EXPECT_EQ(rec_.Events, (Journal{"program /opt/save-work.sh"}));
    loop_.AdvanceBy(1ms);
    EXPECT_EQ(rec_.Events,
              (Journal{"program /opt/save-work.sh",
                       "log External program still running; going on with the power action",
                       "shutdown"}));
    EXPECT_EQ(response_->State(), ResponseState::Idle);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Firings, HungProgramTest, ::testing::Values(
    HungProgramCase{"countdown", false, 120s},
    HungProgramCase{"below_minimum", true, 15s}),
    [](const auto& info) { return std::string(info.param.Name); });
// clang-format on

// The battery reaching the minimum while the program of a countdown firing runs leaves it the
// shorter wait, counted from then.
TEST_F(PowerFailResponseTest, BatteryBelowTheMinimumShortensTheWait) {
    display_.ExCB = true;
    response_->StartCountdown(10s);
    loop_.AdvanceBy(10s + 30s);
    response_->FireNow();
    loop_.AdvanceBy(100ms + 15s - 1ms);
    EXPECT_EQ(rec_.Events.size(), 1u);
    loop_.AdvanceBy(1ms);
    // The firing below the minimum was kept: it is taken up once, as after any action.
    EXPECT_EQ(rec_.Events,
              (Journal{"program /opt/save-work.sh", "log " + std::string(kProgramStillRunning),
                       "shutdown", "program /opt/save-work.sh"}));
}

// A countdown started while the program runs is a new failure: the action in progress ends
// without disturbing it.
TEST_F(PowerFailResponseTest, CountdownStartedDuringProgramSurvivesItsEnd) {
    display_.ExCB = true;
    response_->FireNow();
    loop_.AdvanceBy(100ms);
    response_->CancelCountdown();
    response_->StartCountdown(600s);
    launcher_.EndProgram();
    EXPECT_EQ(response_->State(), ResponseState::Counting);
    loop_.AdvanceBy(600s);
    EXPECT_EQ(launcher_.Running(), 1u);
}

struct UnstartableCase {
    const char* Name;
    std::string Path;
    std::string Failure;
    std::string Line;
};
void PrintTo(const UnstartableCase& c, std::ostream* out) { *out << c.Name; }

class UnstartableTest : public PowerFailResponseTest,
                        public ::testing::WithParamInterface<UnstartableCase> {};

TEST_P(UnstartableTest, LogsOneLineAndTheActionFollows) {
    const UnstartableCase& c = GetParam();
    display_.ExCB = true;
    display_.UPSShutdownCB = true;
    display_.ExternalProgramPath = c.Path;
    launcher_.Failure = c.Failure;
    response_->FireNow();
    loop_.AdvanceBy(100ms);
    Journal expected;
    if (!c.Path.empty()) expected.push_back("program " + c.Path);
    expected.insert(expected.end(), {"log " + c.Line, "ups S05\r", "shutdown"});
    EXPECT_EQ(rec_.Events, expected);
    EXPECT_EQ(response_->State(), ResponseState::Idle);
}

INSTANTIATE_TEST_SUITE_P(
    Reasons, UnstartableTest,
    ::testing::Values(
        UnstartableCase{"missing", "/opt/gone.sh", "No such file or directory",
                        "External program not started: /opt/gone.sh: No such file or directory"},
        UnstartableCase{"not_executable", "/opt/plain.txt", "Permission denied",
                        "External program not started: /opt/plain.txt: Permission denied"},
        UnstartableCase{"none_chosen", "", "", "External program not started: no program chosen"}),
    [](const auto& info) { return std::string(info.param.Name); });

// Secondaries that log out when the test says so; telling them is journalled with the rest.
struct FakeSecondaries final : Secondaries {
    explicit FakeSecondaries(Journal& events) : Events(events) {}
    int TellToShutDown() override {
        Events.push_back("fsd");
        return Count;
    }
    int LoggedIn() const override { return Count; }
    Journal& Events;
    int Count = 0;
};

// How long the action waits for the secondaries: until the last has gone, at most the limit, and
// the log says which; none logged in, no wait and no log line; a failure that ends before the
// firing tells nobody.
TEST_F(PowerFailResponseTest, SecondariesAreToldFirstAndWaitedForAtMostTheLimit) {
    struct Case {
        int LoggedIn;
        std::chrono::milliseconds GoneAfter;  // 0: never
        std::chrono::milliseconds ActionAfter;
        const char* Waited;  // the log line when the wait ends
    };
    for (const Case& c :
         {Case{2, 3s, 3s, "The other machine(s) logged out after 3.0 s"},
          Case{1, 0ms, 15s, "1 other machine(s) still logged in after 15.0 s; going on"},
          Case{0, 0ms, 0ms, nullptr}}) {
        SCOPED_TRACE(c.LoggedIn);
        rec_.Events.clear();
        FakeSecondaries secondaries(rec_.Events);
        secondaries.Count = c.LoggedIn;
        response_->SetSecondaries(&secondaries);
        display_.ExCB = true;

        response_->StartCountdown(60s);
        loop_.AdvanceBy(30s);
        response_->CancelCountdown();  // the mains came back in time
        response_->StartCountdown(60s);
        loop_.AdvanceBy(60s);
        Journal told{"fsd"};
        if (c.LoggedIn > 0)
            told.push_back("log Telling " + std::to_string(c.LoggedIn) +
                           " other machine(s) to shut down");
        if (c.ActionAfter > 0ms) {
            EXPECT_EQ(rec_.Events, told);
            loop_.AdvanceBy(c.ActionAfter - 250ms);
            if (c.GoneAfter > 0ms) secondaries.Count = 0;
            EXPECT_EQ(rec_.Events, told);
            loop_.AdvanceBy(250ms);
            told.push_back(std::string("log ") + c.Waited);
        }
        told.push_back("program /opt/save-work.sh");
        EXPECT_EQ(rec_.Events, told);
        launcher_.EndProgram();
        EXPECT_EQ(rec_.Events.back(), "shutdown");
        response_->SetSecondaries(nullptr);
    }
}

TEST_F(PowerFailResponseTest, ObserverSeesEachStateAndTheTimeLeft) {
    std::vector<std::pair<ResponseState, long>> seen;
    response_->SetStateObserver([&](ResponseState state, std::chrono::seconds left) {
        seen.emplace_back(state, static_cast<long>(left.count()));
    });
    display_.ExCB = true;
    response_->StartCountdown(600s);
    loop_.AdvanceBy(1500ms);
    EXPECT_EQ(response_->SecondsLeft(), std::optional<std::chrono::seconds>(599s));
    response_->FireNow();
    EXPECT_EQ(response_->SecondsLeft(), std::nullopt);
    loop_.AdvanceBy(100ms);
    launcher_.EndProgram();
    const std::vector<std::pair<ResponseState, long>> expected = {{ResponseState::Counting, 600},
                                                                  {ResponseState::Imminent, 0},
                                                                  {ResponseState::Acting, 0},
                                                                  {ResponseState::Idle, 0}};
    EXPECT_EQ(seen, expected);
}

struct CaptionCase {
    std::string Path;
    std::string Caption;
};

void PrintTo(const CaptionCase& c, std::ostream* out) { *out << c.Path; }

class CaptionTest : public ::testing::TestWithParam<CaptionCase> {};

TEST_P(CaptionTest, CutsAt25Characters) {
    EXPECT_EQ(ProgramCaption(GetParam().Path), GetParam().Caption);
    DisplayModel display;
    ShowProgramPath(display, GetParam().Path);
    EXPECT_EQ(display.ExL, GetParam().Caption);
    EXPECT_EQ(display.ExLHint, GetParam().Path);
    EXPECT_EQ(display.ExternalProgramPath, GetParam().Path);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Paths, CaptionTest, ::testing::Values(
    CaptionCase{"/home/ann/bin/save-all.sh",      "/home/ann/bin/save-all.sh..."},  // exactly 25
    CaptionCase{"/home/ann/bin/save-all-work.sh", "/home/ann/bin/save-all-wo..."},  // 30
    CaptionCase{"/home/ann/bin/save-all.s",       "/home/ann/bin/save-all.s"},      // 24
    // 30 characters, 35 bytes: cut after the 25th character, not inside one.
    CaptionCase{"/home/jörg/bin/äöüß-sichern.sh", "/home/jörg/bin/äöüß-siche..."}));
// clang-format on

TEST(ProgramCaptionTest, NoPathShowsTheEmptyCaption) {
    DisplayModel display;
    ShowProgramPath(display, "/opt/a.sh");
    ShowProgramPath(display, "");
    EXPECT_EQ(display.ExL, "...");
    EXPECT_EQ(display.ExLHint, "");
}

}  // namespace
}  // namespace gw::monitor
