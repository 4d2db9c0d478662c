// The computer's power actions (power off, suspend, hibernate) and the system's own sleep, wake
// and power-off, kept consistent with polling, the report timers and the close sequence.
//
// Every action goes through Act(), which checks the rules (allowed by the system? already
// acting?) before it asks the backend: so a power-fail action and a toolbar click that come
// together act once. A delay inhibitor is held while the machine is up, so that polling is
// paused and the report timers stopped before it sleeps, and the close sequence has run before
// it powers off; it is released as soon as that is done and taken again after waking.
//
// Thread rule: main thread only, like the backend's events.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "link/log_sink.h"
#include "link/main_loop.h"
#include "monitor/polling_control.h"
#include "monitor/power_control.h"

namespace gw::monitor {

// What the rest of the program does around a power event. Each returns promptly.
class PowerHooks {
public:
    virtual ~PowerHooks() = default;
    virtual void StopReportTimers() = 0;
    // Starts each checked report timer that is not running, when a UPS link is open.
    virtual void RestartReportTimers() = 0;
    // From now on a close of the main window ends the program.
    virtual void AllowClose() = 0;
    // The session or the machine is ending: the program's close sequence (polling ended, link
    // closed, settings saved, journal flushed). The machine waits for it, a few seconds at most.
    // It may end the main loop but must not destroy the SystemPower that called it.
    virtual void RunCloseSequence() = 0;
};

// The force options exist only on the older systems; OSMajorVersion here is the kernel's.
constexpr bool ForceOptionsEnabled(int os_major_version) { return os_major_version <= 5; }

// The broadcast codes of going to sleep and of waking.
inline constexpr std::uint16_t kBroadcastSuspend = 0x0004;
inline constexpr std::uint16_t kBroadcastResumeAutomatic = 0x0012;

// clang-format off
inline constexpr const char* kBroadcastPrefix = "WM_POWERBROADCAST 0x";
inline constexpr const char* kFailedInfix     = " failed: ";
inline constexpr const char* kNoSleepReason   = "the system did not go to sleep";
inline constexpr const char* kNoInhibitorLine = "Power events: no delay inhibitor: ";
inline constexpr const char* kInhibitWhy      = "Pause UPS polling before sleep; save settings "
                                                "and the event log before power-off";
// clang-format on

// "WM_POWERBROADCAST 0x0012"
std::string BroadcastLine(std::uint16_t code);
// "Suspend failed: not allowed (challenge)", "Power off failed: Access denied"
std::string FailureLine(PowerAction action, const Capability& refusal);
std::string FailureLine(PowerAction action, const std::string& error);

class SystemPower {
public:
    // How long an accepted request may wait for the system to announce it before it counts as
    // not carried out.
    static constexpr std::chrono::milliseconds kAnnounceLimit{60000};

    // Takes the first delay inhibitor. `log`, `polling` and `hooks` outlive this.
    SystemPower(std::unique_ptr<PowerControl> backend, link::MainLoop& loop, link::LogSink& log,
                PollingControl& polling, PowerHooks& hooks,
                std::chrono::milliseconds announce_limit = kAnnounceLimit);
    SystemPower(const SystemPower&) = delete;
    SystemPower& operator=(const SystemPower&) = delete;

    // Whether the system allows `action` now, for enabling its button and choice. Logs nothing.
    bool Allowed(PowerAction action);

    // The one entry point of the actions. True when the system took the request. A refusal or
    // failure leaves one log line with the reason, and polling and the report timers as they
    // were. While an action is under way (or the session ends) a further one does nothing.
    bool Act(PowerAction action);
    bool SystemShutdown() { return Act(PowerAction::PowerOff); }
    bool SystemSuspend() { return Act(PowerAction::Suspend); }
    bool SystemHibernate() { return Act(PowerAction::Hibernate); }

    // The user's session ends (the session manager or a termination request told the program):
    // runs the close sequence once.
    void SessionEnding();

    bool Acting() const { return state_ != State::Idle; }
    bool InhibitorHeld() const { return inhibitor_.Held(); }

private:
    enum class State { Idle, SleepRequested, Asleep, PowerOffRequested, GoingDown };

    bool PowerOff();
    bool Sleep(PowerAction action);
    // A sleep request that did not lead to sleep: give polling and the timers back.
    void UndoSleep();
    void OnPrepareForSleep(bool start);
    void OnPrepareForShutdown(bool start);
    void TakeInhibitor();

    std::unique_ptr<PowerControl> backend_;
    link::MainLoop& loop_;
    link::LogSink& log_;
    PollingControl& polling_;
    PowerHooks& hooks_;
    std::chrono::milliseconds announce_limit_;

    State state_ = State::Idle;
    bool paused_here_ = false;  // the pending sleep request paused polling itself
    bool session_ended_ = false;
    DelayInhibitor inhibitor_;
    link::TimerHandle announce_timer_;
};

}  // namespace gw::monitor
