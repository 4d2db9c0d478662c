// The simulator's pseudo-terminal: it must leave the port free for a client that refuses ports
// other programs have open, and cope with no client at all.
#include "pty_port.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <filesystem>
#include <string>

namespace gw::upssim {
namespace {

// What the master has for us within a second.
std::string ReadSoon(PtyPort& port, std::string& error) {
    pollfd pfd{port.MasterFd(), POLLIN, 0};
    poll(&pfd, 1, 1000);
    char buffer[64];
    const ssize_t n = port.Read(buffer, sizeof buffer, error);
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
}

TEST(PtyPortTest, HoldsNoSlaveAndReadsNothingWithoutAClient) {
    std::string error;
    auto port = PtyPort::Open(error);
    ASSERT_TRUE(port) << error;
    for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ignored;
        EXPECT_NE(std::filesystem::read_symlink(fd.path(), ignored), port->SlavePath());
    }
    char buffer[16];
    EXPECT_EQ(port->Read(buffer, sizeof buffer, error), 0);
    EXPECT_EQ(error, "");

    const int client = open(port->SlavePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(client, 0);
    ASSERT_EQ(write(client, "Q1\r", 3), 3);
    EXPECT_EQ(ReadSoon(*port, error), "Q1\r");
    close(client);

    // The client is gone again: still nothing to read, and no failure.
    EXPECT_EQ(port->Read(buffer, sizeof buffer, error), 0);
    EXPECT_EQ(error, "");
}

}  // namespace
}  // namespace gw::upssim
