// A serial line as the link needs it.
//
// Reads and writes take a total time limit and return what was moved by
// then, so a silent or vanished UPS costs at most that limit. Errors come
// back as values carrying the system's text. One thread at a time.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace gw::link {

struct IoResult {
    std::string Bytes;      // what was read (empty for writes)
    std::size_t Count = 0;  // bytes moved
    bool Completed = false;  // the whole request finished within the limit
    std::string Error;      // set when the line reported a failure
};

class SerialPort {
public:
    virtual ~SerialPort() = default;
    virtual IoResult Write(std::string_view bytes, std::chrono::milliseconds limit) = 0;
    // Returns once `max` bytes arrived, the limit passed, or the line failed.
    virtual IoResult Read(std::size_t max, std::chrono::milliseconds limit) = 0;
    // Drops whatever waits in either direction.
    virtual bool Purge(std::string& error) = 0;
    // Raises or drops DTR and RTS. Lines without modem controls (a pty, some
    // adapters) succeed: there is nothing to set.
    virtual bool SetDtr(bool on, std::string& error) = 0;
    virtual bool SetRts(bool on, std::string& error) = 0;
};

// Opens the device at `path` for exclusive use and sets 2400 baud, 8 data
// bits, no parity, one stop bit, raw bytes. Null with `error` filled when the
// path does not exist, is no terminal, is busy or not permitted.
std::unique_ptr<SerialPort> OpenSerialPort(const std::string& path, std::string& error);

}  // namespace gw::link
