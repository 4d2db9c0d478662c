// The termios port against a real pseudo-terminal, the way it meets the
// simulator and USB-serial adapters.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "link/com_exchange.h"
#include "link/port_map.h"
#include "link/serial_port.h"

extern char** environ;

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
    // As another program leaves its terminal: canonical, echoing, 38400 baud.
    void SetCooked() {
        termios cooked{};
        tcgetattr(master_, &cooked);
        cooked.c_lflag |= ICANON | ECHO | ISIG;
        cooked.c_oflag |= OPOST;
        cfsetispeed(&cooked, B38400);
        cfsetospeed(&cooked, B38400);
        tcsetattr(master_, TCSANOW, &cooked);
    }
    // The slave's settings, read through the master without opening the slave.
    termios Settings() const {
        termios now{};
        tcgetattr(master_, &now);
        return now;
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

bool SameSettings(const termios& a, const termios& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && cfgetispeed(&a) == cfgetispeed(&b) &&
           cfgetospeed(&a) == cfgetospeed(&b) && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

bool Exclusive(const std::string& path) {
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    int exclusive = -1;
    ioctl(fd, TIOCGEXCL, &exclusive);
    close(fd);
    return exclusive != 0;
}

TEST(SerialPortLinuxTest, ClosingGivesBackTheSettingsFoundAndTheExclusiveUse) {
    Pty pty;
    pty.SetCooked();
    const termios before = pty.Settings();
    std::string error;
    auto port = OpenSerialPort(pty.SlavePath(), error);
    ASSERT_TRUE(port) << error;
    const termios taken = pty.Settings();
    EXPECT_EQ(cfgetospeed(&taken), B2400);
    EXPECT_TRUE(Exclusive(pty.SlavePath()));

    port.reset();
    EXPECT_TRUE(SameSettings(pty.Settings(), before));
    EXPECT_FALSE(Exclusive(pty.SlavePath()));
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

// Another program has the port, in each of the ways a program may take one.
enum class Hold {
    Flock,
    ExclusiveMode,
    OtherProcess,
    LockFile,
    BinaryLockFile,
    FlatLockFile,
    StaleLockFile
};

struct HeldCase {
    const char* Name;
    Hold How;
    const char* Refusal;  // the error's start; null when the port must open
};

void PrintTo(const HeldCase& c, std::ostream* os) { *os << c.Name; }

class HeldPortTest : public ::testing::TestWithParam<HeldCase> {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/gw-locks-XXXXXX";
        lock_dir_ = mkdtemp(tmpl);
    }
    void TearDown() override {
        if (holder_pid_ > 0) {
            kill(holder_pid_, SIGKILL);
            waitpid(holder_pid_, nullptr, 0);
        }
        if (holder_fd_ >= 0) close(holder_fd_);
        std::filesystem::remove_all(lock_dir_);
    }
    void Take(Hold how, const std::string& slave) {
        const std::string name = std::filesystem::path(slave).filename();
        // Our parent is alive and is not us: our own process id would count as ours.
        const int live = static_cast<int>(getppid());
        switch (how) {
            case Hold::Flock:
                holder_fd_ = open(slave.c_str(), O_RDWR | O_NOCTTY);
                ASSERT_EQ(flock(holder_fd_, LOCK_EX), 0);
                break;
            case Hold::ExclusiveMode:
                holder_fd_ = open(slave.c_str(), O_RDWR | O_NOCTTY);
                ASSERT_EQ(ioctl(holder_fd_, TIOCEXCL), 0);
                break;
            case Hold::OtherProcess: {
                posix_spawn_file_actions_t actions;
                posix_spawn_file_actions_init(&actions);
                posix_spawn_file_actions_addopen(&actions, 0, slave.c_str(), O_RDWR | O_NOCTTY, 0);
                char* argv[] = {const_cast<char*>("sleep"), const_cast<char*>("60"), nullptr};
                ASSERT_EQ(posix_spawn(&holder_pid_, "/bin/sleep", &actions, nullptr, argv, environ),
                          0);
                posix_spawn_file_actions_destroy(&actions);
                break;
            }
            case Hold::LockFile:
                std::ofstream(lock_dir_ + "/LCK.." + name)
                    << std::string(10 - std::to_string(live).size(), ' ') << live << '\n';
                break;
            case Hold::BinaryLockFile:
                std::ofstream(lock_dir_ + "/LCK.." + name, std::ios::binary)
                    .write(reinterpret_cast<const char*>(&live), sizeof live);
                break;
            case Hold::FlatLockFile:
                std::ofstream(lock_dir_ + "/LCK..pts_" + name) << live << '\n';
                break;
            case Hold::StaleLockFile:
                std::ofstream(lock_dir_ + "/LCK.." + name) << 0x7ffffff0 << '\n';
                break;
        }
    }

    std::string lock_dir_;
    int holder_fd_ = -1;
    pid_t holder_pid_ = -1;
};

TEST_P(HeldPortTest, IsRefusedUntouched) {
    Pty pty;
    pty.SetCooked();
    const termios before = pty.Settings();
    Take(GetParam().How, pty.SlavePath());

    std::string error;
    auto port = OpenSerialPort(pty.SlavePath(), error, lock_dir_);
    if (GetParam().Refusal != nullptr) {
        EXPECT_FALSE(port);
        EXPECT_EQ(error.rfind(GetParam().Refusal, 0), 0u) << error;
    } else {
        EXPECT_TRUE(port) << error;
    }
    port.reset();
    EXPECT_TRUE(SameSettings(pty.Settings(), before));
    EXPECT_EQ(pty.Drain(), "");
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Ways, HeldPortTest, ::testing::Values(
    HeldCase{"Flock",          Hold::Flock,          kPortLocked},
    HeldCase{"ExclusiveMode",  Hold::ExclusiveMode,  kPortExclusive},
    HeldCase{"OtherProcess",   Hold::OtherProcess,   kPortInUse},
    HeldCase{"LockFile",       Hold::LockFile,       kPortLocked},
    HeldCase{"BinaryLockFile", Hold::BinaryLockFile, kPortLocked},
    HeldCase{"FlatLockFile",   Hold::FlatLockFile,   kPortLocked},
    HeldCase{"StaleLockFile",  Hold::StaleLockFile,  nullptr}),
    [](const auto& info) { return std::string(info.param.Name); });
// clang-format on

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
    auto port = OpenSerialPort(pty.SlavePath(), error);
    ASSERT_TRUE(port) << error;
    pty.CloseMaster();
    const auto start = std::chrono::steady_clock::now();
    const IoResult read = port->Read(256, 2000ms);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1500ms);
    EXPECT_TRUE(read.Bytes.empty());
    EXPECT_FALSE(read.Error.empty());
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
