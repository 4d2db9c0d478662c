// The port scan against a terminal another program has open (a modem, a serial console) and a
// free one with nothing behind it: the first is never touched, the second is probed and given
// back as it was found.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "fakes/fake_hid.h"
#include "fakes/recording_detection_peers.h"
#include "integration/sim_process.h"
#include "link/plain_main_loop.h"
#include "link/port_map.h"
#include "monitor/ups_detection.h"

extern char** environ;

namespace gw {
namespace {

using namespace std::chrono_literals;
using Lines = std::vector<std::string>;

// A terminal as another program leaves it, canonical at 38400 baud, linked as COMn. With
// `held`, a `sleep` process has it open, as a terminal program would.
class ForeignTerminal {
public:
    ForeignTerminal(int com, bool held) {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
        slave_ = ptsname(master_);
        termios cooked{};
        tcgetattr(master_, &cooked);
        cooked.c_lflag |= ICANON | ECHO | ISIG;
        cfsetispeed(&cooked, B38400);
        cfsetospeed(&cooked, B38400);
        tcsetattr(master_, TCSANOW, &cooked);
        before_ = Settings();
        std::filesystem::create_directories(link::PortMapDir());
        std::filesystem::create_symlink(slave_, link::PortMapLink(com));
        if (!held) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, slave_.c_str(), O_RDWR | O_NOCTTY, 0);
        char* argv[] = {const_cast<char*>("sleep"), const_cast<char*>("120"), nullptr};
        if (posix_spawn(&holder_, "/bin/sleep", &actions, nullptr, argv, environ) != 0) {
            holder_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
    }
    ~ForeignTerminal() {
        if (holder_ > 0) {
            kill(holder_, SIGKILL);
            waitpid(holder_, nullptr, 0);
        }
        if (master_ >= 0) close(master_);
    }
    ForeignTerminal(const ForeignTerminal&) = delete;
    ForeignTerminal& operator=(const ForeignTerminal&) = delete;

    bool Ready() const { return master_ >= 0 && !slave_.empty(); }
    bool Unchanged() const {
        const termios now = Settings();
        return now.c_iflag == before_.c_iflag && now.c_oflag == before_.c_oflag &&
               now.c_cflag == before_.c_cflag && now.c_lflag == before_.c_lflag &&
               cfgetospeed(&now) == cfgetospeed(&before_) &&
               std::memcmp(now.c_cc, before_.c_cc, sizeof now.c_cc) == 0;
    }
    // The owner can open it again: no exclusive mode was left behind.
    bool OpensAgain() const {
        const int fd = open(slave_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        int exclusive = -1;
        if (fd >= 0) ioctl(fd, TIOCGEXCL, &exclusive);
        if (fd >= 0) close(fd);
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
    termios Settings() const {
        termios now{};
        tcgetattr(master_, &now);
        return now;
    }

    int master_ = -1;
    std::string slave_;
    termios before_{};
    pid_t holder_ = -1;
};

TEST(HeldPortTest, ScansLeaveAHeldTerminalAloneAndGiveBackAProbedOne) {
    testing::ScratchHome home;
    ForeignTerminal held(1, true);
    ForeignTerminal idle(2, false);
    ASSERT_TRUE(held.Ready() && idle.Ready());
    testing::LinkAbsentPorts();

    auto hid = std::make_shared<fakes::FakeHidState>();
    fakes::FakeHidBus bus{hid};
    link::UpsLink link;
    link::DataMutex mutex;
    fakes::DetectionRecorder rec;
    rec.ComAnswer = std::nullopt;  // the dialog is cancelled: no port is kept
    link::Wire wire{link, mutex, rec, &bus, [](std::chrono::milliseconds) {}};
    monitor::DisplayModel display;
    link::PlainMainLoop loop;
    monitor::UpsDetection detection(wire, display, rec, rec, loop, rec.Peers(), 0ms);

    // Unattended, the scan repeats every minute while no UPS is found.
    for (int scan = 0; scan < 2; ++scan) {
        bool done = false;
        detection.OpenLink([&](bool) { done = true; });
        ASSERT_TRUE(loop.RunUntil([&] { return done; }, 30s));
    }

    EXPECT_EQ(rec.Only("dialog "), (Lines{"COM2 pre -1", "COM2 pre -1"}));
    EXPECT_FALSE(link.PortAvailable[0]);
    EXPECT_FALSE(link.ComOpen);
    EXPECT_TRUE(held.Unchanged());
    EXPECT_TRUE(held.OpensAgain());
    EXPECT_EQ(held.Received(), "");
    // The free one was probed for a UPS, and still comes back as it was.
    EXPECT_NE(idle.Received().find("Q1\r"), std::string::npos);
    EXPECT_TRUE(idle.Unchanged());
    EXPECT_TRUE(idle.OpensAgain());
}

}  // namespace
}  // namespace gw
