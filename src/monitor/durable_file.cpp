#include "monitor/durable_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

namespace gw::monitor {

namespace {

std::string ErrnoText() { return std::strerror(errno); }

}  // namespace

bool WriteAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            if (written == 0) errno = ENOSPC;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

void SyncFolderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

std::string LinkTarget(const std::string& path) {
    std::string target = path;
    // As many links as the kernel follows in one path; a loop is left to fail on its own.
    for (int hop = 0; hop < 40; ++hop) {
        struct stat info {};
        if (::lstat(target.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return target;
        char buffer[PATH_MAX];
        const ssize_t length = ::readlink(target.c_str(), buffer, sizeof buffer);
        if (length <= 0 || static_cast<std::size_t>(length) >= sizeof buffer) return target;
        const std::string next(buffer, static_cast<std::size_t>(length));
        const std::size_t slash = target.rfind('/');
        target = next.front() == '/' || slash == std::string::npos
                     ? next
                     : target.substr(0, slash + 1) + next;
    }
    return path;
}

bool WriteFileDurably(const std::string& link, std::string_view bytes, mode_t mode,
                      std::string& error) {
    // A rename over a link would put a file in the link's place and leave its file stale.
    const std::string path = LinkTarget(link);
    std::string temp = path + ".XXXXXX";
    // mkstemp makes the file 0600: nothing written is readable by others before the chmod.
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) {
        error = ErrnoText();
        return false;
    }
    const bool written = WriteAll(fd, bytes) && ::fchmod(fd, mode) == 0 && ::fsync(fd) == 0;
    if (!written) error = ErrnoText();
    // A failed close may report a write the kernel could not complete.
    if (::close(fd) != 0 && written) error = ErrnoText();
    if (!error.empty() || ::rename(temp.c_str(), path.c_str()) != 0) {
        if (error.empty()) error = ErrnoText();
        ::unlink(temp.c_str());
        return false;
    }
    // The rename itself is durable only once the folder is synced.
    SyncFolderOf(path);
    return true;
}

std::optional<std::string> ReadWholeFile(const std::string& path, std::string& error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = errno == ENOENT ? "missing" : ErrnoText();
        return std::nullopt;
    }
    std::string bytes;
    char buffer[8192];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            error = ErrnoText();
            ::close(fd);
            return std::nullopt;
        }
        if (got == 0) break;
        bytes.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(fd);
    return bytes;
}

}  // namespace gw::monitor
