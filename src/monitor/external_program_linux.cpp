#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <thread>
#include <utility>

#include "monitor/external_program.h"

namespace gw::monitor {
namespace {

constexpr int kLowestPriority = 19;

// What a child that failed before exec writes back through the error pipe.
enum class ChildStage : int { Folder = 1, Exec = 2 };
struct ChildFailure {
    ChildStage Stage;
    int Errno;
};

std::string ErrnoText(int error) { return std::strerror(error); }

void CloseIfOpen(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

// A descriptor at 3 or above, close-on-exec: the child's own 0..2 are then never in the way,
// even when ours were closed.
int HighCloexec(int fd) {
    if (fd < 0) return fd;
    const int high = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    ::close(fd);
    return high;
}

int OpenPidfd(pid_t pid) {
#ifdef SYS_pidfd_open
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    errno = ENOSYS;
    return -1;
#endif
}

bool WriteAll(int fd, const void* data, std::size_t size) {
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd, bytes, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// Between fork and exec in a threaded process only async-signal-safe calls are allowed: all the
// strings were made by the parent.
[[noreturn]] void RunChild(const char* exec_path, char* const argv[], const char* folder,
                           int null_fd, int error_fd, int max_fd) {
    // Signals we ignore or block would stay ignored or blocked across exec.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; ++sig) sigaction(sig, &default_action, nullptr);

    ::setsid();
    ::setpriority(PRIO_PROCESS, 0, kLowestPriority);

    ::dup2(null_fd, STDIN_FILENO);
    if (error_fd != 3) ::dup2(error_fd, 3);
    ::fcntl(3, F_SETFD, FD_CLOEXEC);
#ifdef SYS_close_range
    if (::syscall(SYS_close_range, 4u, ~0u, 0u) != 0)
#endif
    {
        for (int fd = 4; fd <= max_fd; ++fd) ::close(fd);
    }

    ChildFailure failure{ChildStage::Folder, 0};
    if (::chdir(folder) != 0) {
        failure.Errno = errno;
    } else {
        ::execv(exec_path, argv);
        failure = {ChildStage::Exec, errno};
    }
    WriteAll(3, &failure, sizeof failure);
    ::_exit(127);
}

// What the waiter and the tasks it posts share with the owner.
struct Watch {
    bool Stopped = false;  // main thread only: the owner is gone, drop the end
};

class LinuxRunningProgram final : public RunningProgram {
public:
    LinuxRunningProgram(pid_t pid, int pidfd, int cancel_read, int cancel_write,
                        ProgramEndHandler on_end, link::MainLoop& loop)
        : pid_(pid), pidfd_(pidfd), cancel_read_(cancel_read), cancel_write_(cancel_write) {
        waiter_ = std::thread(
            [pid, pidfd, cancel_read, watch = watch_, on_end = std::move(on_end), &loop] {
                ProgramEnd end;
                if (!WaitForEnd(pid, pidfd, cancel_read, end)) return;
                loop.Post([watch, on_end, end] {
                    if (!watch->Stopped) on_end(end);
                });
            });
    }

    ~LinuxRunningProgram() override {
        watch_->Stopped = true;
        const char stop = 1;
        WriteAll(cancel_write_, &stop, 1);
        if (waiter_.joinable()) waiter_.join();
        CloseIfOpen(pidfd_);
        CloseIfOpen(cancel_read_);
        CloseIfOpen(cancel_write_);
    }

    int Pid() const override { return static_cast<int>(pid_); }

private:
    // False when told to stop watching first. Reaps only `pid`.
    static bool WaitForEnd(pid_t pid, int pidfd, int cancel_read, ProgramEnd& end) {
        for (;;) {
            pollfd fds[2] = {{cancel_read, POLLIN, 0}, {pidfd, POLLIN, 0}};
            // Without a pidfd the end is looked for every 100 ms instead.
            const int ready = ::poll(fds, pidfd >= 0 ? 2 : 1, pidfd >= 0 ? -1 : 100);
            if (ready < 0 && errno != EINTR) return false;
            if (ready > 0 && fds[0].revents != 0) return false;
            if (pidfd >= 0 && (ready <= 0 || fds[1].revents == 0)) continue;

            siginfo_t info{};
            const int flags = WEXITED | (pidfd >= 0 ? 0 : WNOHANG);
            if (::waitid(P_PID, static_cast<id_t>(pid), &info, flags) != 0) {
                if (errno == EINTR) continue;
                end = ProgramEnd{};  // reaped elsewhere
                return true;
            }
            if (info.si_pid == 0) continue;  // still running
            end.Known = true;
            if (info.si_code == CLD_EXITED) {
                end.ExitCode = info.si_status;
            } else {
                end.Signal = info.si_status;
            }
            return true;
        }
    }

    pid_t pid_;
    int pidfd_;
    int cancel_read_;
    int cancel_write_;
    std::shared_ptr<Watch> watch_ = std::make_shared<Watch>();
    std::thread waiter_;
};

class LinuxProgramLauncher final : public ProgramLauncher {
public:
    explicit LinuxProgramLauncher(link::MainLoop& loop) : loop_(loop) {}
    std::unique_ptr<RunningProgram> Start(const std::string& path, ProgramEndHandler on_end,
                                          std::string& error) override {
        return StartExternalProgram(path, std::move(on_end), loop_, error);
    }

private:
    link::MainLoop& loop_;
};

}  // namespace

std::unique_ptr<RunningProgram> StartExternalProgram(const std::string& path,
                                                     ProgramEndHandler on_end, link::MainLoop& loop,
                                                     std::string& error) {
    if (path.empty()) {
        error = ErrnoText(ENOENT);
        return nullptr;
    }
    // The child changes its folder before exec, so a relative path is made absolute against
    // ours first; its folder part is then the same folder as the given one.
    std::string exec_path = path;
    if (path.front() != '/') {
        char cwd[PATH_MAX];
        if (::getcwd(cwd, sizeof cwd) != nullptr) exec_path = std::string(cwd) + "/" + path;
    }
    const auto slash = exec_path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : exec_path.substr(0, slash + 1);

    std::string argv0 = path;
    char* argv[] = {argv0.data(), nullptr};

    rlimit files{};
    const int max_fd = ::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY &&
                               files.rlim_cur < 65536
                           ? static_cast<int>(files.rlim_cur)
                           : 65536;

    int null_fd = HighCloexec(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    int error_pipe[2] = {-1, -1};
    int cancel_pipe[2] = {-1, -1};
    if (null_fd < 0 || ::pipe2(error_pipe, O_CLOEXEC) != 0 ||
        ::pipe2(cancel_pipe, O_CLOEXEC) != 0) {
        error = ErrnoText(errno);
        for (int* fd : {&null_fd, &error_pipe[0], &error_pipe[1], &cancel_pipe[0], &cancel_pipe[1]})
            CloseIfOpen(*fd);
        return nullptr;
    }
    error_pipe[1] = HighCloexec(error_pipe[1]);

    const pid_t pid = error_pipe[1] < 0 ? -1 : ::fork();
    if (pid == 0) {
        RunChild(exec_path.c_str(), argv, folder.c_str(), null_fd, error_pipe[1], max_fd);
    }
    const int fork_errno = errno;
    CloseIfOpen(null_fd);
    CloseIfOpen(error_pipe[1]);
    if (pid < 0) {
        error = ErrnoText(fork_errno);
        for (int* fd : {&error_pipe[0], &cancel_pipe[0], &cancel_pipe[1]}) CloseIfOpen(*fd);
        return nullptr;
    }
    // Opened before anything can reap the child, so it names our child and no later process.
    const int pidfd = OpenPidfd(pid);

    // Closed by a successful exec; otherwise the child's reason arrives before its end.
    ChildFailure failure{};
    ssize_t got;
    do {
        got = ::read(error_pipe[0], &failure, sizeof failure);
    } while (got < 0 && errno == EINTR);
    CloseIfOpen(error_pipe[0]);

    if (got == static_cast<ssize_t>(sizeof failure)) {
        while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        int unused = pidfd;
        CloseIfOpen(unused);
        CloseIfOpen(cancel_pipe[0]);
        CloseIfOpen(cancel_pipe[1]);
        error = failure.Stage == ChildStage::Folder
                    ? "working folder " + folder + ": " + ErrnoText(failure.Errno)
                    : ErrnoText(failure.Errno);
        return nullptr;
    }
    return std::make_unique<LinuxRunningProgram>(pid, pidfd, cancel_pipe[0], cancel_pipe[1],
                                                 std::move(on_end), loop);
}

std::unique_ptr<ProgramLauncher> MakeProgramLauncher(link::MainLoop& loop) {
    return std::make_unique<LinuxProgramLauncher>(loop);
}

}  // namespace gw::monitor
