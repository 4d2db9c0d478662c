#include "pty_port.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace gw::upssim {

namespace {

std::string ErrnoText(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

bool WouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK || error == EINTR; }

}  // namespace

std::unique_ptr<PtyPort> PtyPort::Open(std::string& error) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master < 0) {
        error = ErrnoText("posix_openpt");
        return nullptr;
    }
    if (grantpt(master) != 0 || unlockpt(master) != 0) {
        error = ErrnoText("grantpt/unlockpt");
        close(master);
        return nullptr;
    }
    char name[128];
    if (ptsname_r(master, name, sizeof name) != 0) {
        error = ErrnoText("ptsname");
        close(master);
        return nullptr;
    }
    termios settings{};
    if (tcgetattr(master, &settings) == 0) {
        // Raw, so that CR reaches us as CR and nothing is echoed back to the
        // client before it sets its own line settings.
        cfmakeraw(&settings);
        cfsetispeed(&settings, B2400);
        cfsetospeed(&settings, B2400);
        settings.c_cflag |= CLOCAL | CREAD;
        tcsetattr(master, TCSANOW, &settings);
    }
    return std::unique_ptr<PtyPort>(new PtyPort(master, name));
}

PtyPort::PtyPort(int master, std::string slave_path)
    : master_(master), slave_path_(std::move(slave_path)) {}

PtyPort::~PtyPort() { close(master_); }

ssize_t PtyPort::Read(char* buffer, std::size_t size, std::string& error) {
    const ssize_t n = read(master_, buffer, size);
    if (n < 0) {
        // EIO on a master means only that no client has the slave open.
        if (WouldBlock(errno) || errno == EIO) {
            return 0;
        }
        error = ErrnoText("read pty");
        return -1;
    }
    return n;
}

ssize_t PtyPort::Write(const char* data, std::size_t size, std::string& error) {
    const ssize_t n = write(master_, data, size);
    if (n < 0) {
        if (WouldBlock(errno)) {
            return 0;
        }
        error = ErrnoText("write pty");
        return -1;
    }
    return n;
}

bool PublishLink(const std::string& link, const std::string& target, std::string& error) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path path(link);
    fs::create_directories(path.parent_path(), ec);
    if (ec) {
        error = "cannot create " + path.parent_path().string() + ": " + ec.message();
        return false;
    }
    const fs::file_status status = fs::symlink_status(path, ec);
    if (fs::exists(status) && !fs::is_symlink(status)) {
        error = link + " exists and is not a symbolic link; not replacing it";
        return false;
    }
    // Made beside it and renamed over it, so a client never finds the name
    // missing or half made.
    const std::string temporary = link + ".new-" + std::to_string(getpid());
    unlink(temporary.c_str());
    if (symlink(target.c_str(), temporary.c_str()) != 0) {
        error = ErrnoText(("symlink " + temporary).c_str());
        return false;
    }
    if (rename(temporary.c_str(), link.c_str()) != 0) {
        error = ErrnoText(("rename to " + link).c_str());
        unlink(temporary.c_str());
        return false;
    }
    return true;
}

void WithdrawLink(const std::string& link, const std::string& target) {
    char buffer[4096];
    const ssize_t n = readlink(link.c_str(), buffer, sizeof buffer - 1);
    if (n >= 0 && std::string(buffer, static_cast<std::size_t>(n)) == target) {
        unlink(link.c_str());
    }
}

void OutputQueue::Append(const std::string& bytes, Clock::time_point now) {
    if (queued_.empty()) {
        next_ = std::max(next_, now);
    }
    queued_ += bytes;
    if (queued_.size() > kMaxQueued) {
        queued_.erase(0, queued_.size() - kMaxQueued);
    }
}

bool OutputQueue::Flush(PtyPort& port, Clock::time_point now, std::string& error) {
    blocked_ = false;
    while (!queued_.empty()) {
        std::size_t size = queued_.size();
        if (interval_.count() > 0) {
            if (next_ > now) {
                return true;
            }
            size = 1;
        }
        const ssize_t n = port.Write(queued_.data(), size, error);
        if (n < 0) {
            queued_.clear();
            return false;
        }
        if (n == 0) {
            blocked_ = true;  // nobody is reading; wait for room
            return true;
        }
        queued_.erase(0, static_cast<std::size_t>(n));
        if (interval_.count() > 0) {
            // Late wake-ups may catch up by one byte, never more.
            next_ = std::max(next_, now - interval_) + interval_;
        }
    }
    return true;
}

std::optional<OutputQueue::Clock::time_point> OutputQueue::NextWrite() const {
    if (queued_.empty() || blocked_ || interval_.count() == 0) {
        return std::nullopt;
    }
    return next_;
}

}  // namespace gw::upssim
