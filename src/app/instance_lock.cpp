#include "app/instance_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace gw::app {

std::string RuntimeDir() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] == '/') return runtime;
    std::string dir = "/tmp/gridwarden-" + std::to_string(getuid());
    mkdir(dir.c_str(), 0700);
    return dir;
}

bool LockHeld(const std::string& dir, const std::string& name) {
    struct stat info {};
    if (::stat((dir + "/" + name + ".lock").c_str(), &info) != 0) return false;
    // "1: FLOCK  ADVISORY  WRITE 1234 08:01:5678 0 EOF": the device in hex, the inode in decimal.
    std::ifstream table("/proc/locks");
    std::string line;
    while (std::getline(table, line)) {
        std::istringstream words(line);
        std::string word;
        while (words >> word) {
            unsigned major_number = 0, minor_number = 0;
            unsigned long long inode = 0;
            char end = 0;
            if (std::sscanf(word.c_str(), "%x:%x:%llu%c", &major_number, &minor_number, &inode,
                            &end) != 3) {
                continue;
            }
            if (major_number == major(info.st_dev) && minor_number == minor(info.st_dev) &&
                inode == info.st_ino) {
                return true;
            }
        }
    }
    return false;
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
