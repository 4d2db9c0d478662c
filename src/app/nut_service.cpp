#include "app/nut_service.h"

#include <cstdio>

#include "app/http_service.h"
#include "reports/nut_state.h"

namespace gw::app {

namespace {

// The two listeners split the descriptors the network UPS server may take.
reports::NutServer::Limits SharedLimits() {
    reports::NutServer::Limits limits;
    limits.SharingDescriptors = 2;
    return limits;
}

// Whether a server listening on `address` also takes connections to the loopback address.
bool ListensOnLoopback(const std::string& address) {
    return address.empty() || address == "0.0.0.0" || address == kLoopbackAddress;
}

}  // namespace

NutService::NutService(link::MainLoop& loop, const monitor::DisplayModel& display,
                       const link::UpsLink& ups, monitor::DetectionDialogs& dialogs,
                       link::LogSink& log, std::string version)
    : loop_(loop),
      log_(log),
      display_(display),
      ups_(ups),
      dialogs_(dialogs),
      version_(std::move(version)),
      server_(source_, SharedLimits(), &roster_),
      loopback_(source_, SharedLimits(), &roster_),
      alive_(std::make_shared<NutService*>(this)) {
    const auto sink = [this](const reports::NutCommand& command, const std::string& address) {
        return OnCommand(command, address);
    };
    server_.SetCommandSink(sink);
    loopback_.SetCommandSink(sink);
}

// The servers' threads end before anything they reach goes.
NutService::~NutService() {
    server_.Stop();
    loopback_.Stop();
}

void NutService::OnEnabledChanged() {
    if (!display_.NUTServerCB) {
        server_.Stop();
        LogFailedLogins(true);
        FollowLoopback();
        return;
    }
    const std::string wrong = PortTextError(display_.NUTPortE);
    if (!wrong.empty()) {
        dialogs_.ShowError("NUT server: " + wrong);
        return;  // the server stays as it was, as the status page's does
    }
    Publish();
    const auto port = static_cast<std::uint16_t>(*ParsePortText(display_.NUTPortE));
    // Two sockets cannot both listen where they overlap: the loopback one gives way first.
    if (port == loopback_port_ && ListensOnLoopback(display_.NUTAddressE)) loopback_.Stop();
    const std::string error = server_.Start(display_.NUTAddressE, port);
    if (!error.empty()) dialogs_.ShowError("NUT server: " + error);
    server_address_ = display_.NUTAddressE;
    FollowLoopback();
}

void NutService::SetLoopbackPort(std::uint16_t port) {
    if (port != loopback_port_) {
        loopback_.Stop();
        loopback_refused_ = false;
    }
    loopback_port_ = port;
    FollowLoopback();
}

bool NutService::ServerCoversLoopback() const {
    return server_.Running() && server_.Port() == loopback_port_ &&
           ListensOnLoopback(server_address_);
}

void NutService::FollowLoopback() {
    if (loopback_port_ == 0 || ServerCoversLoopback()) {
        loopback_.Stop();
    } else if (!loopback_.Running()) {
        Publish();
        const std::string error = loopback_.Start(kLoopbackAddress, loopback_port_);
        // Tried again when the configured server changes, told once.
        if (!error.empty() && !loopback_refused_) {
            loopback_refused_ = true;
            log_.AppendLog(std::string(kLoopbackNotStarted) + kLoopbackAddress + ":" +
                           std::to_string(loopback_port_) + ": " + error);
        }
    }
    ArmRefresh();
}

void NutService::ArmRefresh() {
    if (!Running()) {
        refresh_.Reset();
    } else if (!refresh_.Armed()) {
        refresh_ = loop_.StartTimer(
            kRefreshPeriod, [this] { Refresh(); }, true);
    }
}

void NutService::Stop() {
    refresh_.Reset();
    server_.Stop();
    loopback_.Stop();
    LogFailedLogins(true);
}

void NutService::Refresh() {
    Publish();
    LogFailedLogins(false);
}

void NutService::LogFailedLogins(bool all) {
    for (reports::NutServer* server : {&server_, &loopback_}) {
        for (const std::string& line : server->TakeFailedLoginReports(all)) log_.AppendLog(line);
    }
}

bool NutService::OnCommand(const reports::NutCommand& command, const std::string& address) {
    if (commands_waiting_.fetch_add(1) >= kMostCommandsWaiting) {
        --commands_waiting_;
        return false;
    }
    loop_.Post([alive = std::weak_ptr<NutService*>(alive_), command, address] {
        if (const std::shared_ptr<NutService*> service = alive.lock()) {
            --(*service)->commands_waiting_;
            (*service)->RunCommand(command, address);
        }
    });
    return true;
}

void NutService::RunCommand(const reports::NutCommand& command, const std::string& address) {
    char line[160];
    std::snprintf(line, sizeof line, kNutCommandFrom, command.Name.c_str(), address.c_str());
    log_.AppendLog(line);
    if (run_command_) run_command_(command.Which, command.Minutes);
}

void NutService::OnCycle(const monitor::UpsState& state, bool acting) {
    if (state.NewReply) {
        last_state_ = state;
        last_good_ = std::chrono::steady_clock::now();
        if (!acting && !state.OnBattery()) forced_shutdown_ = false;
    }
    if (Running()) Publish();
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
    // What the UPS refused once, its button off, is not offered.
    for (const reports::NutCommandRow& row : reports::kNutCommands) {
        if (display_.*monitor::RowOf(row.Which).Enabled) state.Commands.push_back(row.Which);
    }
    source_.Publish(std::move(state));
}

int NutService::TellToShutDown() {
    if (!Running()) return 0;
    forced_shutdown_ = true;
    Publish();
    return roster_.Logins();
}

}  // namespace gw::app
