// How programs on this machine tell each other that they use a serial line: UUCP lock files
// (LCK..<device> holding the owner's process id), open descriptors seen through /proc, and
// what the kernel shows everybody: its consoles and each process's controlling terminal.
// Internal to the serial port; any thread, no state.
#pragma once

#include <sys/stat.h>

#include <optional>
#include <string>

#include "link/serial_port.h"

namespace gw::link {

// The owner of a lock file for `device` in `lock_dir` that names a live process other than us,
// as "pid, file", or "unreadable, file" for one we may not read. Files that name nobody alive
// are left over from a program that ended.
std::optional<std::string> LiveLock(const std::string& device, const std::string& lock_dir);

// Another process with the device open, as "name, pid N", as far as /proc shows us: an
// unprivileged user sees only their own processes. Our own descriptors do not count. With
// `match_filesystem` (a pseudo-terminal) only within the device's own devpts instance, since a
// container's pts/0 has the same device number as ours.
std::optional<std::string> OtherHolder(const struct stat& device, bool match_filesystem,
                                       const std::string& proc = "/proc");

// Whose terminal the device numbered `device` is, as "the system console" or "name, pid N"
// (a process that has it as its controlling terminal, ourselves included). Unlike open
// descriptors, both are shown to every user, so this holds for an unprivileged scan too.
std::optional<std::string> TerminalOwner(dev_t device, const SystemRoots& roots);

// Our lock file for a device, removed with this while it still names us. Empty (no file) where
// the system keeps no lock files or does not let us write one: flock still guards the port.
class UucpLock {
public:
    UucpLock() = default;
    ~UucpLock();
    UucpLock(UucpLock&& other) noexcept;
    UucpLock& operator=(UucpLock&& other) noexcept;
    UucpLock(const UucpLock&) = delete;
    UucpLock& operator=(const UucpLock&) = delete;

    // Takes the lock for `device`, removing files left by programs that ended. Fails, with the
    // refusal's detail in `held_by`, only when a live program took it meanwhile.
    static std::optional<UucpLock> Take(const std::string& device, const std::string& lock_dir,
                                        std::string& held_by);

private:
    explicit UucpLock(std::string file) : file_(std::move(file)) {}
    void Release();

    std::string file_;
};

}  // namespace gw::link
