#include "monitor/system_power.h"

#include <algorithm>
#include <cstdio>
#include <utility>

namespace gw::monitor {

std::string BroadcastLine(std::uint16_t code) {
    char digits[5];
    std::snprintf(digits, sizeof digits, "%04X", static_cast<unsigned>(code));
    return std::string(kBroadcastPrefix) + digits;
}

std::string FailureLine(PowerAction action, const std::string& error) {
    return std::string(RowOf(action).Name) + kFailedInfix + error;
}

std::string FailureLine(PowerAction action, const Capability& refusal) {
    if (!refusal.Error.empty()) return FailureLine(action, refusal.Error);
    return FailureLine(action, "not allowed (" + refusal.Answer + ")");
}

std::string DidNotHappenLine(PowerAction action) {
    return std::string(RowOf(action).Name) + kDidNotHappen;
}

namespace {

std::size_t IndexOf(PowerAction action) { return static_cast<std::size_t>(action); }

}  // namespace

SystemPower::SystemPower(std::unique_ptr<PowerControl> backend, link::MainLoop& loop,
                         link::LogSink& log, PollingControl& polling, PowerHooks& hooks,
                         std::chrono::milliseconds announce_limit)
    : backend_(std::move(backend)),
      loop_(loop),
      log_(log),
      polling_(polling),
      hooks_(hooks),
      announce_limit_(announce_limit) {
    backend_->OnPrepareForSleep([this](bool start) { OnPrepareForSleep(start); });
    backend_->OnPrepareForShutdown([this](bool start) { OnPrepareForShutdown(start); });
    TakeInhibitors();
    RefreshAllowed();
}

bool SystemPower::Allowed(PowerAction action) const { return allowed_[IndexOf(action)]; }

void SystemPower::RefreshAllowed() {
    for (const PowerActionRow& row : kPowerActions) {
        const PowerAction action = row.Action;
        // A stalled system must not collect a question for every start of monitoring.
        if (asking_[IndexOf(action)]) continue;
        asking_[IndexOf(action)] = true;
        backend_->Can(action, [this, action](Capability answer) {
            asking_[IndexOf(action)] = false;
            Learn(action, answer);
        });
    }
}

void SystemPower::OnAllowedChanged(std::function<void()> changed) {
    allowed_changed_ = std::move(changed);
}

void SystemPower::Learn(PowerAction action, const Capability& answer) {
    // After the close sequence nobody shows the choices any more.
    if (state_ == State::GoingDown) return;
    bool& allowed = allowed_[IndexOf(action)];
    if (allowed == answer.Allowed) return;
    allowed = answer.Allowed;
    if (allowed_changed_) allowed_changed_();
}

bool SystemPower::Act(PowerAction action) {
    if (state_ != State::Idle) return false;
    state_ = State::Checking;
    const std::uint64_t request = ++request_;
    backend_->Can(action, [this, action, request](Capability answer) {
        Learn(action, answer);
        Checked(action, request, answer);
    });
    return true;
}

void SystemPower::Checked(PowerAction action, std::uint64_t request, const Capability& answer) {
    if (request != request_ || state_ != State::Checking) return;
    // Only "yes" counts: the request goes without asking for a password, so "challenge" would
    // fail later, at the worst moment.
    if (!answer.Allowed) {
        state_ = State::Idle;
        log_.AppendLog(FailureLine(action, answer));
        return;
    }
    if (action == PowerAction::PowerOff) {
        PowerOff(request);
    } else {
        Sleep(action, request);
    }
}

void SystemPower::PowerOff(std::uint64_t request) {
    // The system only queues the power-off and waits for our inhibitor, so polling can end
    // after it took the request: a refused request then leaves monitoring running.
    state_ = State::PowerOffSent;
    backend_->Do(PowerAction::PowerOff, [this, request](const std::string& error) {
        if (request != request_ || state_ != State::PowerOffSent) return;
        if (!error.empty()) {
            state_ = State::Idle;
            log_.AppendLog(FailureLine(PowerAction::PowerOff, error));
            return;
        }
        state_ = State::PowerOffRequested;
        if (polling_.PollingPaused()) polling_.ResumePolling();
        polling_.EndPolling();
        hooks_.AllowClose();
        // A system that took the request but never announces the power-off did not carry it
        // out (a stuck shutdown, an inhibitor that never lets go): monitoring goes on, and the
        // next request may act.
        announce_timer_ = loop_.StartTimer(announce_limit_, [this] {
            if (state_ == State::PowerOffRequested) {
                state_ = State::Idle;
                log_.AppendLog(DidNotHappenLine(PowerAction::PowerOff));
                polling_.StartPolling();
            }
            announce_timer_ = {};
        });
    });
}

void SystemPower::Sleep(PowerAction action, std::uint64_t request) {
    log_.AppendLog(RowOf(action).StartLine);
    hooks_.StopReportTimers();
    paused_here_ = !polling_.PollingPaused();
    if (paused_here_) polling_.PausePolling();
    state_ = State::SleepRequested;

    backend_->Do(action, [this, action, request](const std::string& error) {
        // The system may already have announced the sleep, or slept and woken.
        if (request != request_ || state_ != State::SleepRequested) return;
        if (!error.empty()) {
            log_.AppendLog(FailureLine(action, error));
            UndoSleep();
            return;
        }
        announce_timer_ = loop_.StartTimer(announce_limit_, [this, action] {
            if (state_ != State::SleepRequested) return;
            log_.AppendLog(FailureLine(action, std::string(kNoSleepReason)));
            UndoSleep();
        });
    });
}

void SystemPower::UndoSleep() {
    state_ = State::Idle;
    announce_timer_ = {};
    if (paused_here_ && polling_.PollingPaused()) polling_.ResumePolling();
    paused_here_ = false;
    hooks_.RestartReportTimers();
}

void SystemPower::OnPrepareForSleep(bool start) {
    // After the close sequence the log may be closed and polling is gone.
    if (state_ == State::GoingDown) return;
    log_.AppendLog(BroadcastLine(start ? kBroadcastSuspend : kBroadcastResumeAutomatic));
    if (start) {
        if (state_ != State::PowerOffRequested) {
            state_ = State::Asleep;
            announce_timer_ = {};
        }
        hooks_.StopReportTimers();
        // A sleep we asked for has paused polling already; one from elsewhere pauses it here.
        if (!polling_.PollingPaused()) polling_.PausePolling();
        // The power-off inhibitor stays: the machine may be powered off right after waking.
        ReleaseInhibitor(sleep_inhibitor_);
        return;
    }
    // Polling resumes even when the user had stopped monitoring before the system slept.
    if (state_ != State::PowerOffRequested) {
        state_ = State::Idle;
        announce_timer_ = {};
    }
    paused_here_ = false;
    if (polling_.PollingPaused()) polling_.ResumePolling();
    hooks_.RestartReportTimers();
    TakeInhibitors();
}

void SystemPower::OnPrepareForShutdown(bool start) {
    if (start) {
        announce_timer_ = {};
        SessionEnding();
        ReleaseInhibitor(sleep_inhibitor_);
        ReleaseInhibitor(shutdown_inhibitor_);
        return;
    }
    // The power-off was called off. The program did its close sequence; if it is still here
    // it may act again and needs the inhibitor back.
    if (state_ == State::GoingDown || state_ == State::PowerOffRequested) {
        state_ = State::Idle;
        session_ended_ = false;
    }
    TakeInhibitors();
}

void SystemPower::SessionEnding() {
    state_ = State::GoingDown;
    if (session_ended_) return;
    session_ended_ = true;
    hooks_.AllowClose();
    hooks_.RunCloseSequence();
}

bool SystemPower::InhibitorHeld() const {
    return sleep_inhibitor_.Held.Held() && shutdown_inhibitor_.Held.Held();
}

void SystemPower::TakeInhibitors() {
    TakeInhibitor(sleep_inhibitor_);
    TakeInhibitor(shutdown_inhibitor_);
}

void SystemPower::TakeInhibitor(Inhibitor& inhibitor) {
    inhibitor.Wanted = true;
    // One waiting for its retry keeps its wait: asking again at once would undo the back-off.
    if (inhibitor.Held.Held() || inhibitor.Asked || inhibitor.RetryArmed) return;
    AskFor(inhibitor);
}

void SystemPower::AskFor(Inhibitor& inhibitor) {
    inhibitor.Asked = true;
    backend_->TakeDelayInhibitor(inhibitor.What, kInhibitWhy,
                                 [this, &inhibitor](DelayInhibitor held, std::string error) {
                                     InhibitorAnswered(inhibitor, std::move(held), error);
                                 });
}

void SystemPower::InhibitorAnswered(Inhibitor& inhibitor, DelayInhibitor held,
                                    const std::string& error) {
    inhibitor.Asked = false;
    // Announced since the question: holding it now would only keep the system waiting, and
    // asking again waits for the wake or the called-off power-off. A granted one closes here.
    if (!inhibitor.Wanted || state_ == State::GoingDown) return;
    if (!error.empty()) {
        if (!inhibitor_refusal_logged_) {
            inhibitor_refusal_logged_ = true;
            log_.AppendLog(std::string(kNoInhibitorLine) + error);
        }
        const std::chrono::milliseconds wait = inhibitor.NextWait;
        inhibitor.NextWait = std::min(wait * 2, kInhibitorRetryLongest);
        inhibitor.RetryArmed = true;
        inhibitor.Retry = loop_.StartTimer(wait, [this, &inhibitor] {
            inhibitor.RetryArmed = false;
            inhibitor.Retry = {};
            if (inhibitor.Wanted) AskFor(inhibitor);
        });
        return;
    }
    inhibitor.NextWait = kInhibitorRetryFirst;
    inhibitor.Held = std::move(held);
    if (inhibitor_refusal_logged_ && InhibitorHeld()) {
        inhibitor_refusal_logged_ = false;
        log_.AppendLog(kInhibitorHeld);
    }
}

void SystemPower::ReleaseInhibitor(Inhibitor& inhibitor) {
    inhibitor.Wanted = false;
    inhibitor.Held.Release();
    inhibitor.Retry = {};
    inhibitor.RetryArmed = false;
    inhibitor.NextWait = kInhibitorRetryFirst;
}

}  // namespace gw::monitor
