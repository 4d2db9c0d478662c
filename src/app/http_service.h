// The status server as the HTTP tab drives it: the reactions of "Enabled" (HTTPCB) and
// "Authentication" (HTTPAuthCB), which fields may be edited, and the copy of the display the
// server answers from.
//
// Thread rule: main thread only. The server's own threads read nothing but the published copy.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "app/history_service.h"
#include "link/log_sink.h"
#include "link/main_loop.h"
#include "link/ups_link.h"
#include "monitor/detection_seams.h"
#include "monitor/display_model.h"
#include "monitor/ups_state.h"
#include "reports/http_server.h"
#include "reports/page_source.h"

namespace gw::app {

// The port of HTTPPortE: a decimal integer, optionally signed, without blanks. Nothing when
// the text is not one.
std::optional<long> ParsePortText(std::string_view text);
// What is wrong with a port field's text for the message box: "'%s' is not a valid integer
// value" or "'%s' is not a port number (1 to 65535)"; empty for a port. Both servers go by it
// and stay as they were when it is not empty.
std::string PortTextError(std::string_view text);

class HttpService {
public:
    // How often the copy is renewed while the server runs, besides after every poll: edits of
    // the check boxes and the credentials reach the server within this time, also while
    // monitoring is stopped. The ended bursts of failed logins are logged as often.
    static constexpr std::chrono::seconds kRefreshPeriod{1};

    // `display`, `ups`, `state`, `dialogs` and `log` outlive this. The pages tell `state`'s
    // record.
    HttpService(link::MainLoop& loop, const monitor::DisplayModel& display,
                const link::UpsLink& ups, const monitor::UpsStateKeeper& state,
                monitor::DetectionDialogs& dialogs, link::LogSink& log);

    // The reaction to HTTPCB: starts the server on the port HTTPPortE shows when the box is
    // ticked, stops it when not. A failure is shown in a message box; the box stays as it is,
    // and for a text that is no port (PortTextError) the server too.
    void OnEnabledChanged();
    // Stops the server (the close sequence), logging the failed logins not logged yet.
    void Stop();

    bool Running() const { return server_.Running(); }
    std::uint16_t Port() const { return server_.Port(); }
    // HTTPPortE may be edited only while the server is stopped.
    bool PortEditable() const { return !server_.Running(); }
    // HTTPUserE and HTTPPasswordE are enabled exactly when HTTPAuthCB is ticked. The check
    // itself does not depend on the box: filled fields are always asked for.
    bool CredentialsEditable() const { return display_.HTTPAuthCB; }

    // Hands the server a fresh copy of the display now.
    void Publish();
    // Where "/metrics" and the history pages come from; `history` outlives this. Without it
    // the metrics show no reading and the history pages say that none is kept.
    void SetHistory(const HistoryService* history) { history_ = history; }

private:
    void Refresh();
    void LogFailedLogins(bool all);

    link::MainLoop& loop_;
    link::LogSink& log_;
    const monitor::DisplayModel& display_;
    const link::UpsLink& ups_;
    const monitor::UpsStateKeeper& state_;
    monitor::DetectionDialogs& dialogs_;
    const HistoryService* history_ = nullptr;
    reports::PageSource source_;
    reports::HttpServer server_{source_};
    link::TimerHandle refresh_;
};

}  // namespace gw::app
