// One LAN message: the text a LANRep worker sends and the status it ends with. On Linux the
// message is a desktop notification on this computer, behind the same three calls a terminal
// server offers (open the server by name, send to it, close it).
//
// Thread rule: SendLanReport runs on the sending worker's thread; the rest are pure.
#pragma once

#include <string>
#include <string_view>

#include "reports/notifier.h"

namespace gw::reports {

// A copy of the LAN tab and of this computer's name, taken on the main thread.
struct LanSettings {
    std::string ServerName;    // "LAN Server"
    std::string ComputerName;  // this computer's network name; empty when unknown
};

enum class LanStatus { Success, Failed, CannotOpenServer };

// clang-format off
struct LanStatusText { LanStatus Status; const char* Text; };
inline constexpr LanStatusText kLanStatusTexts[] = {
    {LanStatus::Success,          "LAN Report sending success"},
    {LanStatus::Failed,           "LAN Report sending failed!"},
    {LanStatus::CannotOpenServer, "Could not open server!"},
};
// clang-format on

const char* StatusText(LanStatus status);

// Notices that warn start with exactly "Warning"; reports and information notices do not.
bool IsWarning(std::string_view text);
// "From: " name CR LF text.
std::string LanMessage(std::string_view computer_name, std::string_view text);

// The terminal server's three calls over the desktop. Only this computer can be opened: its
// own name (in any case), an empty name or "localhost".
class DesktopServer {
public:
    static constexpr long kInvalidHandle = -1;

    DesktopServer(Notifier& notifier, std::string computer_name)
        : notifier_(notifier), computer_name_(std::move(computer_name)) {}

    long OpenServer(std::string_view server_name) const;
    // True when the message was taken. Warnings are critical and keep the warning icon.
    bool SendMessage(long handle, std::string_view title, std::string_view message, bool warning);
    void CloseServer(long) {}

private:
    Notifier& notifier_;
    std::string computer_name_;
};

LanStatus SendLanReport(const LanSettings& settings, std::string_view text, Notifier& notifier);

}  // namespace gw::reports
