// The daemon's listener for this machine: on by default in the daemon only, moved or turned off
// by its option, which the window program does not take.
#include "entry/command_line.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace gw::entry {
namespace {

TEST(CommandLineTest, OnlyTheDaemonServesThisMachineByDefault) {
    struct Case {
        Program Which;
        std::vector<std::string> Args;
        std::optional<int> Exit;  // a bad argument ends with 2
        int LoopbackPort;
    };
    const Case cases[] = {
        {Program::Daemon, {}, std::nullopt, 3493},
        {Program::Daemon, {"--nut-loopback", "0"}, std::nullopt, 0},
        {Program::Daemon, {"--nut-loopback", "65536"}, 2, 0},
        {Program::Window, {"--headless"}, std::nullopt, 0},
        {Program::Window, {"--nut-loopback", "4000"}, 2, 0},
    };
    for (const Case& c : cases) {
        std::vector<std::string> words{"program"};
        words.insert(words.end(), c.Args.begin(), c.Args.end());
        std::vector<char*> argv;
        for (std::string& word : words) argv.push_back(word.data());
        CommandLine line;
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        const std::optional<int> exit =
            ParseCommandLine(static_cast<int>(argv.size()), argv.data(), c.Which, line);
        ::testing::internal::GetCapturedStdout();
        ::testing::internal::GetCapturedStderr();
        SCOPED_TRACE(words.size() > 1 ? words[1] : "no arguments");
        EXPECT_EQ(exit, c.Exit);
        if (!exit) {
            EXPECT_EQ(line.Options.NutLoopbackPort, c.LoopbackPort);
        }
    }
}

}  // namespace
}  // namespace gw::entry
