// The termios port against a real pseudo-terminal, the way it meets the
// simulator and USB-serial adapters.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "link/com_exchange.h"
#include "link/port_map.h"
#include "link/serial_port.h"

namespace gw::link {
namespace {

using namespace std::chrono_literals;

class Pty {
public:
    Pty() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        grantpt(master_);
        unlockpt(master_);
        termios raw{};
        tcgetattr(master_, &raw);
        cfmakeraw(&raw);
        tcsetattr(master_, TCSANOW, &raw);
        slave_path_ = ptsname(master_);
    }
    ~Pty() { CloseMaster(); }
    void CloseMaster() {
        if (master_ >= 0) close(master_);
        master_ = -1;
    }
    void Send(const std::string& bytes) {
        ASSERT_EQ(write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    std::string Receive() {
        std::string got;
        char buffer[64];
        for (int i = 0; i < 50; ++i) {
            const ssize_t n = read(master_, buffer, sizeof buffer);
            if (n > 0) return got.append(buffer, n);
            usleep(10000);
        }
        return got;
    }
    // Everything that reached the master by now.
    std::string Drain() {
        fcntl(master_, F_SETFL, O_NONBLOCK);
        std::string got;
        char buffer[4096];
        ssize_t n;
        while ((n = read(master_, buffer, sizeof buffer)) > 0) got.append(buffer, n);
        return got;
    }
    const std::string& SlavePath() const { return slave_path_; }
    int Master() const { return master_; }

private:
    int master_ = -1;
    std::string slave_path_;
};

TEST(SerialPortLinuxTest, WritesAndReadsWithinTheLimit) {
    Pty pty;
    fcntl(pty.Master(), F_SETFL, O_NONBLOCK);
    std::string error;
    auto port = OpenSerialPort(pty.SlavePath(), error);
    ASSERT_TRUE(port) << error;
    EXPECT_TRUE(port->SetDtr(true, error)) << error;  // a pty has no modem lines
    EXPECT_TRUE(port->SetRts(false, error)) << error;

    const IoResult written = port->Write("Q1\r", 2000ms);
    EXPECT_TRUE(written.Completed);
    EXPECT_EQ(pty.Receive(), "Q1\r");

    pty.Send(std::string("(230\r\0\xB0", 7));
    const auto start = std::chrono::steady_clock::now();
    const IoResult read = port->Read(256, 200ms);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(read.Bytes, std::string("(230\r\0\xB0", 7));  // raw bytes, no line discipline
    EXPECT_FALSE(read.Completed);
    EXPECT_GE(took, 190ms);  // a read waits its whole time for more, as the line's time-out says

    pty.Send("0123456789");
    EXPECT_EQ(port->Read(4, 2000ms).Bytes, "0123");  // returns early once full
}

TEST(SerialPortLinuxTest, StalledWriteDropsWhatIsStillQueued) {
    Pty pty;  // nobody reads the master, so the line fills up
    std::string error;
    auto port = OpenSerialPort(pty.SlavePath(), error);
    ASSERT_TRUE(port) << error;
    const IoResult written = port->Write(std::string(64 * 1024, 'x'), 100ms);
    ASSERT_FALSE(written.Completed);
    ASSERT_GT(written.Count, 0u);
    // Kept, the taken bytes would all still come out, ahead of the next command.
    EXPECT_LT(pty.Drain().size(), written.Count);
}

TEST(SerialPortLinuxTest, PortIsExclusive) {
    Pty pty;
    std::string error;
    auto first = OpenSerialPort(pty.SlavePath(), error);
    ASSERT_TRUE(first) << error;
    EXPECT_FALSE(OpenSerialPort(pty.SlavePath(), error));
    EXPECT_FALSE(error.empty());
}

TEST(SerialPortLinuxTest, VanishedPeerEndsTheReadAtOnce) {
    Pty pty;
    std::string error;
    // Its lock file goes in a folder of its own: once the master is closed, the pseudo-terminal's
    // number is free while the port still holds its lock, and a test beside this one may be given
    // that number and find the lock in the shared folder.
    char tmpl[] = "/tmp/gw-locks-XXXXXX";
    const std::string locks = mkdtemp(tmpl);
    auto port = OpenSerialPort(pty.SlavePath(), error, locks);
    ASSERT_TRUE(port) << error;
    pty.CloseMaster();
    const auto start = std::chrono::steady_clock::now();
    const IoResult read = port->Read(256, 2000ms);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1500ms);
    EXPECT_TRUE(read.Bytes.empty());
    EXPECT_FALSE(read.Error.empty());
    EXPECT_TRUE(read.Gone);
    port.reset();
    std::filesystem::remove_all(locks);
}

// A port opened through a link is gone once the link leads elsewhere: an adapter that came
// back under another name is not the handle we hold.
TEST(SerialPortLinuxTest, SilentPortWhoseLinkLeadsElsewhereIsGone) {
    char tmpl[] = "/tmp/gw-link-XXXXXX";
    const std::string dir = mkdtemp(tmpl);
    const std::string link = dir + "/COM1";
    Pty first, second;
    struct Case {
        const char* Target;  // null: no link at all
        const char* Error;
    };
    for (const Case& c : {Case{"", ""}, Case{"second", "the port leads to another device now"},
                          Case{nullptr, "the port leads nowhere now"}}) {
        std::filesystem::remove(link);
        std::filesystem::create_symlink(first.SlavePath(), link);
        std::string error;
        auto port = OpenSerialPort(link, error);
        ASSERT_TRUE(port) << error;
        std::filesystem::remove(link);
        if (c.Target != nullptr) {
            std::filesystem::create_symlink(
                *c.Target != '\0' ? second.SlavePath() : first.SlavePath(), link);
        }
        const IoResult read = port->Read(256, 50ms);
        EXPECT_EQ(read.Gone, *c.Error != '\0') << c.Error;
        EXPECT_EQ(read.Error, c.Error);
    }
    std::filesystem::remove_all(dir);
}

TEST(SerialPortLinuxTest, BadPathsGiveTheSystemsText) {
    std::string error;
    EXPECT_FALSE(OpenSerialPort("/nonexistent/ttyUSB9", error));
    EXPECT_EQ(error, "No such file or directory");
    EXPECT_FALSE(OpenSerialPort("/dev/null", error));
    EXPECT_EQ(error, "Inappropriate ioctl for device");
}

class PortMapTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/gw-portmap-XXXXXX";
        dir_ = mkdtemp(tmpl);
        old_ = getenv("XDG_CONFIG_HOME") ? getenv("XDG_CONFIG_HOME") : "";
        setenv("XDG_CONFIG_HOME", dir_.c_str(), 1);
    }
    void TearDown() override {
        if (old_.empty()) {
            unsetenv("XDG_CONFIG_HOME");
        } else {
            setenv("XDG_CONFIG_HOME", old_.c_str(), 1);
        }
        std::filesystem::remove_all(dir_);
    }
    std::string dir_;
    std::string old_;
};

