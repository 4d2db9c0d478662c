// The network UPS protocol server as the settings drive it: started from "NUT Server" at
// start-up and by its check box, fed a fresh copy of the UPS's values after every poll, and the
// secondaries' side of the power-fail response (the forced-shutdown flag and their count).
//
// The flag stays up until a poll shows the mains back while no action runs: a machine that only
// suspended, or whose shutdown failed, must not send its secondaries down again when they
// return.
//
// Thread rule: main thread only. The server's own threads read nothing but the published copy.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
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
#include "reports/nut_server.h"

namespace gw::app {

class NutService final : public monitor::Secondaries {
public:
    // Besides after every poll, so that staleness and edits of the login reach the server also
    // while monitoring is stopped. The ended bursts of failed logins are logged as often.
    static constexpr std::chrono::seconds kRefreshPeriod{1};

    // `display`, `ups`, `dialogs` and `log` outlive this.
    NutService(link::MainLoop& loop, const monitor::DisplayModel& display, const link::UpsLink& ups,
               monitor::DetectionDialogs& dialogs, link::LogSink& log, std::string version);

    // The reaction to the "NUT Server" box: starts the server on NUTAddressE and NUTPortE when
    // ticked, stops it when not. A failure is shown in a message box; the box stays as it is,
    // and for a text that is no port (PortTextError) the server too.
    void OnEnabledChanged();
    void Stop();
    bool Running() const { return server_.Running(); }
    std::uint16_t Port() const { return server_.Port(); }
    // The address and the port may be edited only while the server is stopped.
    bool FieldsEditable() const { return !server_.Running(); }

    // After each poll cycle, with its record (kept when it brings a new reply, for every
    // publish until the next one); `acting` while a power action runs.
    void OnCycle(const monitor::UpsState& state, bool acting);
    // Hands the server a fresh copy now.
    void Publish();

    // monitor::Secondaries
    int TellToShutDown() override;
    int LoggedIn() const override { return server_.Logins(); }
    bool ForcedShutdown() const { return forced_shutdown_; }

private:
    void Refresh();
    void LogFailedLogins(bool all);

    link::MainLoop& loop_;
    link::LogSink& log_;
    const monitor::DisplayModel& display_;
    const link::UpsLink& ups_;
    monitor::DetectionDialogs& dialogs_;
    const std::string version_;
    reports::NutSource source_;
    reports::NutServer server_{source_};
    link::TimerHandle refresh_;
    std::optional<monitor::UpsState> last_state_;  // of the last good cycle
    std::chrono::steady_clock::time_point last_good_{};
    bool forced_shutdown_ = false;
};

}  // namespace gw::app
