// One command over the serial line: write, a fixed 500 ms pause, then one
// read bounded by the port's 500 ms read time-out.
//
// Callers hold DataMutex. Nothing here logs: a write or read that does not
// finish in time simply yields fewer or no bytes.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <string_view>

#include "link/serial_port.h"
#include "link/ups_link.h"

namespace gw::link {

inline constexpr std::chrono::milliseconds kComWriteLimit{2000};
inline constexpr std::chrono::milliseconds kComReplyPause{500};
inline constexpr std::chrono::milliseconds kComReadTimeout{500};
inline constexpr std::chrono::milliseconds kComSettleTime{100};
inline constexpr std::size_t kComReadSize = 256;

// Opens COMn at `path` and readies the line: settings, purge, DTR raised,
// RTS dropped, then 100 ms for the UPS side to settle.
std::unique_ptr<SerialPort> OpenComPort(int port, const std::string& path, std::string& error,
                                        const SleepFor& sleep);
// The same where the port map leads COMn now.
std::unique_ptr<SerialPort> OpenComPort(int port, std::string& error, const SleepFor& sleep);

std::string ComExchangeCommand(SerialPort& port, std::string_view command, const SleepFor& sleep);

// Always has a text to store (empty when nothing came back). A device that went away is
// told in Change.Lost, with the reason.
PollResult ComPollExchange(SerialPort& port, std::string_view inquiry, const SleepFor& sleep);

}  // namespace gw::link
