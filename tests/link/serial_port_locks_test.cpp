// What keeps an unprivileged scan off other programs' ports: consoles and controlling terminals,
// read from a /proc and /sys of the test's own making, and lock files it may not read.
#include "link/serial_port_locks.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

namespace gw::link {
namespace {

struct OwnerCase {
    const char* Name;
    dev_t Device;
    std::vector<std::pair<std::string, std::string>> Files;  // path under the root, content
    const char* Owner;                                       // null: nobody's
};

// A process's stat line up to its controlling terminal (field 7), as the kernel writes it.
std::string Stat(int pid, const std::string& comm, long tty_nr) {
    return std::to_string(pid) + " (" + comm + ") S 1 " + std::to_string(pid) + " " +
           std::to_string(pid) + " " + std::to_string(tty_nr) +
           " -1 4194560 137 0 0 0 0 0 0 0 20 0 1 0 1791 5840896 230\n";
}

const dev_t kTtyS0 = makedev(4, 64);
const dev_t kPts300 = makedev(136, 300);  // the minor is split across the field's bits
const std::string kConsoles = "proc/consoles";
const std::string kActive = "sys/class/tty/console/active";

TEST(TerminalOwnerTest, ConsolesAndControllingTerminalsAreTaken) {
    // clang-format off
    const std::vector<OwnerCase> cases = {
        {"nothing to read", kTtyS0, {}, nullptr},
        {"listed console", kTtyS0,
         {{kConsoles, "tty0                 -WU (E  p  )    4:1\n"
                      "ttyS0                -W- (EC p a)    4:64\n"}},
         "the system console"},
        {"another port is the console", makedev(4, 65),
         {{kConsoles, "ttyS0                -W- (EC p a)    4:64\n"}}, nullptr},
        {"active console only", kTtyS0,
         {{kActive, "tty0 ttyS0\n"}, {"sys/class/tty/ttyS0/dev", "4:64\n"},
          {"sys/class/tty/tty0/dev", "4:0\n"}},
         "the system console"},
        {"getty's terminal", kTtyS0,
         {{"proc/812/stat", Stat(812, "agetty", (4 << 8) | 64)}, {"proc/self/stat", "x"}},
         "agetty, pid 812"},
        {"no terminal", kTtyS0, {{"proc/813/stat", Stat(813, "cron", 0)}}, nullptr},
        // A name may hold ")" and spaces: the fields start after the last ")".
        {"name posing as fields", kTtyS0,
         {{"proc/900/stat", Stat(900, "x) S 1 2 3 1088", 0)}}, nullptr},
        {"name with brackets", kTtyS0,
         {{"proc/901/stat", Stat(901, "(sh) -x", (4 << 8) | 64)}}, "(sh) -x, pid 901"},
        {"pty with a high minor", kPts300,
         {{"proc/902/stat", Stat(902, "bash", (136 << 8) | 44 | (256 << 12))}},
         "bash, pid 902"},
        {"pty with the low bits alike", kPts300,
         {{"proc/903/stat", Stat(903, "bash", (136 << 8) | 44)}}, nullptr},
        {"process gone meanwhile", kTtyS0, {{"proc/904/stat", ""}}, nullptr},
    };
    // clang-format on
    for (const OwnerCase& c : cases) {
        char tmpl[] = "/tmp/gw-owner-XXXXXX";
        const std::filesystem::path root = mkdtemp(tmpl);
        for (const auto& [path, content] : c.Files) {
            std::filesystem::create_directories((root / path).parent_path());
            std::ofstream(root / path) << content;
        }
        std::filesystem::create_directories(root / "proc");
        const auto owner = TerminalOwner(c.Device, {root / "proc", root / "sys"});
        EXPECT_EQ(owner.value_or("(nobody)"), c.Owner != nullptr ? c.Owner : "(nobody)") << c.Name;
        std::filesystem::remove_all(root);
    }
}

// Another user's lock file made under a strict umask hides whether its owner lives: removing it
// or going past it could take the port from a live program.
TEST(UucpLockTest, LockFileWeMayNotReadIsHeld) {
    char tmpl[] = "/tmp/gw-locks-XXXXXX";
    const std::string dir = mkdtemp(tmpl);
    chmod(dir.c_str(), 0755);
    const std::string file = dir + "/LCK..ttyS9";
    std::ofstream(file) << getpid() << '\n';
    chmod(file.c_str(), 0);
    const pid_t child = fork();
    if (child == 0) {
        // Root reads every file: look as an ordinary user.
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(9);
        std::string held_by;
        const bool seen = LiveLock("/dev/ttyS9", dir).has_value();
        const bool refused = !UucpLock::Take("/dev/ttyS9", dir, held_by).has_value();
        _exit((seen ? 0 : 1) | (refused ? 0 : 2));
    }
    int status = -1;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: not seen, 2: taken past it";
    EXPECT_TRUE(std::filesystem::exists(file));
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace gw::link
