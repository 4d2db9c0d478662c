// What every entry point sets up first: a process that a closed pipe cannot end, with its
// standard descriptors open and every file it may have.
#include "app/process_setup.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <climits>
#include <string>

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

}  // namespace
}  // namespace gw::app
