#include "monitor/system_power.h"

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
    TakeInhibitor();
}

bool SystemPower::Allowed(PowerAction action) { return backend_->Can(action).Allowed; }

bool SystemPower::Act(PowerAction action) {
    if (state_ != State::Idle) return false;
    // Only "yes" counts: the request goes without asking for a password, so "challenge" would
    // fail later, at the worst moment.
    Capability capability = backend_->Can(action);
    if (!capability.Allowed) {
        log_.AppendLog(FailureLine(action, capability));
        return false;
    }
    return action == PowerAction::PowerOff ? PowerOff() : Sleep(action);
}

bool SystemPower::PowerOff() {
    // The system only queues the power-off here and waits for our inhibitor, so polling can
    // end after the request: a refused request then leaves monitoring running.
    std::string error;
    if (!backend_->Do(PowerAction::PowerOff, error)) {
        log_.AppendLog(FailureLine(PowerAction::PowerOff, error));
        return false;
    }
    state_ = State::PowerOffRequested;
    if (polling_.PollingPaused()) polling_.ResumePolling();
    polling_.EndPolling();
    hooks_.AllowClose();
    // A system that took the request but never announces the power-off did not carry it out;
    // polling stays ended until monitoring is started again, but the next request may act.
    announce_timer_ = loop_.StartTimer(announce_limit_, [this] {
        if (state_ == State::PowerOffRequested) state_ = State::Idle;
        announce_timer_ = {};
    });
    return true;
}

bool SystemPower::Sleep(PowerAction action) {
    log_.AppendLog(RowOf(action).StartLine);
    hooks_.StopReportTimers();
    paused_here_ = !polling_.PollingPaused();
    if (paused_here_) polling_.PausePolling();
    state_ = State::SleepRequested;

    std::string error;
    if (!backend_->Do(action, error)) {
        log_.AppendLog(FailureLine(action, error));
        UndoSleep();
        return false;
    }
    announce_timer_ = loop_.StartTimer(announce_limit_, [this, action] {
        if (state_ != State::SleepRequested) return;
        log_.AppendLog(FailureLine(action, std::string(kNoSleepReason)));
        UndoSleep();
    });
    return true;
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
        inhibitor_.Release();
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
    TakeInhibitor();
}

void SystemPower::OnPrepareForShutdown(bool start) {
    if (start) {
        announce_timer_ = {};
        SessionEnding();
        inhibitor_.Release();
        return;
    }
    // The power-off was called off. The program did its close sequence; if it is still here
    // it may act again and needs the inhibitor back.
    if (state_ == State::GoingDown || state_ == State::PowerOffRequested) {
        state_ = State::Idle;
        session_ended_ = false;
    }
    TakeInhibitor();
}

void SystemPower::SessionEnding() {
    state_ = State::GoingDown;
    if (session_ended_) return;
    session_ended_ = true;
    hooks_.AllowClose();
    hooks_.RunCloseSequence();
}

void SystemPower::TakeInhibitor() {
    if (inhibitor_.Held()) return;
    std::string error;
    inhibitor_ = backend_->TakeDelayInhibitor(kInhibitWhy, error);
    if (!error.empty()) log_.AppendLog(std::string(kNoInhibitorLine) + error);
}

}  // namespace gw::monitor
