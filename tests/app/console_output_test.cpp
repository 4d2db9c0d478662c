// Standard output and error into a reader that does not read: the main thread must go on.
#include "app/console_output.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <string>
#include <vector>

namespace gw::app {
namespace {

// Standard output as a pipe (`| tee`) and as the system journal's stream socket.
enum class Kind { Pipe, Socket };

struct Channel {
    std::array<int, 2> fds{-1, -1};  // read, write
    explicit Channel(Kind kind) {
        if (kind == Kind::Pipe) {
            EXPECT_EQ(::pipe2(fds.data(), O_CLOEXEC), 0);
            // One page: the test fills it with little writing.
            ::fcntl(fds[1], F_SETPIPE_SZ, 4096);
        } else {
            EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds.data()), 0);
        }
    }
    ~Channel() {
        ::close(fds[0]);
        ::close(fds[1]);
    }
};

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
    for (const Kind kind : {Kind::Pipe, Kind::Socket}) {
        SCOPED_TRACE(static_cast<int>(kind));
        Channel channel(kind);
        constexpr int kLines = 20000;  // 2 MB: far more than any of them holds
        std::string received;
        {
            ConsoleOutput output(channel.fds[1]);
            // A blocking write would never return from this loop.
            for (int i = 0; i < kLines; ++i) output.WriteLine(Numbered(i));
            EXPECT_GT(output.DroppedLines(), 0u);
            EXPECT_EQ(::fcntl(channel.fds[1], F_GETFL) & O_NONBLOCK, 0)
                << "whoever shares the descriptor must still find it blocking";

            // The reader wakes up: the next line that fits comes after a note of the loss.
            received = ReadAvailable(channel.fds[0]);
            output.WriteLine("after");
            received += ReadAvailable(channel.fds[0]);
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
    Channel channel(Kind::Pipe);
    ::close(channel.fds[0]);
    channel.fds[0] = -1;
    ConsoleOutput output(channel.fds[1]);
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
