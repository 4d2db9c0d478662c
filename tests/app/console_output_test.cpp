// Standard output and error into a reader that does not read: the main thread must go on.
#include "app/console_output.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <string>
#include <vector>

namespace gw::app {
namespace {

// The kinds of descriptor standard output is found on: a pipe (`| tee`), the system journal's
// stream socket, a terminal.
enum class Kind { Pipe, Socket, Terminal };

struct Channel {
    int write_fd = -1;
    int read_fd = -1;
    ~Channel() {
        ::close(write_fd);
        ::close(read_fd);
    }
};

void Open(Kind kind, Channel& channel) {
    std::array<int, 2> fds{};
    switch (kind) {
        case Kind::Pipe:
            ASSERT_EQ(::pipe2(fds.data(), O_CLOEXEC), 0);
            channel.read_fd = fds[0];
            channel.write_fd = fds[1];
            // One page: the test fills it with little writing.
            ::fcntl(channel.write_fd, F_SETPIPE_SZ, 4096);
            break;
        case Kind::Socket:
            ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds.data()), 0);
            channel.read_fd = fds[0];
            channel.write_fd = fds[1];
            ::shutdown(channel.write_fd, SHUT_RD);
            break;
        case Kind::Terminal: {
            channel.read_fd = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
            ASSERT_GE(channel.read_fd, 0);
            ASSERT_EQ(::grantpt(channel.read_fd), 0);
            ASSERT_EQ(::unlockpt(channel.read_fd), 0);
            channel.write_fd = ::open(::ptsname(channel.read_fd), O_WRONLY | O_NOCTTY | O_CLOEXEC);
            ASSERT_GE(channel.write_fd, 0);
            termios raw{};
            ASSERT_EQ(::tcgetattr(channel.write_fd, &raw), 0);
            ::cfmakeraw(&raw);
            ASSERT_EQ(::tcsetattr(channel.write_fd, TCSANOW, &raw), 0);
            break;
        }
    }
}

std::string ReadAvailable(int fd) {
    std::string text;
    char buffer[65536];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 0) != 1 || (p.revents & POLLIN) == 0) return text;
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) return text;
        text.append(buffer, static_cast<std::size_t>(n));
    }
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        lines.push_back(text.substr(start, end - start));
    }
    EXPECT_EQ(start, text.size()) << "a torn last line";
    return lines;
}

std::string Numbered(int i) { return "line " + std::to_string(i) + std::string(90, '.'); }

TEST(ConsoleOutput, AReaderThatStallsLosesCountedWholeLinesAndNeverHoldsTheWriter) {
    for (const Kind kind : {Kind::Pipe, Kind::Socket, Kind::Terminal}) {
        SCOPED_TRACE(static_cast<int>(kind));
        Channel channel;
        Open(kind, channel);
        constexpr int kLines = 20000;  // 2 MB: far more than any of them holds
        std::string received;
        {
            ConsoleOutput output(channel.write_fd);
            // A blocking write would never return from this loop.
            for (int i = 0; i < kLines; ++i) output.WriteLine(Numbered(i));
            EXPECT_GT(output.DroppedLines(), 0u);
            EXPECT_EQ(::fcntl(channel.write_fd, F_GETFL) & O_NONBLOCK, 0)
                << "whoever shares the descriptor must still find it blocking";
            // A terminal passes output on through a kernel worker, so what it holds at a given
            // moment is not for a test to count on; the other two are exact.
            if (kind == Kind::Terminal) continue;

            // The reader wakes up: the next line that fits comes after a note of the loss.
            received = ReadAvailable(channel.read_fd);
            output.WriteLine("after");
            received += ReadAvailable(channel.read_fd);
        }
        const std::vector<std::string> lines = SplitLines(received);
        ASSERT_GE(lines.size(), 3u);
        EXPECT_EQ(lines.back(), "after");
        const std::string& note = lines[lines.size() - 2];
        const std::string lead = kOutputDroppedLead;
        ASSERT_EQ(note.rfind(lead, 0), 0u) << note;
        const unsigned long dropped = std::stoul(note.substr(lead.size()));
        EXPECT_EQ(note, lead + std::to_string(dropped) + kOutputDroppedTail);
        // Every line came whole and in order, or is in the count.
        const std::size_t kept = lines.size() - 2;
        for (std::size_t i = 0; i < kept; ++i) ASSERT_EQ(lines[i], Numbered(static_cast<int>(i)));
        EXPECT_EQ(kept + dropped, static_cast<std::size_t>(kLines));
    }
}

TEST(ConsoleOutput, AReaderThatHasGoneCostsNothing) {
    Channel channel;
    Open(Kind::Pipe, channel);
    ::close(channel.read_fd);
    channel.read_fd = -1;
    ConsoleOutput output(channel.write_fd);
    // SIGPIPE is the process's business; here it must not even be raised.
    struct sigaction ignore {
    }, saved{};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGPIPE, &ignore, &saved);
    output.WriteLine("nobody reads this");
    output.WriteLine("nor this");
    ::sigaction(SIGPIPE, &saved, nullptr);
    EXPECT_EQ(output.DroppedLines(), 2u);
}

}  // namespace
}  // namespace gw::app
