// The UPS's state in one short line, the same words on every surface (the window's top line,
// the tray's tooltip, the people's page, the status JSON, /metrics). It never says more than
// the record knows: a stale record tells when the UPS last replied, not its old readings.
//
// Thread rule: pure functions; any thread.
#pragma once

#include <chrono>
#include <string>

#include "monitor/ups_state.h"

namespace gw::monitor {

// How the line is shown: green, amber, red.
enum class SummaryLevel { Normal, Notice, Alarm };
// "normal", "notice", "alarm"
const char* SummaryLevelName(SummaryLevel level);

struct UpsSummary {
    std::string Text;  // UTF-8
    SummaryLevel Level = SummaryLevel::Normal;
};

UpsSummary SummaryOf(const UpsState& state);

// The tray icon's tooltip: the program's name over the summary.
std::string TrayToolTip(const UpsState& state);

// A runtime as people read it: "about 34 min", "under 1 min", "about 2 h 05 min".
std::string RuntimeWords(double seconds);

// Seconds as "m:ss", or "h:mm:ss" from an hour on.
std::string ClockText(std::chrono::seconds left);

// Tray images beyond the three of the evaluation: kTrayNormal, kTrayAvr, kTrayOnBattery.
inline constexpr int kTrayNoUps = 3;
inline constexpr int kTrayNoContact = 4;
inline constexpr int kTrayBatteryLow = 5;
inline constexpr int kTrayReplace = 6;

// The tray image that goes with the record: the evaluation's own index while the record is
// fresh and nothing worse is known, else the one that tells what is wrong.
int TrayIconFor(const UpsState& state, int evaluation_index);

}  // namespace gw::monitor
