// What the status evaluation tells the rest of the program: the tray, the event notices and
// the power-fail countdown. Their owners (the window, the report channels, the power-fail
// response) implement these; the evaluation only calls them.
//
// Thread rule: every method is called on the main thread, from inside an evaluation, and must
// return promptly. Work that blocks (mail, messages) starts its own thread with its own copy of
// what it needs.
#pragma once

#include <chrono>
#include <string_view>

namespace gw::monitor {

enum class BalloonIcon { Information, Warning };

// The tray icon. Image indexes: 0 normal, 1 AVR active, 2 on battery.
class TrayPresenter {
public:
    virtual ~TrayPresenter() = default;
    // A balloon hint for 10 seconds; a new one replaces the one shown. The implementation cuts
    // a title past 63 and a text past 255 characters. Callers have already checked BalloonCB.
    virtual void ShowTrayBalloon(std::string_view title, std::string_view text,
                                 BalloonIcon icon) = 0;
    // Sets the image and redraws it, also when the index is unchanged.
    virtual void SetTrayIcon(int index) = 0;
};

enum class NoticeKind {
    PowerFail,
    PowerRestored,
    AvrOn,
    AvrOff,
    BatteryLow,
    // A new verdict on the battery's health.
    BatteryGood,
    BatteryWeak,
    BatteryReplace,
};

struct NoticeChannels {
    bool Mail = false;  // SMTPWarningsCB
    bool Lan = false;   // LANWarningsCB
};

// Event notices by e-mail and LAN message. Called only when the event's gate is checked and at
// least one channel is chosen.
class EventNotices {
public:
    virtual ~EventNotices() = default;
    // Composes the notice for `kind` at `event_time` (the instant the change was detected and
    // logged) from what the display shows now, and starts one sender per channel at once.
    // Never waits for a sender; failures go to the status bar, not back here.
    virtual void Notify(NoticeKind kind, std::chrono::system_clock::time_point event_time,
                        NoticeChannels channels) = 0;
};

// The power-fail countdown (one one-shot timer).
class Countdown {
public:
    virtual ~Countdown() = default;
    // Arms the timer with `delay`, replacing whatever it held.
    virtual void StartCountdown(std::chrono::seconds delay) = 0;
    // Disarms it; harmless when idle. An action already running is not undone.
    virtual void CancelCountdown() = 0;
    // Re-arms it to fire in 100 ms. Called after every evaluation that finds the battery below
    // the minimum, so the action repeats while the battery stays there.
    virtual void FireNow() = 0;
};

}  // namespace gw::monitor
