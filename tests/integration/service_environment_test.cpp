// The daemon as the system service runs it: the unit's own command line and environment, with
// its folders under a scratch root and, where the test runs as root, as an unprivileged user, as
// the service runs as its own. Only --power=simulated and --cycles are added.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "integration/sim_process.h"
#include "link/port_map.h"

namespace gw {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr uid_t kServiceUser = 65534;  // nobody: no rights beyond its own folders

std::string Slurp(const std::string& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

// The values of `key=` lines in the unit, in order.
std::vector<std::string> UnitValues(const std::string& unit, const std::string& key) {
    std::vector<std::string> values;
    std::istringstream lines(unit);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind(key + "=", 0) == 0) values.push_back(line.substr(key.size() + 1));
    }
    return values;
}

std::vector<std::string> Words(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> words;
    for (std::string word; in >> word;) words.push_back(word);
    return words;
}

TEST(ServiceEnvironmentTest, DaemonKeepsToTheUnitsFoldersAndUser) {
    testing::ScratchHome home;
    const std::string root = home.Root() + "/system";
    const std::string unit = Slurp(GW_SERVICE_UNIT);
    const std::vector<std::string> exec = UnitValues(unit, "ExecStart");
    ASSERT_EQ(exec.size(), 1u);
    ASSERT_EQ(UnitValues(unit, "Environment"), std::vector<std::string>{"XDG_CONFIG_HOME=/etc"});
    ASSERT_EQ(UnitValues(unit, "StateDirectory"), std::vector<std::string>{"gridwarden"});
    ASSERT_EQ(UnitValues(unit, "RuntimeDirectory"), std::vector<std::string>{"gridwarden"});

    // What systemd and the package make: the three folders, the user's own.
    const bool as_root = geteuid() == 0;
    // The user passes through the scratch folder as through / to reach its own.
    if (as_root) {
        ASSERT_EQ(chmod(home.Root().c_str(), 0711), 0);
    }
    for (const char* dir : {"/etc/gridwarden", "/var/lib/gridwarden", "/run/gridwarden"}) {
        fs::create_directories(root + dir);
        if (as_root) {
            ASSERT_EQ(chown((root + dir).c_str(), kServiceUser, kServiceUser), 0);
        }
    }
    setenv("XDG_CONFIG_HOME", (root + "/etc").c_str(), 1);
    // The simulator's control socket; the service has no runtime folder of the user's.
    setenv("XDG_RUNTIME_DIR", (root + "/run/gridwarden").c_str(), 1);
    std::vector<std::string> as_user;
    if (as_root) {
        const std::string id = std::to_string(kServiceUser);
        as_user = {"/usr/bin/setpriv", "--reuid=" + id, "--regid=" + id, "--clear-groups"};
    }

    // The simulator as the same user, so that the service's user can open its terminal.
    std::vector<std::string> sim_args = as_user;
    sim_args.insert(sim_args.end(), {UPSSIM_PATH, "--com", "1"});
    testing::BackgroundProgram sim(sim_args);
    for (int i = 0; i < 250 && !fs::is_symlink(link::PortMapLink(1)); ++i) {
        std::this_thread::sleep_for(20ms);
    }
    ASSERT_TRUE(fs::is_symlink(link::PortMapLink(1))) << sim.Output();
    ASSERT_EQ(link::PortMapDir(), root + "/etc/gridwarden/ports");
    testing::LinkAbsentPorts();

    std::vector<std::string> args = as_user;
    args.push_back(GRIDWARDEND_PATH);
    const std::vector<std::string> words = Words(exec.front());
    for (std::size_t i = 1; i < words.size(); ++i) {
        args.push_back(words[i].front() == '/' ? root + words[i] : words[i]);
    }
    args.insert(args.end(), {"--power=simulated", "--cycles", "2"});
    const testing::Finished run = testing::RunProgram(args, 60s, testing::Streams::Both);
    EXPECT_EQ(run.ExitStatus, 0) << run.Output;
    EXPECT_NE(run.Output.find(" Start Monitoring\n"), std::string::npos) << run.Output;

    EXPECT_NE(Slurp(root + "/var/lib/gridwarden/journal.log").find(" Start Monitoring\n"),
              std::string::npos);
    const std::string settings = root + "/etc/gridwarden/Gridwarden.conf";
    EXPECT_NE(Slurp(settings).find("\nCOM%20Port=1\n"), std::string::npos) << Slurp(settings);
    struct stat info {};
    ASSERT_EQ(stat(settings.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    EXPECT_EQ(info.st_uid, as_root ? kServiceUser : geteuid());
    EXPECT_TRUE(fs::exists(root + "/run/gridwarden/GWDNMutex.lock"));
    // Nothing in the places a user's copy would use.
    EXPECT_FALSE(fs::exists(home.Root() + "/state/gridwarden"));
    EXPECT_FALSE(fs::exists(home.Root() + "/config/Tallowmere"));
    EXPECT_FALSE(fs::exists(root + "/etc/Tallowmere"));
}

}  // namespace
}  // namespace gw
