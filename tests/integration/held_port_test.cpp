// Terminals of other programs (a modem, a serial console) against the port scan: each way a
// program may hold a port keeps us off it, and a port we only probed comes back as we found it.
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

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>

#include "fakes/fake_hid.h"
#include "fakes/recording_detection_peers.h"
#include "integration/sim_process.h"
#include "link/plain_main_loop.h"
#include "link/port_map.h"
#include "link/serial_port.h"
#include "monitor/ups_detection.h"

extern char** environ;

namespace gw {
namespace {

using namespace std::chrono_literals;

enum class Hold {
    None,
    Flock,
    ExclusiveMode,
    DeadExclusive,  // exclusive mode left by a holder that has ended
    OtherProcess,
    ControllingTerminal,  // of another session, which keeps no descriptor of it open
    LockFile,
    BinaryLockFile,
    StaleLock,
};

// Another process opens `path` and runs `hold` on it. With `stay` it lives on until killed; else
// it ends at once without closing anything, as a crash would, and 0 comes back.
pid_t OtherProcessWith(const std::string& path, const std::function<void(int fd)>& hold,
                       bool stay) {
    int ready[2];
    if (pipe(ready) != 0) return -1;
    const pid_t child = fork();
    if (child == 0) {
        hold(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK));
        (void)!write(ready[1], "x", 1);
        if (stay) pause();
        _exit(0);
    }
    close(ready[1]);
    char done;
    (void)!read(ready[0], &done, 1);
    close(ready[0]);
    if (stay) return child;
    waitpid(child, nullptr, 0);
    return 0;
}

// A terminal as another program leaves it, canonical at 38400 baud, held the given way.
class ForeignTerminal {
public:
    ForeignTerminal(Hold how, const std::string& lock_dir) {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        grantpt(master_);
        unlockpt(master_);
        slave_ = ptsname(master_);
        termios cooked = Settings();
        cooked.c_lflag |= ICANON | ECHO | ISIG;
        cfsetospeed(&cooked, B38400);
        tcsetattr(master_, TCSANOW, &cooked);
        before_ = Settings();
        // Our parent lives and is not us: our own process id would count as ours.
        const int live = static_cast<int>(getppid());
        const std::string lock =
            lock_dir + "/LCK.." + std::filesystem::path(slave_).filename().string();
        const auto exclusive = [](int fd) { ioctl(fd, TIOCEXCL); };
        if (how == Hold::Flock) {
            fd_ = open(slave_.c_str(), O_RDWR | O_NOCTTY);
            flock(fd_, LOCK_EX);
        } else if (how == Hold::ExclusiveMode || how == Hold::DeadExclusive) {
            holder_ = OtherProcessWith(slave_, exclusive, how == Hold::ExclusiveMode);
        } else if (how == Hold::OtherProcess) {
            posix_spawn_file_actions_t actions;
            posix_spawn_file_actions_init(&actions);
            posix_spawn_file_actions_addopen(&actions, 0, slave_.c_str(), O_RDWR | O_NOCTTY, 0);
            char* argv[] = {const_cast<char*>("sleep"), const_cast<char*>("120"), nullptr};
            posix_spawn(&holder_, "/bin/sleep", &actions, nullptr, argv, environ);
            posix_spawn_file_actions_destroy(&actions);
        } else if (how == Hold::ControllingTerminal) {
            const auto session = [path = slave_](int fd) {
                close(fd);
                setsid();
                close(open(path.c_str(), O_RDWR | O_NONBLOCK));
            };
            holder_ = OtherProcessWith(slave_, session, true);
        } else if (how == Hold::LockFile || how == Hold::StaleLock) {
            std::ofstream(lock) << (how == Hold::LockFile ? live : 0x7ffffff0) << '\n';
        } else if (how == Hold::BinaryLockFile) {
            std::ofstream(lock, std::ios::binary).write(reinterpret_cast<const char*>(&live), 4);
        }
    }
    ~ForeignTerminal() {
        if (holder_ > 0) kill(holder_, SIGKILL);
        if (holder_ > 0) waitpid(holder_, nullptr, 0);
        if (fd_ >= 0) close(fd_);
        close(master_);
    }
    ForeignTerminal(const ForeignTerminal&) = delete;
    ForeignTerminal& operator=(const ForeignTerminal&) = delete;

