// The computer's power actions (power off, suspend, hibernate) and the system's own sleep, wake
// and power-off, kept consistent with polling, the report timers and the close sequence.
//
// Every action goes through Act(), which checks the rules (allowed by the system? already
// acting?) before it asks the backend: so a power-fail action and a toolbar click that come
// together act once. Nothing here waits for the system: questions and requests go out, and
// their answers, like the system's events, come later through the main loop. Delay inhibitors are
// held while the machine is up, so that polling is paused and the report timers stopped before it
// sleeps, and the close sequence has run before it powers off; each is released as soon as that
// is done and taken again after waking. Sleep and power-off have one inhibitor each: the login
// manager asks for a permission of its own for each alone, but for both in one call for one that
// a service is not meant to hold. One the system refuses or does not answer (at boot the bus and
// its policy service may still be starting) is asked for again, less and less often, until held.
//
// Thread rule: main thread only, like the backend's events.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
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
inline constexpr const char* kInhibitorHeld   = "Power events: delay inhibitor held";
inline constexpr const char* kDidNotHappen    = " did not happen";
inline constexpr const char* kInhibitWhy      = "Pause UPS polling before sleep; save settings "
                                                "and the event log before power-off";
// clang-format on

// "WM_POWERBROADCAST 0x0012"
std::string BroadcastLine(std::uint16_t code);
// "Suspend failed: not allowed (challenge)", "Power off failed: Access denied"
std::string FailureLine(PowerAction action, const Capability& refusal);
std::string FailureLine(PowerAction action, const std::string& error);
// "Power off did not happen"
std::string DidNotHappenLine(PowerAction action);

class SystemPower {
public:
    // How long an accepted request may wait for the system to announce it before it counts as
    // not carried out.
    static constexpr std::chrono::milliseconds kAnnounceLimit{60000};
    // The wait before asking again for a refused inhibitor, doubled after each refusal up to
    // the longest.
    static constexpr std::chrono::milliseconds kInhibitorRetryFirst{2000};
    static constexpr std::chrono::milliseconds kInhibitorRetryLongest{60000};

    // Takes the first delay inhibitors and asks what the system allows. `log`, `polling` and
    // `hooks` outlive this.
    SystemPower(std::unique_ptr<PowerControl> backend, link::MainLoop& loop, link::LogSink& log,
                PollingControl& polling, PowerHooks& hooks,
                std::chrono::milliseconds announce_limit = kAnnounceLimit);
    SystemPower(const SystemPower&) = delete;
    SystemPower& operator=(const SystemPower&) = delete;

    // Whether the system allowed `action` when it last answered, for enabling its button and
    // choice; true until it first answered. Logs nothing.
    bool Allowed(PowerAction action) const;
    // Asks the system again about all three actions; Allowed() keeps the last answer until the
    // new one comes. A question still unanswered is not asked twice.
    void RefreshAllowed();
    // `changed` runs whenever an answer (also the one Act() asked for) changed what Allowed()
    // returns.
    void OnAllowedChanged(std::function<void()> changed);

    // The one entry point of the actions. Asks the system whether it allows `action` and, on
    // its "yes", to do it. True when it set off the action; false when it did nothing because
    // an action is under way (from the question until the system woke or the power-off was
    // called off) or the session ends. A refusal or failure leaves one log line with the
    // reason, and polling and the report timers as they were.
    bool Act(PowerAction action);
    bool SystemShutdown() { return Act(PowerAction::PowerOff); }
    bool SystemSuspend() { return Act(PowerAction::Suspend); }
    bool SystemHibernate() { return Act(PowerAction::Hibernate); }

    // The user's session ends (the session manager or a termination request told the program):
    // runs the close sequence once.
    void SessionEnding();

    bool Acting() const { return state_ != State::Idle; }
    // Both delay inhibitors are held.
    bool InhibitorHeld() const;

private:
    // Checking: the question of Act() is out. SleepRequested, PowerOffRequested: the request is
    // out or taken; PowerOffSent: out, and polling still runs until the system took it.
    enum class State {
        Idle,
        Checking,
        SleepRequested,
        Asleep,
        PowerOffSent,
        PowerOffRequested,
        GoingDown
    };

    void Checked(PowerAction action, std::uint64_t request, const Capability& answer);
    void Learn(PowerAction action, const Capability& answer);
    void PowerOff(std::uint64_t request);
    void Sleep(PowerAction action, std::uint64_t request);
    // A sleep request that did not lead to sleep: give polling and the timers back.
    void UndoSleep();
    void OnPrepareForSleep(bool start);
    void OnPrepareForShutdown(bool start);
    // One delay inhibitor and where asking for it stands.
    struct Inhibitor {
        explicit Inhibitor(const char* what) : What(what) {}

        const char* What;  // the system's word for what it holds back
        DelayInhibitor Held;
        bool Asked = false;       // an answer to TakeDelayInhibitor is still to come
        bool Wanted = false;      // false from the system's announcement of its event on
        link::TimerHandle Retry;  // armed while waiting to ask again after a refusal
        bool RetryArmed = false;
        std::chrono::milliseconds NextWait = kInhibitorRetryFirst;
    };

    void TakeInhibitors();
    void TakeInhibitor(Inhibitor& inhibitor);
    void AskFor(Inhibitor& inhibitor);
    void InhibitorAnswered(Inhibitor& inhibitor, DelayInhibitor held, const std::string& error);
    void ReleaseInhibitor(Inhibitor& inhibitor);

    std::unique_ptr<PowerControl> backend_;
    link::MainLoop& loop_;
    link::LogSink& log_;
    PollingControl& polling_;
    PowerHooks& hooks_;
    std::chrono::milliseconds announce_limit_;

    State state_ = State::Idle;
    // Counts Act()'s requests, so that a late answer to one the system's own sleep or power-off
    // overtook is not taken for the next one's.
    std::uint64_t request_ = 0;
    bool paused_here_ = false;  // the pending sleep request paused polling itself
    bool session_ended_ = false;

    // Indexed by PowerAction.
    std::array<bool, std::size(kPowerActions)> allowed_{true, true, true};
    std::array<bool, std::size(kPowerActions)> asking_{};
    std::function<void()> allowed_changed_;

    Inhibitor sleep_inhibitor_{"sleep"};
    Inhibitor shutdown_inhibitor_{"shutdown"};
    // A refusal was logged and the inhibitors were not all held since: the next refusals say
    // nothing, and holding them all again says so once.
    bool inhibitor_refusal_logged_ = false;
    link::TimerHandle announce_timer_;
};

}  // namespace gw::monitor
