#include "app/http_service.h"

#include <climits>

#include "reports/report_snapshot.h"

namespace gw::app {

std::optional<long> ParsePortText(std::string_view text) {
    std::size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    if (i == text.size()) return std::nullopt;
    long value = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') return std::nullopt;
        value = value * 10 + (text[i] - '0');
        if (value > INT_MAX) return std::nullopt;  // beyond an integer: not one
    }
    return negative ? -value : value;
}

std::string PortTextError(std::string_view text) {
    const std::optional<long> port = ParsePortText(text);
    if (!port) return "'" + std::string(text) + "' is not a valid integer value";
    if (*port < 1 || *port > 65535) {
        return "'" + std::string(text) + "' is not a port number (1 to 65535)";
    }
    return {};
}

HttpService::HttpService(link::MainLoop& loop, const monitor::DisplayModel& display,
                         const link::UpsLink& ups, const monitor::UpsStateKeeper& state,
                         monitor::DetectionDialogs& dialogs, link::LogSink& log)
    : loop_(loop), log_(log), display_(display), ups_(ups), state_(state), dialogs_(dialogs) {}

void HttpService::OnEnabledChanged() {
    // Unticked always stops, whatever the port field holds by then.
    if (!display_.HTTPCB) {
        Stop();
        return;
    }
    const std::string wrong = PortTextError(display_.HTTPPortE);
    if (!wrong.empty()) {
        dialogs_.ShowError(wrong);
        return;  // the server stays as it was
    }
    Publish();
    const std::string error =
        server_.Start(static_cast<std::uint16_t>(*ParsePortText(display_.HTTPPortE)));
    if (!error.empty()) {
        dialogs_.ShowError(error);
        return;
    }
    refresh_ = loop_.StartTimer(
        kRefreshPeriod, [this] { Refresh(); }, true);
}

void HttpService::Stop() {
    refresh_.Reset();
    server_.Stop();
    LogFailedLogins(true);
}

void HttpService::Refresh() {
    Publish();
    LogFailedLogins(false);
}

void HttpService::LogFailedLogins(bool all) {
    for (const std::string& line : server_.TakeFailedLoginReports(all)) log_.AppendLog(line);
}

void HttpService::Publish() {
    reports::PageState state;
    state.Ups = state_.Current();
    state.Snapshot = reports::TakeReportSnapshot(state.Ups, display_, ups_);
    state.Items = reports::TakeReportItems(display_);
    state.User = display_.HTTPUserE;
    state.Password = display_.HTTPPasswordE;
    if (history_ != nullptr) {
        state.Metrics = history_->Metrics(display_);
        state.History = history_->Reader();
    }
    source_.Publish(std::move(state));
}

}  // namespace gw::app
