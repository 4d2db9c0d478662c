// The network UPS protocol server as the settings drive it: started from "NUT Server" at
// start-up and by its check box, fed a fresh copy of the UPS's values after every poll, the
// secondaries' side of the power-fail response (the forced-shutdown flag and their count), and
// the instant commands, run on the main thread as the tool bar's.
//
// The system service adds a listener on the loopback address (SetLoopbackPort), also with
// "NUT Server" off, so that the window on the same machine can show the service's UPS with no
// setting. It answers as the configured server does: anyone on this machine reads what the
// status page shows, only the configured login commands. When the configured server already
// listens there (on 127.0.0.1 or every address, the same port) it is the one listener; when
// the port is taken (a local upsd) one log line says so and the rest goes on. Both share one
// roster of secondaries.
//
// The flag stays up until a poll shows the mains back while no action runs: a machine that only
// suspended, or whose shutdown failed, must not send its secondaries down again when they
// return.
//
// Thread rule: main thread only. The servers' own threads read nothing but the published copy
// and post the commands here.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "link/log_sink.h"
#include "link/main_loop.h"
#include "link/ups_link.h"
#include "monitor/detection_seams.h"
#include "monitor/display_model.h"
#include "monitor/power_fail_response.h"
#include "monitor/status_evaluation.h"
#include "monitor/ups_state.h"
#include "monitor/user_commands.h"
#include "reports/nut_server.h"

namespace gw::app {

// clang-format off
inline constexpr char kLoopbackAddress[]      = "127.0.0.1";
inline constexpr char kLoopbackNotStarted[]   = "NUT server for this machine not started on ";
inline constexpr char kNutCommandFrom[]       = "NUT command %s from %s";
// clang-format on

class NutService final : public monitor::Secondaries {
public:
    // Besides after every poll, so that staleness and edits of the login reach the server also
    // while monitoring is stopped. The ended bursts of failed logins are logged as often.
    static constexpr std::chrono::seconds kRefreshPeriod{1};
    // Each command holds the main thread for an exchange with the UPS: a client sending them
    // faster than they run is refused rather than let them pile up before the evaluations.
    static constexpr int kMostCommandsWaiting = 4;

    // Runs a tool bar command; `minutes` for TestMinutes only.
    using CommandRunner = std::function<void(monitor::UserCommand which, int minutes)>;

    // `display`, `ups`, `dialogs` and `log` outlive this.
    NutService(link::MainLoop& loop, const monitor::DisplayModel& display, const link::UpsLink& ups,
               monitor::DetectionDialogs& dialogs, link::LogSink& log, std::string version);
    ~NutService() override;

    // The reaction to the "NUT Server" box: starts the server on NUTAddressE and NUTPortE when
    // ticked, stops it when not. A failure is shown in a message box; the box stays as it is,
    // and for a text that is no port (PortTextError) the server too. The loopback listener
    // follows: it gives way to a server that covers it and comes back when that one stops.
    void OnEnabledChanged();
    // The listener on 127.0.0.1:`port` beside "NUT Server"; 0: none. Starts or stops it now.
    void SetLoopbackPort(std::uint16_t port);
    void SetCommandRunner(CommandRunner runner) { run_command_ = std::move(runner); }
    // Both listeners; the loopback one comes back only with SetLoopbackPort.
    void Stop();
    // Whether anything listens: the configured server or the loopback one.
    bool Running() const { return server_.Running() || loopback_.Running(); }
    // The configured server's port; 0 when it does not run.
    std::uint16_t Port() const { return server_.Port(); }
    // The loopback listener's own port; 0 when it does not run (also while the configured
    // server covers it).
    std::uint16_t LoopbackPort() const { return loopback_.Port(); }
    // The address and the port may be edited only while the server is stopped.
    bool FieldsEditable() const { return !server_.Running(); }

    // After each poll cycle, with its record (kept when it brings a new reply, for every
    // publish until the next one); `acting` while a power action runs.
    void OnCycle(const monitor::UpsState& state, bool acting);
    // Hands the servers a fresh copy now.
    void Publish();

    // monitor::Secondaries
    int TellToShutDown() override;
    int LoggedIn() const override { return roster_.Logins(); }
    bool ForcedShutdown() const { return forced_shutdown_; }

private:
    // Starts or stops the loopback listener as the configured server and the port ask.
    void FollowLoopback();
    bool ServerCoversLoopback() const;
    void ArmRefresh();
    void Refresh();
    void LogFailedLogins(bool all);
    // On a server's thread: the command goes to the main thread, unless kMostCommandsWaiting
    // wait there already.
    bool OnCommand(const reports::NutCommand& command, const std::string& address);
    void RunCommand(const reports::NutCommand& command, const std::string& address);

    link::MainLoop& loop_;
    link::LogSink& log_;
    const monitor::DisplayModel& display_;
    const link::UpsLink& ups_;
    monitor::DetectionDialogs& dialogs_;
    const std::string version_;
    reports::NutSource source_;
    reports::NutRoster roster_;
    reports::NutServer server_;
    reports::NutServer loopback_;
    std::uint16_t loopback_port_ = 0;
    bool loopback_refused_ = false;  // its port was taken, and the log said so
    std::string server_address_;     // where the configured server was last started
    CommandRunner run_command_;
    std::atomic<int> commands_waiting_{0};  // posted, not run yet
    // Commands posted from the servers' threads find it gone once this is destroyed.
    std::shared_ptr<NutService*> alive_;
    link::TimerHandle refresh_;
    std::optional<monitor::UpsState> last_state_;  // of the last good cycle
    std::chrono::steady_clock::time_point last_good_{};
    bool forced_shutdown_ = false;
};

}  // namespace gw::app
