// One command over a HID UPS: the command in one 9-byte output report, the
// reply collected from input reports until 500 ms pass without one.
//
// Callers hold DataMutex. Report numbers never enter a reply: on a device
// with numbered reports byte 0 of every report is dropped.
#pragma once

#include <string>
#include <string_view>

#include "link/ups_link.h"

namespace gw::link {

class HidBus;
class LogSink;

// The raw reply, empty after a failure; each failing step writes its log
// line (" OpenFile failed! " and the system's text, and so on).
std::string HidExchangeCommand(HidBus& bus, const std::string& device_path,
                               std::string_view command, LogSink& log, const SleepFor& sleep);

// The status text of one polling cycle. Logs nothing. A cycle that received
// no byte has failed, like a silent serial cycle.
PollResult HidPollExchange(HidBus& bus, const std::string& device_path, std::string_view inquiry,
                           const SleepFor& sleep);

}  // namespace gw::link
