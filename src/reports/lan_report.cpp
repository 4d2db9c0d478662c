#include "reports/lan_report.h"

#include <cctype>

namespace gw::reports {

namespace {

constexpr const char* kTitle = "Gridwarden";

bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

}  // namespace

const char* StatusText(LanStatus status) {
    for (const auto& row : kLanStatusTexts) {
        if (row.Status == status) return row.Text;
    }
    return "";
}

bool IsWarning(std::string_view text) { return text.substr(0, 7) == "Warning"; }

std::string LanMessage(std::string_view computer_name, std::string_view text) {
    std::string message = "From: ";
    message.append(computer_name);
    message += "\r\n";
    message.append(text);
    return message;
}

long DesktopServer::OpenServer(std::string_view server_name) const {
    if (server_name.empty() || SameName(server_name, "localhost") ||
        (!computer_name_.empty() && SameName(server_name, computer_name_))) {
        return 0;
    }
    return kInvalidHandle;
}

bool DesktopServer::SendMessage(long handle, std::string_view title, std::string_view message,
                                bool warning) {
    if (handle == kInvalidHandle) return false;
    Notification notification;
    notification.AppName = kTitle;
    notification.Title = std::string(title);
    notification.Text = std::string(message);
    notification.Icon = warning ? "dialog-warning" : "dialog-information";
    notification.Urgency = warning ? NotifyUrgency::Critical : NotifyUrgency::Normal;
    std::string error;
    return notifier_.Notify(notification, error);
}

LanStatus SendLanReport(const LanSettings& settings, std::string_view text, Notifier& notifier) {
    const bool warning = IsWarning(text);
    const std::string message = LanMessage(settings.ComputerName, text);
    DesktopServer server(notifier, settings.ComputerName);
    LanStatus status = LanStatus::Failed;
    const long handle = server.OpenServer(settings.ServerName);
    if (handle == DesktopServer::kInvalidHandle) return LanStatus::CannotOpenServer;
    if (server.SendMessage(handle, kTitle, message, warning)) status = LanStatus::Success;
    server.CloseServer(handle);
    return status;
}

}  // namespace gw::reports
