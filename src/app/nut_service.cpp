#include "app/nut_service.h"

#include "app/http_service.h"
#include "reports/nut_state.h"

namespace gw::app {

NutService::NutService(link::MainLoop& loop, const monitor::DisplayModel& display,
                       const link::UpsLink& ups, monitor::DetectionDialogs& dialogs,
                       link::LogSink& log, std::string version)
    : loop_(loop),
      log_(log),
      display_(display),
      ups_(ups),
      dialogs_(dialogs),
      version_(std::move(version)) {}

void NutService::OnEnabledChanged() {
    if (!display_.NUTServerCB) {
        Stop();
        return;
    }
    const std::string wrong = PortTextError(display_.NUTPortE);
    if (!wrong.empty()) {
        dialogs_.ShowError("NUT server: " + wrong);
        return;  // the server stays as it was, as the status page's does
    }
    Publish();
    const std::string error = server_.Start(
        display_.NUTAddressE, static_cast<std::uint16_t>(*ParsePortText(display_.NUTPortE)));
    if (!error.empty()) {
        dialogs_.ShowError("NUT server: " + error);
        return;
    }
    refresh_ = loop_.StartTimer(
        kRefreshPeriod, [this] { Refresh(); }, true);
}

void NutService::Stop() {
    refresh_.Reset();
    server_.Stop();
    LogFailedLogins(true);
}

void NutService::Refresh() {
    Publish();
    LogFailedLogins(false);
}

void NutService::LogFailedLogins(bool all) {
    for (const std::string& line : server_.TakeFailedLoginReports(all)) log_.AppendLog(line);
}

void NutService::OnCycle(const monitor::UpsState& state, bool acting) {
    if (state.NewReply) {
        last_state_ = state;
        last_good_ = std::chrono::steady_clock::now();
        if (!acting && !state.OnBattery()) forced_shutdown_ = false;
    }
    if (server_.Running()) Publish();
}

void NutService::Publish() {
    reports::NutState state;
    state.UpsFound = ups_.UpsFound;
    state.LastGoodReply = last_good_;
    state.Description = reports::TakeNutDescription(display_, ups_);
    state.Variables = reports::TakeNutVariables(last_state_.value_or(monitor::UpsState{}), ups_,
                                                forced_shutdown_, version_);
    state.User = display_.NUTUserE;
    state.Password = display_.NUTPasswordE;
    state.Version = version_;
    source_.Publish(std::move(state));
}

int NutService::TellToShutDown() {
    if (!server_.Running()) return 0;
    forced_shutdown_ = true;
    Publish();
    return server_.Logins();
}

}  // namespace gw::app
