#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fakes/recording_log.h"
#include "link/plain_main_loop.h"
#include "monitor/system_power.h"

namespace gw::monitor {
namespace {

struct Switch final : PollingControl, PowerHooks {
    void StartPolling() override {}
    void PausePolling() override { Paused = true; }
    void ResumePolling() override { Paused = false; }
    bool PollingPaused() const override { return Paused; }
    void EndPolling() override { Ended = true; }
    void StopReportTimers() override {}
    void RestartReportTimers() override {}
    void AllowClose() override {}
    void RunCloseSequence() override { Closed = true; }
    bool Paused = false;
    bool Ended = false;
    bool Closed = false;
};

struct SimulatedCase {
    PowerAction Action;
    std::vector<std::string> Lines;
};
void PrintTo(const SimulatedCase& c, std::ostream* out) { *out << RowOf(c.Action).Name; }

class SimulatedPowerTest : public ::testing::TestWithParam<SimulatedCase> {};

// After a simulated sleep the machine "wakes" at once, so monitoring has to run on by itself; a
// simulated power-off goes as a real one would, through the close sequence.
TEST_P(SimulatedPowerTest, LogsTheActionAndGoesOnAsTheMachineWould) {
    link::PlainMainLoop loop;
    fakes::RecordingLog log;
    Switch hooks;
    SystemPower power(CreateSimulatedPowerControl(log, loop), loop, log, hooks, hooks);
    ASSERT_TRUE(power.Act(GetParam().Action));
    EXPECT_TRUE(log.Lines.empty());  // answers come through the loop, as the system's would
    if (GetParam().Action != PowerAction::PowerOff) {
        ASSERT_TRUE(loop.RunUntil([&] { return !power.Acting(); }, std::chrono::seconds(10)));
        EXPECT_FALSE(hooks.Paused);
        EXPECT_FALSE(hooks.Closed);
    } else {
        ASSERT_TRUE(loop.RunUntil([&] { return hooks.Closed; }, std::chrono::seconds(10)));
        EXPECT_TRUE(hooks.Ended);
    }
    EXPECT_TRUE(power.Allowed(GetParam().Action));
    EXPECT_EQ(log.Lines, GetParam().Lines);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Actions, SimulatedPowerTest, ::testing::Values(
    SimulatedCase{PowerAction::PowerOff, {"Simulated power action: Power off"}},
    SimulatedCase{PowerAction::Suspend, {"Suspend Mode", "Simulated power action: Suspend",
        "WM_POWERBROADCAST 0x0004", "WM_POWERBROADCAST 0x0012"}},
    SimulatedCase{PowerAction::Hibernate, {"Hibernate", "Simulated power action: Hibernate",
        "WM_POWERBROADCAST 0x0004", "WM_POWERBROADCAST 0x0012"}}));
// clang-format on

}  // namespace
}  // namespace gw::monitor
