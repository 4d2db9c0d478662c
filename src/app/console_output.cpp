#include "app/console_output.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace gw::app {

ConsoleOutput::ConsoleOutput(int fd) : fd_(fd) {
    struct stat st {};
    if (::fstat(fd_, &st) != 0) return;  // closed: the first write says so
    if (S_ISSOCK(st.st_mode)) {
        way_ = Way::Send;
    } else if (S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode)) {
        // A regular file is never opened again: a new description would start writing at its
        // beginning, over what is there.
        const std::string self = "/proc/self/fd/" + std::to_string(fd_);
        own_fd_ = ::open(self.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        way_ = own_fd_ >= 0 ? Way::PrivateCopy : Way::PollFirst;
    }
}

ConsoleOutput::~ConsoleOutput() {
    Push(rest_);
    if (rest_.empty() && unreported_ > 0) {
        std::string note = kOutputDroppedLead + std::to_string(unreported_) + kOutputDroppedTail;
        note += '\n';
        Push(note);
    }
    if (own_fd_ >= 0) ::close(own_fd_);
}

void ConsoleOutput::WriteLine(std::string_view line) {
    Push(rest_);
    if (!rest_.empty() || broken_) {
        ++unreported_;
        ++dropped_total_;
        return;
    }
    std::string bytes;
    if (unreported_ > 0) {
        bytes = kOutputDroppedLead + std::to_string(unreported_) + kOutputDroppedTail;
        bytes += '\n';
    }
    bytes += line;
    bytes += '\n';
    const std::size_t size = bytes.size();
    Push(bytes);
    if (broken_ || bytes.size() == size) {
        // Nothing went, not even the start of the note: it is still owed, with one more.
        ++unreported_;
        ++dropped_total_;
        return;
    }
    unreported_ = 0;
    rest_ = std::move(bytes);
}

void ConsoleOutput::Push(std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size() && !broken_) {
        const std::size_t n = WriteSome(bytes.data() + done, bytes.size() - done);
        if (n == 0) break;
        done += n;
    }
    if (broken_) done = bytes.size();
    bytes.erase(0, done);
}

std::size_t ConsoleOutput::WriteSome(const char* data, std::size_t size) {
    for (;;) {
        ssize_t n = -1;
        switch (way_) {
            case Way::Send:
                n = ::send(fd_, data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
                break;
            case Way::PrivateCopy:
                n = ::write(own_fd_, data, size);
                break;
            case Way::PollFirst: {
                // Room for one pipe page at least takes a write of up to PIPE_BUF at once.
                pollfd p{fd_, POLLOUT, 0};
                if (::poll(&p, 1, 0) < 0 && errno == EINTR) continue;
                if ((p.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
                    broken_ = true;
                    return 0;
                }
                if ((p.revents & POLLOUT) == 0) return 0;
                n = ::write(fd_, data, std::min<std::size_t>(size, PIPE_BUF));
                break;
            }
            case Way::Plain:
                n = ::write(fd_, data, size);
                break;
        }
        if (n > 0) return static_cast<std::size_t>(n);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
        // The reader has gone (EPIPE), or the descriptor is of no use: nobody can read more.
        broken_ = true;
        return 0;
    }
}

}  // namespace gw::app
