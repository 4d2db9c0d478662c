// One copy of the program per user: two named locks, held from start-up to the close sequence.
//
// A lock is a file in $XDG_RUNTIME_DIR named after the lock, held with flock(): the kernel drops
// it when the process ends however it ends, so a crash never leaves a stale lock behind.
//
// Thread rule: main thread only.
#pragma once

#include <string>

namespace gw::app {

inline constexpr const char* kInstanceLockName = "GWDNMutex";
inline constexpr const char* kDataLockName = "DataGWDNMutex";
// Where the system service keeps its locks; the folder systemd makes for it.
inline constexpr const char* kServiceLockDir = "/run/gridwarden";

// $XDG_RUNTIME_DIR, else a private folder /tmp/gridwarden-<uid> (made 0700 when missing).
std::string RuntimeDir();

// Whether a process holds <dir>/<name>.lock now. Found in the kernel's lock table without opening
// the file: a lock file another user can open is one a stranger can hold to keep its owner from
// starting.
bool LockHeld(const std::string& dir, const std::string& name);

class NamedLock {
public:
    NamedLock() = default;
    NamedLock(NamedLock&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    NamedLock& operator=(NamedLock&& other) noexcept;
    NamedLock(const NamedLock&) = delete;
    NamedLock& operator=(const NamedLock&) = delete;
    ~NamedLock() { Release(); }

    enum class Outcome { Taken, HeldElsewhere, Failed };
    // Takes <dir>/<name>.lock without waiting. On Failed, `error` says why.
    Outcome Take(const std::string& dir, const std::string& name, std::string& error);
    void Release();
    bool Held() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

// Both locks of the program, taken in order. `AnotherCopyRuns` means this copy must end,
// silently. A lock that cannot be made for another reason (no runtime folder) does not stop
// the program: a protector that refuses to start protects nothing.
struct InstanceLocks {
    NamedLock Instance;
    NamedLock Data;
    bool AnotherCopyRuns = false;
    std::string Problem;  // why the locks could not be made; empty otherwise

    void Take(const std::string& dir);
    void Release();  // the instance lock first, then the data lock
};

}  // namespace gw::app
