// SerialPort over termios, and the checks that keep it off other programs' ports.
#include <fcntl.h>
#include <linux/magic.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>
#include <utility>

#include "link/serial_port.h"
#include "link/serial_port_locks.h"

namespace gw::link {

namespace {

using Clock = std::chrono::steady_clock;

// The line speed OpenSerialPort sets, for how long queued bytes take to go out.
constexpr int kBitsPerSecond = 2400;
constexpr int kBitsPerByte = 10;

std::string ErrnoText(int error) { return std::strerror(error); }

int RemainingMs(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// The errors of a device that is no longer there; others (EAGAIN, a full queue) pass.
bool DeviceGone(int error) { return error == EIO || error == ENXIO || error == ENODEV; }

class TermiosPort final : public SerialPort {
public:
    // `path` is what the port was opened by (the COMn link), `device` what it led to. `pty`:
    // the line is a pseudo-terminal.
    TermiosPort(int fd, const termios& found, std::string path, dev_t device, bool pty,
                UucpLock lock)
        : fd_(fd),
          found_(found),
          path_(std::move(path)),
          device_(device),
          pty_(pty),
          lock_(std::move(lock)) {}
    ~TermiosPort() override {
        // As found: the next program, or the next scan, meets the port unchanged.
        ::tcsetattr(fd_, TCSANOW, &found_);
        ::ioctl(fd_, TIOCNXCL);
        ::close(fd_);
    }

    // Takes the line for us: exclusive, 2400 8N1, raw. Other settings (flow control among
    // them) stay as found.
    bool TakeOver(std::string& error) {
        // No sharing: a second reader would steal half of every reply. Exclusive mode keeps
        // out even programs that honour no lock, but the kernel ends it at the last close only
        // for a real port: on a pseudo-terminal it would outlive us if we crashed and keep the
        // restarted monitor out. There the flock and the lock file, which die with us, must do;
        // a mode left by a holder that died is cleared.
        ::ioctl(fd_, pty_ ? TIOCNXCL : TIOCEXCL);
        termios settings = found_;
        ::cfmakeraw(&settings);
        settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB);
        settings.c_cflag |= CS8 | CLOCAL | CREAD;
        settings.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
        settings.c_cc[VMIN] = 0;
        settings.c_cc[VTIME] = 0;
        if (::cfsetispeed(&settings, B2400) != 0 || ::cfsetospeed(&settings, B2400) != 0 ||
            ::tcsetattr(fd_, TCSANOW, &settings) != 0) {
            error = ErrnoText(errno);
            return false;
        }
        return true;
    }

    IoResult Write(std::string_view bytes, std::chrono::milliseconds limit) override {
        IoResult result;
        const auto deadline = Clock::now() + limit;
        while (result.Count < bytes.size()) {
            const ssize_t n =
                ::write(fd_, bytes.data() + result.Count, bytes.size() - result.Count);
            if (n > 0) {
                result.Count += static_cast<std::size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno != EAGAIN) {
                result.Gone = DeviceGone(errno);
                result.Error = ErrnoText(errno);
                return result;
            }
            if (!WaitFor(POLLOUT, deadline, result)) {
                if (result.Error.empty()) DropUnsent();
                return result;
            }
        }
        if (!Drained(deadline)) {
            DropUnsent();
            return result;
        }
        result.Completed = true;
        return result;
    }

    IoResult Read(std::size_t max, std::chrono::milliseconds limit) override {
        IoResult result;
        const auto deadline = Clock::now() + limit;
        char buffer[256];
        while (result.Bytes.size() < max) {
            const std::size_t want = std::min(sizeof buffer, max - result.Bytes.size());
            const ssize_t n = ::read(fd_, buffer, want);
            if (n > 0) {
                result.Bytes.append(buffer, static_cast<std::size_t>(n));
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            // With no minimum byte count a terminal read returns 0, not
            // EAGAIN, when nothing has arrived yet.
            if (n < 0 && errno != EAGAIN) {
                // EIO: the other end went away (a pty closed, an adapter
                // unplugged). Nothing more will come; do not spin on it.
                result.Gone = DeviceGone(errno);
                result.Error = ErrnoText(errno);
                break;
            }
            if (!WaitFor(POLLIN, deadline, result)) break;
        }
        // Silence may mean the port now leads to another device (an adapter that came back
        // under another name): only then is it worth a look.
        if (result.Bytes.empty() && result.Error.empty()) CheckPath(result);
        result.Count = result.Bytes.size();
        result.Completed = result.Count == max;
        return result;
    }

    bool Purge(std::string& error) override {
        if (::tcflush(fd_, TCIOFLUSH) == 0) return true;
        error = ErrnoText(errno);
        return false;
    }

    bool SetDtr(bool on, std::string& error) override { return SetLine(TIOCM_DTR, on, error); }
    bool SetRts(bool on, std::string& error) override { return SetLine(TIOCM_RTS, on, error); }

private:
    void CheckPath(IoResult& result) const {
        struct stat st {};
        if (::stat(path_.c_str(), &st) != 0) {
            result.Gone = true;
            result.Error = "the port leads nowhere now";
        } else if (!S_ISCHR(st.st_mode) || st.st_rdev != device_) {
            result.Gone = true;
            result.Error = "the port leads to another device now";
        }
    }

    // False when the deadline passed or the line failed, with `result` told.
    bool WaitFor(short events, Clock::time_point deadline, IoResult& result) {
        for (;;) {
            const int wait = RemainingMs(deadline);
            if (wait == 0) return false;
            pollfd pfd{fd_, events, 0};
            const int ready = ::poll(&pfd, 1, wait);
            if (ready < 0 && errno == EINTR) continue;
            if (ready < 0) {
                result.Error = ErrnoText(errno);
                return false;
            }
            if (ready == 0) return false;
            // A hang-up may come with "readable" set while reads give
            // nothing: check it first, or the caller would spin.
            if ((pfd.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
                result.Gone = true;
                result.Error = (pfd.revents & POLLHUP) != 0 ? "hang-up" : ErrnoText(EIO);
                return false;
            }
            if ((pfd.revents & events) != 0) return true;
        }
    }

    // write() only hands the bytes to the driver; with the handshake held off they stay in
    // its queue. The command is sent once the queue is empty. Nothing tells us when it
    // empties, so wait as long as the queued bytes take at line speed and look again.
    bool Drained(Clock::time_point deadline) {
        for (;;) {
            int queued = 0;
            if (::ioctl(fd_, TIOCOUTQ, &queued) != 0 || queued <= 0) return true;
            const int wait = RemainingMs(deadline);
            if (wait == 0) return false;
            const int line_time = queued * kBitsPerByte * 1000 / kBitsPerSecond + 1;
            ::poll(nullptr, 0, std::min(wait, line_time));
        }
    }

    // Left queued, the rest of a stalled command would go out ahead of the next one.
    void DropUnsent() { ::tcflush(fd_, TCOFLUSH); }

    bool SetLine(int line, bool on, std::string& error) {
        if (::ioctl(fd_, on ? TIOCMBIS : TIOCMBIC, &line) == 0) return true;
        // A pseudo-terminal or a bare adapter has no modem lines to set.
        if (errno == ENOTTY || errno == EINVAL) return true;
        error = ErrnoText(errno);
        return false;
    }

    int fd_;
    termios found_;
    std::string path_;
    dev_t device_;
    bool pty_;
    UucpLock lock_;  // released after the descriptor is closed
};

// Closes a descriptor unless it was handed on.
class OwnedFd {
public:
    explicit OwnedFd(int fd) : fd_(fd) {}
    ~OwnedFd() {
        if (fd_ >= 0) ::close(fd_);
    }
    OwnedFd(const OwnedFd&) = delete;
    OwnedFd& operator=(const OwnedFd&) = delete;
    int Get() const { return fd_; }
    int Release() { return std::exchange(fd_, -1); }

private:
    int fd_;
};

std::string Refused(const char* why, const std::string& detail) {
    return std::string(why) + " (" + detail + ")";
}

}  // namespace

std::unique_ptr<SerialPort> OpenSerialPort(const std::string& path, std::string& error,
                                           const std::string& lock_dir, const SystemRoots& roots) {
    // Lock files and other programs name the device, not our COMn link to it.
    std::error_code ec;
    const std::string device = std::filesystem::canonical(path, ec).string();
    if (ec) {
        error = ec.message();
        return nullptr;
    }
    // Before opening: opening a serial port raises its modem lines, which resets some boards.
    if (const auto lock = LiveLock(device, lock_dir)) {
        error = Refused(kPortLocked, *lock);
        return nullptr;
    }
    // A console takes the kernel's messages and a getty's login, a controlling terminal is
    // somebody's session: our inquiries would land in either. Both are shown to every user,
    // unlike the open descriptors looked at below, which an unprivileged user sees only for
    // their own processes.
    struct stat named {};
    if (::stat(device.c_str(), &named) == 0 && S_ISCHR(named.st_mode)) {
        if (const auto owner = TerminalOwner(named.st_rdev, roots)) {
            error = Refused(kPortInUse, *owner);
            return nullptr;
        }
    }
    OwnedFd fd(::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (fd.Get() < 0) {
        error = errno == EBUSY ? Refused(kPortExclusive, ErrnoText(errno)) : ErrnoText(errno);
        return nullptr;
    }
    if (!::isatty(fd.Get())) {
        error = ErrnoText(ENOTTY);
        return nullptr;
    }
    struct stat st {};
    struct statfs fs {};
    if (::fstat(fd.Get(), &st) != 0) {
        error = ErrnoText(errno);
        return nullptr;
    }
    const bool pty = ::fstatfs(fd.Get(), &fs) == 0 && fs.f_type == DEVPTS_SUPER_MAGIC;
    // A privileged user opens a port in exclusive mode all the same; ask the terminal. On a
    // real port the mode ends with its holder's last close, so it always means a live holder;
    // a pseudo-terminal keeps it after its holder died (a crashed monitor), and nobody else
    // having it open shows that.
    int exclusive = 0;
    if (::ioctl(fd.Get(), TIOCGEXCL, &exclusive) == 0 && exclusive != 0) {
        const std::optional<std::string> holder =
            pty ? OtherHolder(st, pty, roots.Proc) : "TIOCEXCL";
        if (holder) {
            error = Refused(kPortExclusive, *holder);
            return nullptr;
        }
    }
    if (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) {
        error = errno == EWOULDBLOCK ? Refused(kPortLocked, "flock") : ErrnoText(errno);
        return nullptr;
    }
    // Only now, with the device itself to compare: a holder already has its lines up, so our
    // opening changed nothing for it, and closing again without a word leaves it as it was.
    if (const auto holder = OtherHolder(st, pty, roots.Proc)) {
        error = Refused(kPortInUse, *holder);
        return nullptr;
    }
    // For programs that go by lock files; one that took it since our look above wins.
    std::string held_by;
    std::optional<UucpLock> lock = UucpLock::Take(device, lock_dir, held_by);
    if (!lock) {
        error = Refused(kPortLocked, held_by);
        return nullptr;
    }
    termios found{};
    if (::tcgetattr(fd.Get(), &found) != 0) {
        error = ErrnoText(errno);
        return nullptr;
    }
    auto port =
        std::make_unique<TermiosPort>(fd.Release(), found, path, st.st_rdev, pty, std::move(*lock));
    if (!port->TakeOver(error)) return nullptr;
    return port;
}

}  // namespace gw::link
