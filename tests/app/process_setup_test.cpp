// What every entry point sets up first: a process that a closed pipe cannot end, with its
// standard descriptors open and every file it may have.
#include "app/process_setup.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

#include "monitor/journal_file.h"

namespace gw::app {
namespace {

std::string Target(int fd) {
    char path[PATH_MAX] = {};
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t length = ::readlink(link.c_str(), path, sizeof path - 1);
    return length > 0 ? std::string(path, static_cast<std::size_t>(length)) : "";
}

TEST(PrepareProcess, IgnoresSigpipeOpensClosedStandardInputAndRaisesTheFileLimit) {
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit low = saved;
    low.rlim_cur = 64;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
    const int saved_stdin = ::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3);
    ASSERT_GE(saved_stdin, 0);
    ::close(STDIN_FILENO);

    PrepareProcess();

    const std::string stdin_target = Target(STDIN_FILENO);
    ::dup2(saved_stdin, STDIN_FILENO);
    ::close(saved_stdin);
    rlimit now{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &now), 0);
    ::setrlimit(RLIMIT_NOFILE, &saved);
    struct sigaction pipe_action {};
    ::sigaction(SIGPIPE, nullptr, &pipe_action);
    ::signal(SIGPIPE, SIG_DFL);

    EXPECT_EQ(stdin_target, "/dev/null") << "the next file opened would have taken it";
    EXPECT_EQ(now.rlim_cur, saved.rlim_max);
    EXPECT_EQ(pipe_action.sa_handler, SIG_IGN);
}

// Under a file-size limit (prlimit --fsize, a unit's LimitFSIZE) the write past it would end
// the process with SIGXFSZ; it must fail like a full disk instead, in the middle of a countdown
// above all. A child process, so that the limit and the signal stay out of the test binary.
TEST(PrepareProcess, AWritePastTheFileSizeLimitFailsLikeAFullDisk) {
    char dir_template[] = "/tmp/gw-fsize-XXXXXX";
    ASSERT_NE(::mkdtemp(dir_template), nullptr);
    const std::string dir = dir_template;
    enum Outcome { kWroteEverything = 10, kFailedWithEfbig, kFailedOtherwise };

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::signal(SIGXFSZ, SIG_DFL);
        PrepareProcess();
        const rlimit limit{100, 100};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        monitor::JournalFile journal;
        std::string error;
        if (!journal.Open(dir, error)) ::_exit(kFailedOtherwise);
        for (int i = 0; i < 10; ++i) {
            if (!journal.Append("2026-12-09 18:00:0" + std::to_string(i) + " Power Fail", error)) {
                ::_exit(error.find(std::strerror(EFBIG)) != std::string::npos ? kFailedWithEfbig
                                                                              : kFailedOtherwise);
            }
        }
        ::_exit(kWroteEverything);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    std::remove((dir + "/journal.log").c_str());
    ::rmdir(dir.c_str());
    ASSERT_FALSE(WIFSIGNALED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), kFailedWithEfbig);
}

}  // namespace
}  // namespace gw::app
