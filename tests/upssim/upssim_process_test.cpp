// Starts the simulator program and talks to it as the monitor would: through
// the COM1 link with plain termios, and through its --send client.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kDeadline = std::chrono::seconds(10);

class SimulatorProcess : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/upssim-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        const std::string config = dir_ + "/config";
        const std::string runtime = dir_ + "/runtime";
        ASSERT_EQ(mkdir(config.c_str(), 0700), 0);
        ASSERT_EQ(mkdir(runtime.c_str(), 0700), 0);
        // Inherited by the simulator and by its --send client.
        setenv("XDG_CONFIG_HOME", config.c_str(), 1);
        setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
        link_ = config + "/gridwarden/ports/COM1";
    }

    void TearDown() override {
        if (port_ >= 0) close(port_);
        if (out_ >= 0) close(out_);
        if (pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }

    void Start() {
        int pipe_fds[2];
        ASSERT_EQ(pipe(pipe_fds), 0);
        pid_ = fork();
        ASSERT_GE(pid_, 0);
        if (pid_ == 0) {
            dup2(pipe_fds[1], STDOUT_FILENO);
            const int null = open("/dev/null", O_RDONLY);
            dup2(null, STDIN_FILENO);
            close(pipe_fds[0]);
            execl(UPSSIM_PATH, UPSSIM_PATH, "--com", "1", static_cast<char*>(nullptr));
            _exit(127);
        }
        close(pipe_fds[1]);
        out_ = pipe_fds[0];
    }

    // Reads the simulator's stdout up to the first newline.
    std::string FirstLine() {
        std::string line;
        const auto until = Clock::now() + kDeadline;
        char c;
        while (Clock::now() < until) {
            pollfd pfd{out_, POLLIN, 0};
            if (poll(&pfd, 1, 100) <= 0) continue;
            if (read(out_, &c, 1) != 1 || c == '\n') break;
            line += c;
        }
        return line;
    }

    void OpenPort() {
        port_ = open(link_.c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(port_, 0) << link_;
        termios settings{};
        ASSERT_EQ(tcgetattr(port_, &settings), 0);
        cfmakeraw(&settings);
        cfsetispeed(&settings, B2400);
        cfsetospeed(&settings, B2400);
        ASSERT_EQ(tcsetattr(port_, TCSANOW, &settings), 0);
        tcflush(port_, TCIOFLUSH);
    }

    // Sends a command and collects the reply up to its CR.
    std::string Exchange(const std::string& command) {
        EXPECT_EQ(write(port_, command.data(), command.size()),
                  static_cast<ssize_t>(command.size()));
        std::string reply;
        const auto until = Clock::now() + kDeadline;
        while (Clock::now() < until && (reply.empty() || reply.back() != '\r')) {
            pollfd pfd{port_, POLLIN, 0};
            if (poll(&pfd, 1, 100) <= 0) continue;
            char buffer[256];
            const ssize_t n = read(port_, buffer, sizeof buffer);
            if (n > 0) reply.append(buffer, static_cast<std::size_t>(n));
        }
        return reply;
    }

    int Send(const std::string& command, std::string& output) {
        const std::string line = std::string(UPSSIM_PATH) + " --com 1 --send '" + command + "'";
        FILE* pipe = popen(line.c_str(), "r");
        if (pipe == nullptr) return -1;
        char buffer[256];
        while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) output += buffer;
        return pclose(pipe);
    }

    bool ExitsWithin(int& status) {
        const auto until = Clock::now() + kDeadline;
        while (Clock::now() < until) {
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    std::string dir_;
    std::string link_;
    pid_t pid_ = -1;
    int out_ = -1;
    int port_ = -1;
};

TEST_F(SimulatorProcess, ServesTheLinkAndObeysTheControlSocket) {
    Start();
    const std::string first = FirstLine();
    ASSERT_EQ(first.rfind("upssim: COM1 -> /dev/pts/", 0), 0u) << first;
    struct stat st {};
    ASSERT_EQ(lstat(link_.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));

    OpenPort();
    std::string reply = Exchange("Q1\r");
    ASSERT_EQ(reply.size(), 47u) << reply;
    EXPECT_EQ(reply.front(), '(');
    EXPECT_EQ(reply.back(), '\r');
    EXPECT_EQ(reply[38], '0') << "mains present at start";

    std::string answer;
    EXPECT_EQ(Send("fail", answer), 0);
    EXPECT_EQ(answer, "ok\n");
    reply = Exchange("Q1\r");
    ASSERT_EQ(reply.size(), 47u) << reply;
    EXPECT_EQ(reply[38], '1') << reply;

    answer.clear();
    EXPECT_NE(Send("no-such-command", answer), 0);
    EXPECT_EQ(answer.rfind("error: ", 0), 0u) << answer;

    ASSERT_EQ(kill(pid_, SIGTERM), 0);
    int status = 0;
    ASSERT_TRUE(ExitsWithin(status));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_NE(lstat(link_.c_str(), &st), 0) << "the COM1 link is removed on exit";
}

}  // namespace
