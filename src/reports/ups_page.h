// The status server's page for people: "/status", the UPS's state at a glance on a phone or a
// desk, told from the record of the state with the same summary as the window and the tray,
// refreshing itself. Beside the protocol's page at "/", which stays as it is for the programs
// that read it.
//
// Thread rule: pure functions; any thread.
#pragma once

#include <chrono>
#include <string>

#include "monitor/ups_state.h"

namespace gw::reports {

inline constexpr char kUpsPagePath[] = "/status";
inline constexpr int kUpsPageRefreshSeconds = 5;

// The page as UTF-8 HTML.
std::string ComposeUpsPage(const monitor::UpsState& state);

}  // namespace gw::reports
