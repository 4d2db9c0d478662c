// A time as the user's clock shows it, in strftime's format, to the second: the one formatter of
// local times for the window, the summary, the pages and the history.
//
// Thread rule: a pure function; any thread (localtime_r).
#pragma once

#include <chrono>
#include <string>

namespace gw::monitor {

std::string LocalTimeText(std::chrono::system_clock::time_point time, const char* format);

}  // namespace gw::monitor
