#include "app/instance_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace gw::app {

std::string RuntimeDir() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] == '/') return runtime;
    std::string dir = "/tmp/gridwarden-" + std::to_string(getuid());
    mkdir(dir.c_str(), 0700);
    return dir;
}

NamedLock& NamedLock::operator=(NamedLock&& other) noexcept {
    if (this != &other) {
        Release();
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

NamedLock::Outcome NamedLock::Take(const std::string& dir, const std::string& name,
                                   std::string& error) {
    Release();
    const std::string path = dir + "/" + name + ".lock";
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        error = path + ": " + std::strerror(errno);
        return Outcome::Failed;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int why = errno;
        close(fd);
        if (why == EWOULDBLOCK) return Outcome::HeldElsewhere;
        error = path + ": " + std::strerror(why);
        return Outcome::Failed;
    }
    fd_ = fd;
    return Outcome::Taken;
}

void NamedLock::Release() {
    if (fd_ < 0) return;
    close(fd_);  // drops the flock; the file stays for the next copy
    fd_ = -1;
}

void InstanceLocks::Take(const std::string& dir) {
    AnotherCopyRuns = false;
    Problem.clear();
    std::string error;
    for (auto [lock, name] : {std::pair{&Instance, kInstanceLockName}, {&Data, kDataLockName}}) {
        switch (lock->Take(dir, name, error)) {
            case NamedLock::Outcome::Taken:
                break;
            case NamedLock::Outcome::HeldElsewhere:
                AnotherCopyRuns = true;
                Release();
                return;
            case NamedLock::Outcome::Failed:
                if (Problem.empty()) Problem = error;
                break;
        }
    }
}

void InstanceLocks::Release() {
    Instance.Release();
    Data.Release();
}

}  // namespace gw::app
