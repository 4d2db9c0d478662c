// A UPS watched over the network as a secondary, as NUT's upsmon watches one: the server's
// variables become the evaluation's cut status, so the events, the countdown, the battery model,
// the record and every surface run as for our own UPS. Beyond what the status bits start, a
// secondary acts at once (through the response's FireNow) when the server raises FSD or when
// the UPS is on battery and low, logs out before its power action so the primary may go on,
// and never sends the UPS its shutdown command: that is the primary's to send.
//
// Thread rule: main thread only. The client's thread reaches it through the main loop.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "link/log_sink.h"
#include "link/main_loop.h"
#include "link/nut_client.h"
#include "link/ups_link.h"
#include "monitor/display_model.h"
#include "monitor/evaluation_seams.h"
#include "monitor/power_fail_response.h"
#include "monitor/status_evaluation.h"
#include "monitor/user_commands.h"

namespace gw::monitor {

// What a server's variables tell, cut for the evaluation.
struct WatchedStatus {
    bool Known = false;  // ups.status was there
    CutStatus Cut;
    bool ForcedShutdown = false;  // FSD: the primary is shutting everything down
    std::string Manufacturer;
    std::string Model;
    std::optional<long double> NominalBatteryVolts;
};

// `name` ("ups@nas") leads the text that stands for the reply.
WatchedStatus CutNutVariables(const std::map<std::string, std::string>& variables,
                              const std::string& name, std::chrono::system_clock::time_point time);

// clang-format off
inline constexpr const char* kWatchStarted      = "Watching %s over the network";
inline constexpr const char* kWatchReached      = "%s answers: %s";
inline constexpr const char* kWatchForced       = "%s: forced shutdown (FSD): acting now";
inline constexpr const char* kWatchLowOnBattery = "%s: on battery and low: acting now";
inline constexpr const char* kWatchLoggedOut    = "Logged out of %s before the power action";
inline constexpr const char* kWatchNoUpsShutdown =
    "UPS Shutdown is not sent to a watched UPS: switching it off is its primary's task";
inline constexpr const char* kWatchCommandRefused = "%s refused %s: %s";
// clang-format on

// The words a failed try gives the record and the log: "not reachable (Connection refused)",
// "no such UPS on the server", "login refused (ACCESS-DENIED)", "no fresh data (DATA-STALE)".
std::string ProblemText(const link::NutReading& reading);

// Which UPS to watch over the network: `option` (--watch), else `setting` ("Watch UPS"), else,
// while the system service holds its lock, `service_watch`, the service's own UPS, watched
// without logging in since the service protects the machine. No target: the machine's own port.
struct WatchChoice {
    std::optional<link::NutTarget> Target;
    bool Secondary = true;
    std::string Error;  // the text chosen is no UPS@HOST[:PORT]
};
WatchChoice ChooseWatch(const std::string& option, const std::string& setting, bool service_runs,
                        const std::string& service_watch);

// The instant command of each tool bar command; none where the protocol has none.
std::optional<std::string> InstantCommandOf(UserCommand command);

class NutWatch {
public:
    // After every try, once the evaluation (if any) has run; `good` when a whole status came.
    using OnCycle = std::function<void(bool good)>;

    // All references outlive this. `ups` gets the server's names and nominal battery volts, as
    // detection fills them for our own UPS.
    NutWatch(link::NutTarget target, std::string user, std::string password, link::MainLoop& loop,
             link::UpsLink& ups, DisplayModel& display, link::LogSink& log,
             StatusEvaluation& evaluation, Countdown& countdown, OnCycle on_cycle,
             link::NutTimings timings = {});
    ~NutWatch();

    const std::string& Name() const { return name_; }
    // Before Start. False: read (and command) without LOGIN, for a UPS another monitor on this
    // machine protects; the power actions then need no LOGOUT either.
    void SetSecondary(bool secondary) { secondary_ = secondary; }
    bool Secondary() const { return secondary_; }
    void Start(std::chrono::milliseconds interval);
    void Stop();
    bool Running() const { return client_ != nullptr; }
    void SetInterval(std::chrono::milliseconds interval);

    // Why the latest try failed, in words; empty while the server answers.
    const std::string& Problem() const { return problem_; }
    // Whether a whole status ever came.
    bool Reached() const { return reached_; }

    // The tool bar: the command goes to the server as an instant command. Enabled() tells
    // whether it may, Why() why not.
    void Send(UserCommand command);
    bool Enabled(UserCommand command) const;
    std::string Why(UserCommand command) const;

    // LOGOUT, then `then`. `for_good`: no further login (the machine goes down); else the next
    // try logs in again (after a suspend).
    void LogOutThen(std::function<void()> then, bool for_good);

private:
    void OnReading(const link::NutReading& reading);
    void FireOnce(bool condition, bool& latched, const char* line);
    // The tool bar's commands on and off, each with why.
    void ShowCommands();

    link::NutTarget target_;
    std::string name_;
    std::string user_;
    std::string password_;
    link::MainLoop& loop_;
    link::UpsLink& ups_;
    DisplayModel& display_;
    link::LogSink& log_;
    StatusEvaluation& evaluation_;
    Countdown& countdown_;
    OnCycle on_cycle_;
    link::NutTimings timings_;
    std::unique_ptr<link::NutClient> client_;
    std::chrono::milliseconds interval_{3000};

    std::string problem_;
    std::string logged_problem_ = "-";  // the problem the log told last; "-": none yet
    bool reached_ = false;
    bool answering_ = false;  // the latest try brought a whole status
    bool forced_seen_ = false;
    bool low_seen_ = false;
    bool commands_known_ = false;
    std::vector<std::string> commands_;
    std::vector<std::string> refused_;  // commands the server refused this login
    bool logged_in_ = false;
    bool secondary_ = true;
};

// The UPS's own commands (the power-fail response's shutdown) while no UPS is watched; while
// one is, a secondary never switches the UPS off (its primary does, once every secondary is
// down): the command is dropped and the log says so once. `watch` outlives the sender.
UpsCommandSender UnlessWatching(UpsCommandSender over_wire, NutWatch* const& watch,
                                link::LogSink& log);

// The countdown as the evaluation and the watch reach it, closed while another monitor on this
// machine protects it (the window showing the system service's UPS): then nothing here starts
// a countdown or an action, only cancels.
class GatedCountdown final : public Countdown {
public:
    explicit GatedCountdown(Countdown& inner) : inner_(inner) {}
    void SetOpen(bool open) { open_ = open; }
    bool Open() const { return open_; }
    void StartCountdown(std::chrono::seconds delay) override {
        if (open_) inner_.StartCountdown(delay);
    }
    void CancelCountdown() override { inner_.CancelCountdown(); }
    void FireNow() override {
        if (open_) inner_.FireNow();
    }

private:
    Countdown& inner_;
    bool open_ = true;
};

// The power actions of a secondary: each one logs out of the server first, so that the primary
// stops waiting for this machine, and then runs.
class SecondaryActions final : public SystemActions {
public:
    // `watch` may be null (no watched UPS): the actions run at once.
    SecondaryActions(SystemActions& actions, NutWatch*& watch) : actions_(actions), watch_(watch) {}
    void SystemShutdown() override;
    void SystemSuspend() override;
    void SystemHibernate() override;

private:
    void After(std::function<void()> action, bool for_good);
    SystemActions& actions_;
    NutWatch*& watch_;
};

}  // namespace gw::monitor