TEST_F(PortMapTest, LinkWinsOverTheBuiltInPort) {
    EXPECT_EQ(ComPortPath(1), "/dev/ttyS0");
    EXPECT_EQ(ComPortPath(9), "/dev/ttyS8");
    std::filesystem::create_directories(PortMapDir());
    EXPECT_EQ(PortMapDir(), dir_ + "/gridwarden/ports");
    std::filesystem::create_symlink("/dev/ttyUSB0", PortMapLink(3));
    EXPECT_EQ(ComPortPath(3), dir_ + "/gridwarden/ports/COM3");
    EXPECT_EQ(ComPortPath(4), "/dev/ttyS3");
    // A port found through its link never falls back to the built-in one.
    EXPECT_TRUE(ResolveComPort(3, true).Linked);
    EXPECT_EQ(ResolveComPort(4, true).Path, "");
}

TEST_F(PortMapTest, OpenComPortFollowsTheLinkAndNamesThePort) {
    Pty pty;
    std::filesystem::create_directories(PortMapDir());
    std::filesystem::create_symlink(pty.SlavePath(), PortMapLink(2));
    std::string error;
    EXPECT_TRUE(OpenComPort(2, error, [](auto) {})) << error;

    std::filesystem::create_symlink("/nonexistent/tty", PortMapLink(5));
    EXPECT_FALSE(OpenComPort(5, error, [](auto) {}));
    EXPECT_NE(error.find("COM5"), std::string::npos);
    EXPECT_NE(error.find("No such file or directory"), std::string::npos);
}

}  // namespace
}  // namespace gw::link
