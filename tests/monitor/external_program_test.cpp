#include "monitor/external_program.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <set>
#include <sstream>

#include "link/plain_main_loop.h"
#include "test_files.h"

namespace gw::monitor {
namespace {

using namespace std::chrono_literals;
using testing::ReadFile;
using testing::ScratchDir;
using testing::WriteFile;

std::string MakeScript(const std::string& path, const std::string& body, mode_t mode = 0755) {
    WriteFile(path, body);
    ::chmod(path.c_str(), mode);
    return path;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// The test's working folder, put back afterwards.
class InFolder {
public:
    explicit InFolder(const std::string& folder) : saved_(std::filesystem::current_path()) {
        std::filesystem::current_path(folder);
    }
    ~InFolder() { std::filesystem::current_path(saved_); }

private:
    std::filesystem::path saved_;
};

class ExternalProgramTest : public ::testing::Test {
protected:
    std::unique_ptr<RunningProgram> Start(const std::string& path) {
        error_.clear();
        return StartExternalProgram(
            path, [this](const ProgramEnd& end) { end_ = end; }, loop_, error_);
    }
    bool WaitForEnd(std::chrono::milliseconds limit = 10s) {
        return loop_.RunUntil([this] { return end_.has_value(); }, limit);
    }
    // Until the child has exec'ed `comm`, so what /proc shows is the program's own state.
    bool WaitForComm(int pid, const std::string& comm) {
        const std::string file = "/proc/" + std::to_string(pid) + "/comm";
        auto look_again = loop_.StartTimer(
            10ms, [] {}, true);
        return loop_.RunUntil([&] { return ReadFile(file) == comm + "\n"; }, 5s);
    }

    link::PlainMainLoop loop_;
    ScratchDir dir_;
    std::string error_;
    std::optional<ProgramEnd> end_;
};

struct PathForm {
    const char* Name;
    std::string Given;  // relative to the scratch folder unless it starts with '/'
};
void PrintTo(const PathForm& c, std::ostream* out) { *out << c.Name; }

class PathFormTest : public ExternalProgramTest, public ::testing::WithParamInterface<PathForm> {};

// The script reports what it sees from inside: its name, folder, session, priority.
TEST_P(PathFormTest, RunsInItsOwnFolderSessionAndLowestPriority) {
    std::filesystem::create_directory(dir_ / "sub");
    MakeScript(dir_ / "sub/run.sh",
               "#!/bin/sh\n"
               "{ echo \"$0\"; pwd -P; echo $$; cut -d' ' -f6,19 /proc/self/stat; } > report\n"
               "exit 7\n");
    InFolder here(dir_.Path());
    const std::string path =
        GetParam().Given.front() == '/' ? dir_.Path() + GetParam().Given : GetParam().Given;

    auto program = Start(path);
    ASSERT_NE(program, nullptr) << error_;
    ASSERT_TRUE(WaitForEnd());
    EXPECT_TRUE(end_->Known);
    EXPECT_EQ(end_->ExitCode, 7);

    const std::string pid = std::to_string(program->Pid());
    const std::string folder = std::filesystem::canonical(dir_ / "sub").string();
    auto seen = Lines(ReadFile(dir_ / "sub/report"));
    ASSERT_EQ(seen.size(), 4u);
    // The interpreter opens its script by the name it is handed after the change of folder,
    // so that name must still lead to the script from there.
    EXPECT_EQ(std::filesystem::canonical(seen[0]).string(), folder + "/run.sh");
    seen.erase(seen.begin());
    const std::vector<std::string> expected = {folder, pid, pid + " 19"};
    EXPECT_EQ(seen, expected);
}

INSTANTIATE_TEST_SUITE_P(Forms, PathFormTest,
                         ::testing::Values(PathForm{"absolute", "/sub/run.sh"},
                                           PathForm{"relative", "sub/run.sh"},
                                           PathForm{"dotted", "./sub/../sub/run.sh"}),
                         [](const auto& info) { return std::string(info.param.Name); });

// A descriptor we leave open without close-on-exec must not reach the program: it could hold
// a lock file, the serial port or a socket open after we are gone.
TEST_F(ExternalProgramTest, InheritsOnlyNullStdinAndOurOutput) {
    const int leaked = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(leaked, 3);
    auto program = Start(MakeScript(dir_ / "wait.sh", "#!/bin/sh\nexec sleep 30\n"));
    ::close(leaked);
    ASSERT_NE(program, nullptr) << error_;
    ASSERT_TRUE(WaitForComm(program->Pid(), "sleep"));

    const std::string fds = "/proc/" + std::to_string(program->Pid()) + "/fd";
    const auto open_now = [&fds] {
        std::set<std::string> open;
        for (const auto& entry : std::filesystem::directory_iterator(fds))
            open.insert(entry.path().filename().string());
        return open;
    };
    // The kernel names the new program before it closes the close-on-exec descriptors, and the
    // program opens its locale files while it starts: look once it sleeps in its wait. A real
    // leak stays and fails below.
    const std::string stat = "/proc/" + std::to_string(program->Pid()) + "/stat";
    const auto asleep = [&stat] {
        const std::string text = ReadFile(stat);
        const auto end = text.rfind(") ");
        return end != std::string::npos && text.compare(end + 2, 1, "S") == 0;
    };
    const std::set<std::string> standard{"0", "1", "2"};
    auto look_again = loop_.StartTimer(
        10ms, [] {}, true);
    loop_.RunUntil([&] { return asleep() && open_now() == standard; }, 2s);
    EXPECT_EQ(open_now(), standard);
    EXPECT_EQ(std::filesystem::read_symlink(fds + "/0"), "/dev/null");

    ::kill(program->Pid(), SIGKILL);
    ASSERT_TRUE(WaitForEnd());
    EXPECT_TRUE(end_->Known);
    EXPECT_EQ(end_->Signal, SIGKILL);
}

struct StartFailure {
    const char* Name;
    std::function<std::string(const ScratchDir&)> Make;  // gives the path to start
    std::string Error;
};
void PrintTo(const StartFailure& c, std::ostream* out) { *out << c.Name; }

class StartFailureTest : public ExternalProgramTest,
                         public ::testing::WithParamInterface<StartFailure> {};

// Exec fails in the child, after fork; the reason must still come back, and the child must not
// stay behind as a zombie.
TEST_P(StartFailureTest, ReportsTheReasonAndLeavesNoChild) {
    const std::string path = GetParam().Make(dir_);
    auto program = Start(path);
    EXPECT_EQ(program, nullptr);
    EXPECT_EQ(error_, GetParam().Error);
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
    EXPECT_FALSE(WaitForEnd(50ms));
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Reasons, StartFailureTest, ::testing::Values(
    StartFailure{"missing", [](const ScratchDir& d) { return d / "gone.sh"; },
                 "No such file or directory"},
    StartFailure{"empty_path", [](const ScratchDir&) { return std::string(); },
                 "No such file or directory"},
    StartFailure{"not_executable",
                 [](const ScratchDir& d) { return MakeScript(d / "plain.sh", "#!/bin/sh\n", 0644); },
                 "Permission denied"},
    StartFailure{"bad_interpreter",
                 [](const ScratchDir& d) { return MakeScript(d / "bad.sh", "#!/no/such/sh\n"); },
                 "No such file or directory"},
    StartFailure{"no_interpreter_line",
                 [](const ScratchDir& d) { return MakeScript(d / "bare.sh", "exit 0\n"); },
                 "Exec format error"},
    StartFailure{"a_folder", [](const ScratchDir& d) { return d.Path(); },
                 "Permission denied"}),
    [](const auto& info) { return std::string(info.param.Name); });
// clang-format on

TEST_F(ExternalProgramTest, LoopKeepsRunningWhileTheProgramRuns) {
    const std::string path = MakeScript(dir_ / "slow.sh", "#!/bin/sh\nsleep 0.6\n");
    int ticks = 0;
    auto tick = loop_.StartTimer(
        50ms, [&] { ++ticks; }, true);

    const auto before = std::chrono::steady_clock::now();
    auto program = Start(path);
    EXPECT_LT(std::chrono::steady_clock::now() - before, 300ms);
    ASSERT_NE(program, nullptr) << error_;
    ASSERT_TRUE(WaitForEnd());
    EXPECT_GE(ticks, 5);
    EXPECT_EQ(end_->ExitCode, 0);
}

// Closing the program must neither wait for the script nor kill it.
TEST_F(ExternalProgramTest, DestroyingLeavesTheProgramRunningAndUnreaped) {
    auto program = Start(MakeScript(dir_ / "long.sh", "#!/bin/sh\nexec sleep 30\n"));
    ASSERT_NE(program, nullptr) << error_;
    const int pid = program->Pid();

    const auto before = std::chrono::steady_clock::now();
    program.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - before, 1s);
    EXPECT_EQ(::kill(pid, 0), 0);
    EXPECT_FALSE(WaitForEnd(200ms));

    ::kill(pid, SIGKILL);
    EXPECT_EQ(::waitpid(pid, nullptr, 0), pid);
    EXPECT_FALSE(end_.has_value());
}

TEST_F(ExternalProgramTest, ReapsOnlyItsOwnChild) {
    const pid_t other = ::fork();
    if (other == 0) ::_exit(3);
    ASSERT_GT(other, 0);

    auto program = Start(MakeScript(dir_ / "quick.sh", "#!/bin/sh\nexit 0\n"));
    ASSERT_NE(program, nullptr) << error_;
    ASSERT_TRUE(WaitForEnd());
    int status = 0;
    EXPECT_EQ(::waitpid(other, &status, 0), other);
    EXPECT_EQ(WEXITSTATUS(status), 3);
}

}  // namespace
}  // namespace gw::monitor
