// The computer's power functions as the power layer needs them: may the system power off,
// suspend or hibernate now, do it, hold back sleep and power-off for a moment, and hear when
// the system is about to sleep, has woken or is going down.
//
// Thread rule: every method is called on the main thread and returns at once, without waiting
// for the system. Answers come through the `done` callbacks and the two event handlers, always on
// the main thread and never from within the call that asked (a backend that hears the system on
// another thread posts them to the main loop). Each `done` runs exactly once, unless the backend
// is destroyed first: then it never runs. A backend that cannot reach the system answers with its
// error; one that gets no answer gives up after a few seconds and answers with that.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "link/log_sink.h"
#include "link/main_loop.h"

namespace gw::monitor {

enum class PowerAction { PowerOff, Suspend, Hibernate };

// Each action's name in the event log. `StartLine` is what the log shows when the program
// itself sends the computer to sleep (nothing for power-off).
struct PowerActionRow {
    PowerAction Action;
    const char* Name;
    const char* StartLine;
};

// clang-format off
inline constexpr PowerActionRow kPowerActions[] = {
    {PowerAction::PowerOff,  "Power off", nullptr},
    {PowerAction::Suspend,   "Suspend",   "Suspend Mode"},
    {PowerAction::Hibernate, "Hibernate", "Hibernate"},
};
// clang-format on

constexpr const PowerActionRow& RowOf(PowerAction action) {
    for (const auto& row : kPowerActions) {
        if (row.Action == action) return row;
    }
    return kPowerActions[0];
}

// The system's answer to "may I do this now?".
struct Capability {
    bool Allowed = false;
    std::string Answer;  // the system's own word ("yes", "no", "challenge", "na"), when it answered
    std::string Error;   // why the question itself failed; empty when the system answered
};

// Holds back the system's sleep and power-off while it is held: the system announces them and
// waits (a few seconds at most) until this is released. Owns its file descriptor; releasing
// closes it. A default-constructed one holds nothing.
class DelayInhibitor {
public:
    DelayInhibitor() = default;
    explicit DelayInhibitor(int fd) : fd_(fd) {}
    DelayInhibitor(DelayInhibitor&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    DelayInhibitor& operator=(DelayInhibitor&& other) noexcept;
    DelayInhibitor(const DelayInhibitor&) = delete;
    DelayInhibitor& operator=(const DelayInhibitor&) = delete;
    ~DelayInhibitor() { Release(); }

    void Release();
    bool Held() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

class PowerControl {
public:
    virtual ~PowerControl() = default;

    virtual void Can(PowerAction action, std::function<void(Capability)> done) = 0;
    // Asks the system to act without asking the user for a password. `error` empty: the system
    // took the request; for sleep that is before the computer sleeps, not after it woke.
    // Otherwise it is the system's reason. The system may announce the action (the handlers
    // below) before this answer comes.
    virtual void Do(PowerAction action, std::function<void(std::string error)> done) = 0;
    // A delay inhibitor for what the system is about to do, in its own words: "sleep" or
    // "shutdown". On failure it holds nothing and `error` says why; a backend that needs none
    // gives an empty one and leaves `error` empty.
    virtual void TakeDelayInhibitor(
        std::string_view what, std::string_view why,
        std::function<void(DelayInhibitor, std::string error)> done) = 0;

    // `start` true: the system is about to sleep (or to go down) and waits for our delay
    // inhibitor; false: it has woken (or the power-off was called off). Set once, before
    // anything else is called.
    virtual void OnPrepareForSleep(std::function<void(bool start)> handler) = 0;
    virtual void OnPrepareForShutdown(std::function<void(bool start)> handler) = 0;
};

// The system's login manager over D-Bus. `bus_address` empty means the system bus; tests give
// their own bus. When the bus cannot be reached this still returns a backend, one that tries
// to connect again at each request and until then refuses it with the connection's error text;
// `error` gets that text so the caller can log it once at start-up. Answers and events are posted to `loop`.
std::unique_ptr<PowerControl> CreateLogindPowerControl(const std::string& bus_address,
                                                       link::MainLoop& loop, std::string& error);

// Acts on nothing: every action is allowed and only logged ("Simulated power action: Suspend"),
// and answers come through `loop` as a real system's would. After a simulated sleep it tells of
// sleep and wake at once, as a computer that slept and woke would, so that polling goes on; after a
// simulated power-off it announces the power-off, so the program closes and ends as it would on the
// real machine.
std::unique_ptr<PowerControl> CreateSimulatedPowerControl(link::LogSink& log, link::MainLoop& loop);

// The running kernel's major version, 0 when it cannot be read.
int KernelMajorVersion();

}  // namespace gw::monitor