    const std::string& Path() const { return slave_; }
    bool Unchanged() const {
        const termios now = Settings();
        return now.c_iflag == before_.c_iflag && now.c_oflag == before_.c_oflag &&
               now.c_cflag == before_.c_cflag && now.c_lflag == before_.c_lflag &&
               cfgetospeed(&now) == cfgetospeed(&before_) &&
               std::memcmp(now.c_cc, before_.c_cc, sizeof now.c_cc) == 0;
    }
    // Its owner can open it again: no exclusive mode was left behind.
    bool OpensAgain() const {
        const int fd = open(slave_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        int exclusive = -1;
        ioctl(fd, TIOCGEXCL, &exclusive);
        close(fd);
        return fd >= 0 && exclusive == 0;
    }
    std::string Received() const {
        std::string got;
        char buffer[256];
        ssize_t n;
        while ((n = read(master_, buffer, sizeof buffer)) > 0) got.append(buffer, n);
        return got;
    }

private:
    termios Settings() const {  // the slave's, read through the master
        termios now{};
        tcgetattr(master_, &now);
        return now;
    }

    int master_ = -1;
    int fd_ = -1;
    pid_t holder_ = -1;
    std::string slave_;
    termios before_{};
};

struct HeldCase {
    const char* Name;
    Hold How;
    const char* Refusal;  // the error's start; null when the port must open
};

void PrintTo(const HeldCase& c, std::ostream* os) { *os << c.Name; }

class HeldPortTest : public ::testing::TestWithParam<HeldCase> {
protected:
    HeldPortTest() { std::filesystem::create_directories(locks_); }
    testing::ScratchHome home_;
    const std::string locks_ = home_.Root() + "/lock";
};

TEST_P(HeldPortTest, IsRefusedUntouched) {
    const ForeignTerminal terminal(GetParam().How, locks_);
    std::string error;
    auto port = link::OpenSerialPort(terminal.Path(), error, locks_);
    if (GetParam().Refusal != nullptr) {
        EXPECT_FALSE(port);
        EXPECT_EQ(error.rfind(GetParam().Refusal, 0), 0u) << error;
    } else if (GetParam().How == Hold::DeadExclusive && geteuid() != 0) {
        GTEST_SKIP() << "only a privileged user opens a terminal in exclusive mode";
    } else {
        EXPECT_TRUE(port) << error;
    }
    port.reset();
    EXPECT_TRUE(terminal.Unchanged());
    EXPECT_EQ(terminal.Received(), "");
    // What we took we leave free: no exclusive mode, no lock file.
    if (GetParam().Refusal == nullptr) {
        EXPECT_TRUE(terminal.OpensAgain());
        EXPECT_TRUE(std::filesystem::is_empty(locks_));
    }
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Ways, HeldPortTest, ::testing::Values(
    HeldCase{"Flock",               Hold::Flock,               link::kPortLocked},
    HeldCase{"ExclusiveMode",       Hold::ExclusiveMode,       link::kPortExclusive},
    HeldCase{"DeadExclusive",       Hold::DeadExclusive,       nullptr},
    HeldCase{"OtherProcess",        Hold::OtherProcess,        link::kPortInUse},
    HeldCase{"ControllingTerminal", Hold::ControllingTerminal, link::kPortInUse},
    HeldCase{"LockFile",            Hold::LockFile,            link::kPortLocked},
    HeldCase{"BinaryLockFile",      Hold::BinaryLockFile,      link::kPortLocked},
    HeldCase{"StaleLockFile",       Hold::StaleLock,           nullptr}),
    [](const auto& info) { return std::string(info.param.Name); });
// clang-format on

// A monitor that crashed, restarted by its service: the port it held is refused while it lives
// and ours once it is gone, whatever it left behind.
TEST_F(HeldPortTest, PortOfAMonitorThatDiedIsOursAgain) {
    const ForeignTerminal terminal(Hold::None, locks_);
    const auto monitor = [this, path = terminal.Path()](int fd) {
        close(fd);
        std::string error;
        (void)link::OpenSerialPort(path, error, locks_).release();
    };
    const pid_t live = OtherProcessWith(terminal.Path(), monitor, true);
    std::string error;
    EXPECT_FALSE(link::OpenSerialPort(terminal.Path(), error, locks_));
    EXPECT_EQ(error.rfind(link::kPortLocked, 0), 0u) << error;
    kill(live, SIGKILL);
    waitpid(live, nullptr, 0);

    auto port = link::OpenSerialPort(terminal.Path(), error, locks_);
    EXPECT_TRUE(port) << error;
    port.reset();
    EXPECT_TRUE(terminal.OpensAgain());
    EXPECT_TRUE(std::filesystem::is_empty(locks_));
}

// Other programs read the process id in our lock file, whatever our service's umask.
TEST_F(HeldPortTest, LockFileIsReadableByAll) {
    const ForeignTerminal terminal(Hold::None, locks_);
    const mode_t old_mask = umask(077);
    std::string error;
    auto port = link::OpenSerialPort(terminal.Path(), error, locks_);
    umask(old_mask);
    ASSERT_TRUE(port) << error;
    std::string name = terminal.Path().substr(std::strlen("/dev/"));
    struct stat st {};
    ASSERT_EQ(stat((locks_ + "/LCK.." + name.replace(name.find('/'), 1, "_")).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
}

TEST(HeldPortScanTest, LeavesAHeldTerminalAloneAndGivesBackAProbedOne) {
    testing::ScratchHome home;
    const ForeignTerminal held(Hold::OtherProcess, home.Root());
    const ForeignTerminal idle(Hold::None, home.Root());
    std::filesystem::create_directories(link::PortMapDir());
    std::filesystem::create_symlink(held.Path(), link::PortMapLink(1));
    std::filesystem::create_symlink(idle.Path(), link::PortMapLink(2));
    testing::LinkAbsentPorts();

    fakes::FakeHidBus bus{std::make_shared<fakes::FakeHidState>()};
    link::UpsLink link;
    link::DataMutex mutex;
    fakes::DetectionRecorder rec;
    rec.ComAnswer = std::nullopt;  // the dialog is cancelled: no port is kept
    link::Wire wire{link, mutex, rec, &bus, [](std::chrono::milliseconds) {}};
    monitor::DisplayModel display;
    link::PlainMainLoop loop;
    monitor::UpsDetection detection(wire, display, rec, rec, loop, rec.Peers(), 0ms);
    // While no UPS is found the scan comes back every minute.
    for (int scan = 0; scan < 2; ++scan) {
        bool done = false;
        detection.OpenLink([&](bool) { done = true; });
        ASSERT_TRUE(loop.RunUntil([&] { return done; }, 30s));
    }

    EXPECT_EQ(rec.Only("dialog "), (std::vector<std::string>{"COM2 pre -1", "COM2 pre -1"}));
    EXPECT_TRUE(held.Unchanged());
    EXPECT_TRUE(held.OpensAgain());
    EXPECT_EQ(held.Received(), "");
    EXPECT_NE(idle.Received().find("Q1\r"), std::string::npos);  // it was probed
    EXPECT_TRUE(idle.Unchanged());
    EXPECT_TRUE(idle.OpensAgain());
}

}  // namespace
}  // namespace gw
