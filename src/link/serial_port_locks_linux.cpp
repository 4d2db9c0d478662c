// Lock files, /proc and /sys: the signs by which programs keep off each other's serial lines.
#include <fcntl.h>
#include <signal.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string_view>
#include <utility>
#include <vector>

#include "link/serial_port_locks.h"

namespace gw::link {

namespace {

std::optional<int> ParsePid(std::string_view text) {
    int pid = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), pid);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return pid;
}

bool Alive(int pid) { return ::kill(pid, 0) == 0 || errno == EPERM; }

std::string ProcessName(const std::string& proc, int pid) {
    std::ifstream comm(proc + "/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(comm, name);
    return name;
}

// A lock file holds the owner's process id as ASCII text (ten columns and a newline), or, from
// older programs, as four bytes in the machine's order.
std::optional<int> LockPid(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return std::nullopt;
    char buffer[64];
    in.read(buffer, sizeof buffer);
    const std::string text(buffer, static_cast<std::size_t>(in.gcount()));
    std::optional<int> pid;
    const std::size_t first = text.find_first_not_of(" \t\n");
    const std::size_t last = text.find_last_not_of(" \t\n");
    if (first != std::string::npos) {
        pid = ParsePid(std::string_view(text).substr(first, last - first + 1));
    }
    if (!pid && text.size() == sizeof(int)) {
        int binary = 0;
        std::memcpy(&binary, text.data(), sizeof binary);
        pid = binary;
    }
    if (!pid || *pid <= 0) return std::nullopt;
    return pid;
}

std::optional<int> LiveOwner(const std::string& file) {
    const std::optional<int> pid = LockPid(file);
    if (!pid || *pid == ::getpid() || !Alive(*pid)) return std::nullopt;
    return pid;
}

// Left by a program that ended. One of ours cannot be in use: the caller holds the device's
// flock, which any other handle of ours would have kept it from.
bool Stale(const std::string& file) {
    const std::optional<int> pid = LockPid(file);
    return pid && (*pid == ::getpid() || !Alive(*pid));
}

// Programs name the lock after the device's file name (LCK..ttyUSB0); for a device in a folder
// of /dev some use its path with '_' for '/' (LCK..pts_3). Both are honoured; ours is the last.
std::vector<std::string> LockFiles(const std::string& device, const std::string& lock_dir) {
    std::vector<std::string> names{std::filesystem::path(device).filename().string()};
    const std::string dev = "/dev/";
    if (device.rfind(dev, 0) == 0) {
        std::string flat = device.substr(dev.size());
        std::replace(flat.begin(), flat.end(), '/', '_');
        if (flat != names.front()) names.push_back(flat);
    }
    for (std::string& name : names) name = lock_dir + "/LCK.." + name;
    return names;
}

std::string HeldBy(int pid, const std::string& file) { return std::to_string(pid) + ", " + file; }

// Who holds a lock file. One we may not read (another user's, made under a strict umask) hides
// whether its owner lives, so it counts as held: going past it could take a live program's port.
std::optional<std::string> Holder(const std::string& file) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 && errno == EACCES) return "unreadable, " + file;
    if (fd >= 0) ::close(fd);
    if (const auto pid = LiveOwner(file)) return HeldBy(*pid, file);
    return std::nullopt;
}

std::string FirstLine(const std::string& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    return line;
}

// "major:minor", as /proc/consoles and /sys/class/tty/<name>/dev write a device's number.
std::optional<dev_t> ParseDevice(std::string_view text) {
    const std::size_t colon = text.find(':');
    unsigned major_number = 0;
    unsigned minor_number = 0;
    if (colon == std::string_view::npos) return std::nullopt;
    const char* end = text.data() + text.size();
    const auto [major_end, major_error] =
        std::from_chars(text.data(), text.data() + colon, major_number);
    const auto [minor_end, minor_error] =
        std::from_chars(text.data() + colon + 1, end, minor_number);
    if (major_error != std::errc() || minor_error != std::errc() ||
        major_end != text.data() + colon || minor_end != end) {
        return std::nullopt;
    }
    return makedev(major_number, minor_number);
}

// The consoles the kernel writes to, by /proc/consoles (its last column is the device number)
// and by the names in /sys/class/tty/console/active, which the folder beside each names.
bool IsConsole(dev_t device, const SystemRoots& roots) {
    std::ifstream consoles(roots.Proc + "/consoles");
    for (std::string line; std::getline(consoles, line);) {
        const std::size_t last = line.find_last_not_of(" \t");
        if (last == std::string::npos) continue;
        const std::size_t first = line.find_last_of(" \t", last) + 1;
        if (ParseDevice(std::string_view(line).substr(first, last - first + 1)) == device) {
            return true;
        }
    }
    std::ifstream active(roots.Sys + "/class/tty/console/active");
    for (std::string name; active >> name;) {
        if (name.find('/') != std::string::npos) continue;
        if (ParseDevice(FirstLine(roots.Sys + "/class/tty/" + name + "/dev")) == device) {
            return true;
        }
    }
    return false;
}

