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
    std::string Bytes;       // what was read (empty for writes)
    std::size_t Count = 0;   // bytes moved
    bool Completed = false;  // the whole request finished within the limit
    std::string Error;       // set when the line reported a failure
    // The device is gone: unplugged, reset, hung up, or the path it was opened by now leads
    // elsewhere or nowhere. Nothing more will come through this handle; open the path anew.
    bool Gone = false;
};

// A port is opened only to find a UPS, and a modem, a serial console or a
// microcontroller board may sit on any of them: it must come back from us as
// it was. So closing puts back the line settings found at opening and ends
// the exclusive use.
class SerialPort {
public:
    virtual ~SerialPort() = default;
    // A write that runs out of time drops what is still queued for the line:
    // it would otherwise go out ahead of the next command.
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

// Where programs announce a serial line they use, by a file LCK..<device name>
// holding their process id.
inline constexpr char kUucpLockDir[] = "/var/lock";

// Where the kernel shows which terminals are consoles, which process has which controlling
// terminal and which descriptors are open; tests point these at a tree of their own.
struct SystemRoots {
    std::string Proc = "/proc";
    std::string Sys = "/sys";
};

// Why a port that another program has is refused; details follow in brackets.
// clang-format off
inline constexpr char kPortInUse[]     = "in use by another program";
inline constexpr char kPortLocked[]    = "locked by another program";
inline constexpr char kPortExclusive[] = "in exclusive use by another program";
// clang-format on

// Opens the device at `path` (a link is followed to the device) for
// exclusive use and sets 2400 baud, 8 data bits, no parity, one stop bit,
// raw bytes. Null with `error` filled when the path does not exist, is no
// terminal, is not permitted, or another program has it: open, locked
// (flock, or a lock file in `lock_dir` naming a live process or that we may
// not read), in exclusive mode, a console of the system or some process's
// controlling terminal. A refused port is left exactly as it was: nothing is
// written and its settings are not touched.
//
// Our use is announced the same ways, all ending with our process: the flock,
// a lock file in `lock_dir` where that folder exists (files left by programs
// that ended are removed), and exclusive mode on a real port only. A
// pseudo-terminal left in exclusive mode by a holder that ended is taken.
std::unique_ptr<SerialPort> OpenSerialPort(const std::string& path, std::string& error,
                                           const std::string& lock_dir = kUucpLockDir,
                                           const SystemRoots& roots = {});

}  // namespace gw::link
