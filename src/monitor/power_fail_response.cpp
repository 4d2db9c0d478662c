#include "monitor/power_fail_response.h"

#include <cstdio>
#include <utility>

#include "link/protocol.h"
#include "link/ups_link.h"

namespace gw::monitor {
namespace {

constexpr std::size_t kCaptionLength = 25;

bool IsUtf8Continuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

}  // namespace

UpsCommandSender UpsCommandsOver(link::Wire& wire) {
    return [&wire](std::string_view command) { wire.ExchangeCommand(command); };
}

const char* StateName(ResponseState state) {
    switch (state) {
        case ResponseState::Idle:
            return "idle";
        case ResponseState::Counting:
            return "counting";
        case ResponseState::Imminent:
            return "imminent";
        case ResponseState::Acting:
            return "acting";
    }
    return "?";
}

std::string ProgramCaption(std::string_view path) {
    std::size_t characters = 0;
    for (std::size_t i = 0; i < path.size(); ++i) {
        if (IsUtf8Continuation(path[i])) continue;
        if (characters == kCaptionLength) return std::string(path.substr(0, i)) + "...";
        ++characters;
    }
    if (characters < kCaptionLength) return std::string(path);
    return std::string(path) + "...";
}

void ShowProgramPath(DisplayModel& display, const std::string& path) {
    display.ExternalProgramPath = path;
    display.ExL = path.empty() ? "..." : ProgramCaption(path);
    display.ExLHint = path;
}

PowerFailResponse::PowerFailResponse(link::MainLoop& loop, const DisplayModel& display,
                                     link::LogSink& log, SystemActions& system,
                                     ProgramLauncher& launcher, UpsCommandSender send_ups_command,
                                     Now now)
    : loop_(loop),
      display_(display),
      log_(log),
      system_(system),
      launcher_(launcher),
      send_ups_command_(std::move(send_ups_command)),
      now_(std::move(now)) {}

// The program keeps running; only watching it ends, so its end handler cannot reach us.
PowerFailResponse::~PowerFailResponse() {
    secondaries_timer_.Reset();
    wait_timer_.Reset();
    program_.reset();
    delay_timer_.Reset();
}

void PowerFailResponse::StartCountdown(std::chrono::seconds delay) {
    Arm(TimerKind::Countdown, delay);
    Announce(true);
}

void PowerFailResponse::CancelCountdown() {
    Disarm();
    kept_firing_ = kept_imminent_ = false;
    Announce();
}

void PowerFailResponse::FireNow() {
    Arm(TimerKind::Imminent, kImminentDelay);
    Announce();
}

void PowerFailResponse::PowerFailAction() {
    const bool imminent = timer_kind_ == TimerKind::Imminent;
    Disarm();
    if (acting_) {
        // Taken up once when the running action ends; more firings meanwhile add nothing.
        kept_firing_ = true;
        kept_imminent_ = kept_imminent_ || imminent;
        if (imminent && program_) LimitWait(kImminentProgramWait);
        return;
    }
    BeginAction(imminent);
}

ResponseState PowerFailResponse::State() const {
    if (acting_) return ResponseState::Acting;
    switch (timer_kind_) {
        case TimerKind::Countdown:
            return ResponseState::Counting;
        case TimerKind::Imminent:
            return ResponseState::Imminent;
        case TimerKind::Off:
            break;
    }
    return ResponseState::Idle;
}

std::optional<std::chrono::seconds> PowerFailResponse::SecondsLeft() const {
    if (timer_kind_ != TimerKind::Countdown) return std::nullopt;
    const auto left = due_ - now_();
    if (left <= Clock::duration::zero()) return std::chrono::seconds(0);
    return std::chrono::ceil<std::chrono::seconds>(left);
}

void PowerFailResponse::Arm(TimerKind kind, std::chrono::milliseconds delay) {
    delay_timer_.Reset();
    timer_kind_ = kind;
    due_ = now_() + delay;
    delay_timer_ = loop_.StartTimer(delay, [this] { PowerFailAction(); });
}

void PowerFailResponse::Disarm() {
    delay_timer_.Reset();
    timer_kind_ = TimerKind::Off;
}

void PowerFailResponse::BeginAction(bool imminent) {
    acting_ = true;
    Announce();
    const int told = secondaries_ ? secondaries_->TellToShutDown() : 0;
    if (told > 0) {
        char line[64];
        std::snprintf(line, sizeof line, kTellingSecondaries, told);
        log_.AppendLog(line);
        secondaries_imminent_ = imminent;
        secondaries_due_ = now_() + kSecondariesWait;
        secondaries_timer_ = loop_.StartTimer(
            kSecondariesCheck, [this] { CheckSecondaries(); }, true);
        return;
    }
    RunProgram(imminent);
}

// Logged out or gone: either way the machine has what it needs; one that stays connected is
// not waited for beyond the limit.
void PowerFailResponse::CheckSecondaries() {
    const int left = secondaries_->LoggedIn();
    if (left > 0 && now_() < secondaries_due_) return;
    secondaries_timer_.Reset();
    // The journal shows the power action waited for them, and how long.
    const double waited =
        std::chrono::duration<double>(now_() - (secondaries_due_ - kSecondariesWait)).count();
    char line[96];
    if (left > 0) {
        std::snprintf(line, sizeof line, kSecondariesStayed, left, waited);
    } else {
        std::snprintf(line, sizeof line, kSecondariesGone, waited);
    }
    log_.AppendLog(line);
    RunProgram(secondaries_imminent_);
}

void PowerFailResponse::RunProgram(bool imminent) {
    if (display_.ExCB) {
        const std::string path = display_.ExternalProgramPath;
        if (path.empty()) {
            log_.AppendLog(std::string(kProgramNotStarted) + kNoProgramChosen);
        } else {
            std::string error;
            program_ = launcher_.Start(
                path, [this](const ProgramEnd&) { OnProgramEnd(); }, error);
            if (program_) {
                // The action goes on when the program has ended, or at the limit.
                wait_due_ = Clock::time_point::max();
                LimitWait(imminent ? kImminentProgramWait : kCountdownProgramWait);
                return;
            }
            log_.AppendLog(std::string(kProgramNotStarted) + path + ": " + error);
        }
    }
    FinishAction();
}

void PowerFailResponse::LimitWait(std::chrono::milliseconds limit) {
    const Clock::time_point due = now_() + limit;
    if (due >= wait_due_) return;
    wait_due_ = due;
    wait_timer_ = loop_.StartTimer(limit, [this] { OnWaitLimit(); });
}

void PowerFailResponse::OnProgramEnd() {
    wait_timer_.Reset();
    program_.reset();
    FinishAction();
}

// The program may still be saving work: it keeps running, we only stop waiting for it.
void PowerFailResponse::OnWaitLimit() {
    wait_timer_.Reset();
    program_.reset();
    log_.AppendLog(kProgramStillRunning);
    FinishAction();
}

void PowerFailResponse::FinishAction() {
    // The choice is read now, after the wait: a change made meanwhile counts.
    if (display_.SleepRB) {
        system_.SystemSuspend();
    } else if (display_.HibernateRB) {
        SendUpsShutdown();
        system_.SystemHibernate();
    } else if (display_.ShutdownRB) {
        SendUpsShutdown();
        system_.SystemShutdown();
    }
    acting_ = false;
    if (kept_firing_) {
        const bool imminent = kept_imminent_;
        kept_firing_ = kept_imminent_ = false;
        BeginAction(imminent);
        return;
    }
    Announce();
}

// Before the system action, and also when the system then refuses it: the UPS switching off
// later is what protects the machine if shutting down fails.
void PowerFailResponse::SendUpsShutdown() {
    if (!display_.UPSShutdownCB) return;
    send_ups_command_(
        link::CommandText(link::Command::ShutdownUps, display_.UPSShutdownUD.Position));
}

void PowerFailResponse::Announce(bool always) {
    const ResponseState state = State();
    if (state == announced_ && !always) return;
    announced_ = state;
    if (observer_) observer_(state, SecondsLeft().value_or(std::chrono::seconds(0)));
}

}  // namespace gw::monitor
