// SerialPort over termios.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "link/serial_port.h"

namespace gw::link {

namespace {

using Clock = std::chrono::steady_clock;

std::string ErrnoText(int error) { return std::strerror(error); }

int RemainingMs(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

class TermiosPort final : public SerialPort {
public:
    explicit TermiosPort(int fd) : fd_(fd) {}
    ~TermiosPort() override { ::close(fd_); }

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
                result.Error = ErrnoText(errno);
                return result;
            }
            if (!WaitFor(POLLOUT, deadline, result)) return result;
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
                result.Error = ErrnoText(errno);
                break;
            }
            if (!WaitFor(POLLIN, deadline, result)) break;
        }
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
                result.Error = ErrnoText(EIO);
                return false;
            }
            if ((pfd.revents & events) != 0) return true;
        }
    }

    bool SetLine(int line, bool on, std::string& error) {
        if (::ioctl(fd_, on ? TIOCMBIS : TIOCMBIC, &line) == 0) return true;
        // A pseudo-terminal or a bare adapter has no modem lines to set.
        if (errno == ENOTTY || errno == EINVAL) return true;
        error = ErrnoText(errno);
        return false;
    }

    int fd_;
};

}  // namespace

std::unique_ptr<SerialPort> OpenSerialPort(const std::string& path, std::string& error) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = ErrnoText(errno);
        return nullptr;
    }
    auto fail = [&](int code) {
        error = ErrnoText(code);
        ::close(fd);
        return nullptr;
    };
    if (!::isatty(fd)) return fail(ENOTTY);
    // No sharing: a second reader would steal half of every reply.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) return fail(errno == EWOULDBLOCK ? EBUSY : errno);
    ::ioctl(fd, TIOCEXCL);

    termios settings{};
    if (::tcgetattr(fd, &settings) != 0) return fail(errno);
    ::cfmakeraw(&settings);
    settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB);
    settings.c_cflag |= CS8 | CLOCAL | CREAD;
    settings.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 0;
    if (::cfsetispeed(&settings, B2400) != 0 || ::cfsetospeed(&settings, B2400) != 0) {
        return fail(errno);
    }
    if (::tcsetattr(fd, TCSANOW, &settings) != 0) return fail(errno);
    return std::make_unique<TermiosPort>(fd);
}

}  // namespace gw::link