// A process's controlling terminal from the fields after the name in its stat line: state,
// parent, group, session, then the terminal, numbered as the kernel packs it (0: none).
std::optional<dev_t> ControllingTerminal(std::string_view fields) {
    std::istringstream in{std::string(fields)};
    std::string state;
    long long parent = 0;
    long long group = 0;
    long long session = 0;
    long long packed = 0;
    if (!(in >> state >> parent >> group >> session >> packed) || packed == 0) {
        return std::nullopt;
    }
    const auto tty = static_cast<std::uint32_t>(packed);
    return makedev((tty >> 8) & 0xfff, (tty & 0xff) | ((tty >> 12) & 0xfff00));
}

}  // namespace

std::optional<std::string> LiveLock(const std::string& device, const std::string& lock_dir) {
    for (const std::string& file : LockFiles(device, lock_dir)) {
        if (auto holder = Holder(file)) return holder;
    }
    return std::nullopt;
}

std::optional<std::string> TerminalOwner(dev_t device, const SystemRoots& roots) {
    if (IsConsole(device, roots)) return "the system console";
    namespace fs = std::filesystem;
    std::error_code ec;
    for (fs::directory_iterator proc(roots.Proc, ec), end; !ec && proc != end; proc.increment(ec)) {
        const std::optional<int> pid = ParsePid(proc->path().filename().string());
        if (!pid) continue;
        std::ifstream in(proc->path() / "stat");
        std::string stat;
        std::getline(in, stat);
        const std::size_t open = stat.find('(');
        const std::size_t close = stat.rfind(')');
        if (open == std::string::npos || close == std::string::npos || close < open) continue;
        if (ControllingTerminal(std::string_view(stat).substr(close + 1)) == device) {
            return stat.substr(open + 1, close - open - 1) + ", pid " + std::to_string(*pid);
        }
    }
    return std::nullopt;
}

std::optional<std::string> OtherHolder(const struct stat& device, bool match_filesystem,
                                       const std::string& proc_root) {
    namespace fs = std::filesystem;
    const pid_t self = ::getpid();
    std::error_code ec;
    for (fs::directory_iterator proc(proc_root, ec), end; !ec && proc != end; proc.increment(ec)) {
        const std::optional<int> pid = ParsePid(proc->path().filename().string());
        if (!pid || *pid == self) continue;
        std::error_code fd_ec;
        for (fs::directory_iterator fd(proc->path() / "fd", fd_ec); !fd_ec && fd != end;
             fd.increment(fd_ec)) {
            struct stat st {};
            if (::stat(fd->path().c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) continue;
            if (st.st_rdev != device.st_rdev) continue;
            if (match_filesystem && st.st_dev != device.st_dev) continue;
            return ProcessName(proc_root, *pid) + ", pid " + std::to_string(*pid);
        }
    }
    return std::nullopt;
}

std::optional<UucpLock> UucpLock::Take(const std::string& device, const std::string& lock_dir,
                                       std::string& held_by) {
    struct stat dir {};
    if (::stat(lock_dir.c_str(), &dir) != 0 || !S_ISDIR(dir.st_mode)) return UucpLock();
    const std::vector<std::string> files = LockFiles(device, lock_dir);
    for (const std::string& file : files) {
        if (auto holder = Holder(file)) {
            held_by = std::move(*holder);
            return std::nullopt;
        }
        if (Stale(file)) ::unlink(file.c_str());
    }
    // Written whole beside it and linked into place: the name appears complete or not at all,
    // and never replaces a file another program made meanwhile.
    const std::string& file = files.back();
    const std::string temporary = lock_dir + "/LTMP." + std::to_string(::getpid()) + "." +
                                  std::filesystem::path(file).filename().string();
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return UucpLock();
    // Readable by all whatever our umask (a service's 0077): the process id in it is there
    // for other programs to read.
    ::fchmod(fd, 0644);
    char text[16];
    const int length = std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(::getpid()));
    const bool written = ::write(fd, text, static_cast<std::size_t>(length)) == length;
    ::close(fd);
    const bool linked = written && ::link(temporary.c_str(), file.c_str()) == 0;
    const int link_error = errno;
    ::unlink(temporary.c_str());
    if (linked) return UucpLock(file);
    if (link_error == EEXIST) {
        if (auto holder = Holder(file)) {
            held_by = std::move(*holder);
            return std::nullopt;
        }
    }
    return UucpLock();
}

UucpLock::~UucpLock() { Release(); }

UucpLock::UucpLock(UucpLock&& other) noexcept : file_(std::exchange(other.file_, {})) {}

UucpLock& UucpLock::operator=(UucpLock&& other) noexcept {
    if (this != &other) {
        Release();
        file_ = std::exchange(other.file_, {});
    }
    return *this;
}

void UucpLock::Release() {
    // A file that no longer names us is another program's.
    if (!file_.empty() && LockPid(file_) == ::getpid()) ::unlink(file_.c_str());
    file_.clear();
}

}  // namespace gw::link
