// Gridwarden without a window: the same start-up, monitoring, power-fail response and close,
// with the tray, the status bar and the dialogs printed. For servers, scripts, tests and
// benchmarks.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "app/application.h"

namespace gw::app {

struct HeadlessOptions {
    int ComPort = 0;         // 0: the stored port, else the scan's first answering port
    int RefreshSeconds = 0;  // 0: the stored refresh interval
    bool PrintReplies = false;
    bool StatusJson = false;  // one JSON object per evaluation on standard output
    int Cycles = 0;           // end after this many polling cycles; 0 = until a signal
    std::string JournalDir;   // empty: the default place; the history is kept there too
    bool KeepHistory = true;
    double BatteryTimeScale = 1;  // see ApplicationOptions
    PowerBackend Power = PowerBackend::Logind;
    std::string PowerBusAddress;   // empty: the system bus
    int RetrySeconds = 60;         // how often a missing UPS is looked for again
    bool SendTestReports = false;  // a test mail and LAN message after the first poll
    std::string NotifyBusAddress;  // the LAN messages' bus; empty: the session bus
    // Where a system service keeps its files; each empty: the user's own place.
    std::string SettingsPath;
    std::string LockDir;
    // The settings store (empty: the INI store without Qt) and whether the auto-start entry
    // follows the settings: the window program's choices, not the daemon's.
    std::function<std::unique_ptr<SettingsStore>(const std::string&)> OpenStore;
    bool ManageAutostart = false;
    // The network UPS server's listener on 127.0.0.1 beside "NUT Server"; 0: none. The daemon's
    // default is kNutPort, so that the window on the same machine can watch the service.
    std::uint16_t NutLoopbackPort = 0;
    std::string Watch;  // UPS@HOST[:PORT] for this run; empty: the "Watch UPS" setting
};

// The ApplicationOptions the headless runner and the window share.
ApplicationOptions ApplicationOptionsFor(const HeadlessOptions& options);

// Runs until a signal, the end of the session or the cycle count; returns the exit status:
// 0, or 1 when a run bounded by Cycles found no UPS to monitor. A second copy ends with 0 at
// once and prints nothing.
int RunHeadless(const HeadlessOptions& options);

}  // namespace gw::app
