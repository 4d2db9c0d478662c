// The power-fail response: the countdown that starts at a power failure (or the 100 ms firing
// below the minimum voltage) and the configured action when it runs out — the external program,
// the UPS's own shutdown command, then power off, suspend, hibernate or nothing.
//
// The action may wait for the external program. The main loop keeps running meanwhile (polls,
// evaluations, countdown changes), so a firing can come while an action runs: it never starts a
// second action (nor a second copy of the program) alongside the first; it is kept, and one
// further action follows when the running one has ended. Power restored during the wait does not
// stop the running action, but drops a firing kept for later: on mains power nothing new acts.
// A program that does not end holds the action back at most kCountdownProgramWait, or
// kImminentProgramWait once the battery is below the minimum; it is then left running.
//
// Thread rule: main thread only.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "link/log_sink.h"
#include "link/main_loop.h"
#include "monitor/display_model.h"
#include "monitor/evaluation_seams.h"
#include "monitor/external_program.h"

namespace gw::link {
class Wire;
}

namespace gw::monitor {

// The computer's power actions as the response uses them. Each checks by itself whether the
// system allows it, logs what it has to, and returns promptly.
class SystemActions {
public:
    virtual ~SystemActions() = default;
    virtual void SystemShutdown() = 0;
    virtual void SystemSuspend() = 0;
    virtual void SystemHibernate() = 0;
};

// Adapts anything with the three calls (SystemPower) to SystemActions; their results are not
// needed, a refusal is logged where it happens.
template <typename Power>
class SystemActionsOf final : public SystemActions {
public:
    explicit SystemActionsOf(Power& power) : power_(power) {}
    void SystemShutdown() override { power_.SystemShutdown(); }
    void SystemSuspend() override { power_.SystemSuspend(); }
    void SystemHibernate() override { power_.SystemHibernate(); }

private:
    Power& power_;
};

// The other machines fed by the same UPS, as far as they watch it through this program (the
// network UPS protocol's secondaries).
class Secondaries {
public:
    virtual ~Secondaries() = default;
    // Raises the forced-shutdown flag they watch, if anyone can see it; returns how many are
    // logged in now.
    virtual int TellToShutDown() = 0;
    virtual int LoggedIn() const = 0;
};

// clang-format off
inline constexpr const char* kTellingSecondaries = "Telling %d other machine(s) to shut down";
inline constexpr const char* kSecondariesGone    = "The other machine(s) logged out after %.1f s";
inline constexpr const char* kSecondariesStayed  =
    "%d other machine(s) still logged in after %.1f s; going on";
// clang-format on

// Sends one command to the UPS; the reply does not matter.
using UpsCommandSender = std::function<void(std::string_view command)>;
// Through Wire::ExchangeCommand, which takes DataMutex itself. `wire` outlives the sender.
UpsCommandSender UpsCommandsOver(link::Wire& wire);

enum class ResponseState { Idle, Counting, Imminent, Acting };

// "idle", "counting", "imminent", "acting"
const char* StateName(ResponseState state);

// clang-format off
inline constexpr const char* kProgramNotStarted = "External program not started: ";
inline constexpr const char* kNoProgramChosen   = "no program chosen";
inline constexpr const char* kProgramStillRunning =
    "External program still running; going on with the power action";
// clang-format on

// The caption of ExL: the path when it has fewer than 25 characters, else its first 25 and
// "...". Characters, not bytes: a UTF-8 path is never cut inside one.
std::string ProgramCaption(std::string_view path);
// Sets ExternalProgramPath, the caption ExL and its hint ExLHint (the full path); with no path,
// the caption goes back to "...". For a path chosen or loaded from the settings.
void ShowProgramPath(DisplayModel& display, const std::string& path);

class PowerFailResponse final : public Countdown {
public:
    static constexpr std::chrono::milliseconds kImminentDelay{100};
    // The longest waits for the external program: after the countdown ran out, and when the
    // battery is below the minimum and may be flat in moments.
    static constexpr std::chrono::milliseconds kCountdownProgramWait{120000};
    static constexpr std::chrono::milliseconds kImminentProgramWait{15000};
    // The longest wait for the secondaries to log out once told to shut down, and how often
    // their count is looked at meanwhile.
    static constexpr std::chrono::milliseconds kSecondariesWait{15000};
    static constexpr std::chrono::milliseconds kSecondariesCheck{250};

    // Called at every change of State(); `left` is the countdown's time left, zero unless
    // counting. The observer must not destroy the response.
    using StateObserver = std::function<void(ResponseState state, std::chrono::seconds left)>;

    // The clock SecondsLeft() reads; the loop's timers must keep the same time.
    using Now = std::function<std::chrono::steady_clock::time_point()>;

    // Reads the settings from `display` when it acts. All references outlive this.
    PowerFailResponse(link::MainLoop& loop, const DisplayModel& display, link::LogSink& log,
                      SystemActions& system, ProgramLauncher& launcher,
                      UpsCommandSender send_ups_command, Now now = std::chrono::steady_clock::now);
    ~PowerFailResponse() override;
    PowerFailResponse(const PowerFailResponse&) = delete;
    PowerFailResponse& operator=(const PowerFailResponse&) = delete;

    void StartCountdown(std::chrono::seconds delay) override;
    void CancelCountdown() override;
    void FireNow() override;

    // The timer's handler; also what a kept firing runs once the action before it has ended.
    void PowerFailAction();

    ResponseState State() const;
    // While counting (also under a running action): the whole seconds left, rounded up.
    std::optional<std::chrono::seconds> SecondsLeft() const;
    // True while a firing waits for the running action to end.
    bool FiringKept() const { return kept_firing_; }
    void SetStateObserver(StateObserver observer) { observer_ = std::move(observer); }
    // Told first when the response fires, before the program and the action; null: nobody.
    // `secondaries` outlives this.
    void SetSecondaries(Secondaries* secondaries) { secondaries_ = secondaries; }

private:
    enum class TimerKind { Off, Countdown, Imminent };
    using Clock = std::chrono::steady_clock;

    void Arm(TimerKind kind, std::chrono::milliseconds delay);
    void Disarm();
    void BeginAction(bool imminent);
    // The external program, then FinishAction.
    void RunProgram(bool imminent);
    void CheckSecondaries();
    // Ends the wait for the program at the latest `limit` from now.
    void LimitWait(std::chrono::milliseconds limit);
    void OnProgramEnd();
    void OnWaitLimit();
    // Steps 3 to 6, then idle or the kept firing.
    void FinishAction();
    void SendUpsShutdown();
    // Tells the observer of a change of State(), or in any case when `always`.
    void Announce(bool always = false);

    link::MainLoop& loop_;
    const DisplayModel& display_;
    link::LogSink& log_;
    SystemActions& system_;
    ProgramLauncher& launcher_;
    UpsCommandSender send_ups_command_;
    StateObserver observer_;
    Now now_;

    link::TimerHandle delay_timer_;  // DelayTimer
    TimerKind timer_kind_ = TimerKind::Off;
    Clock::time_point due_{};
    bool acting_ = false;
    bool kept_firing_ = false;
    bool kept_imminent_ = false;  // a kept firing came from the minimum voltage
    std::unique_ptr<RunningProgram> program_;
    link::TimerHandle wait_timer_;  // the limit of the wait for program_
    Clock::time_point wait_due_{};
    ResponseState announced_ = ResponseState::Idle;
    Secondaries* secondaries_ = nullptr;
    link::TimerHandle secondaries_timer_;  // while waiting for them to log out
    Clock::time_point secondaries_due_{};
    bool secondaries_imminent_ = false;
};

}  // namespace gw::monitor
