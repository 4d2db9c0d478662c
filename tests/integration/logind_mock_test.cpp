// The power layer against a login manager that is not the machine's: a private dbus-daemon with
// dbusmock's logind template on it. Nothing here reaches the real system bus.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sdbus-c++/sdbus-c++.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "fakes/bus_name.h"
#include "fakes/recording_log.h"
#include "integration/sim_process.h"
#include "link/plain_main_loop.h"
#include "monitor/system_power.h"

extern char** environ;

namespace gw::monitor {
namespace {

using namespace std::chrono_literals;

constexpr const char* kDaemon = "/usr/bin/dbus-daemon";
constexpr const char* kPython = "/usr/bin/python3";
constexpr const char* kLogind = "org.freedesktop.login1";
constexpr const char* kObject = "/org/freedesktop/login1";
constexpr const char* kManager = "org.freedesktop.login1.Manager";
constexpr const char* kMock = "org.freedesktop.DBus.Mock";

// A child process, ended (TERM, then KILL) when this goes.
class Child {
public:
    Child() = default;
    Child(const std::vector<std::string>& args, const std::vector<std::string>& env, int out_fd) {
        std::vector<char*> argv;
        for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        std::vector<char*> envp;
        for (const auto& entry : env) envp.push_back(const_cast<char*>(entry.c_str()));
        envp.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        if (out_fd >= 0) {
            posix_spawn_file_actions_adddup2(&actions, out_fd, 1);
        } else {
            posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        }
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
    }
    Child(Child&& other) noexcept : pid_(other.pid_) { other.pid_ = -1; }
    Child& operator=(Child&& other) noexcept {
        std::swap(pid_, other.pid_);
        return *this;
    }
    ~Child() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        for (int i = 0; i < 100; ++i) {
            if (waitpid(pid_, nullptr, WNOHANG) == pid_) return;
            std::this_thread::sleep_for(20ms);
        }
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    bool Started() const { return pid_ > 0; }

private:
    pid_t pid_ = -1;
};

// This process's environment with both bus addresses pointing at the private bus.
std::vector<std::string> EnvironmentFor(const std::string& address) {
    std::vector<std::string> env;
    for (char** entry = environ; *entry; ++entry) {
        if (std::strncmp(*entry, "DBUS_SESSION_BUS_ADDRESS=", 25) == 0) continue;
        if (std::strncmp(*entry, "DBUS_SYSTEM_BUS_ADDRESS=", 24) == 0) continue;
        env.emplace_back(*entry);
    }
    env.push_back("DBUS_SESSION_BUS_ADDRESS=" + address);
    env.push_back("DBUS_SYSTEM_BUS_ADDRESS=" + address);
    return env;
}

struct Recorder final : PollingControl, PowerHooks {
    void StartPolling() override {}
    void PausePolling() override { Paused = true; }
    void ResumePolling() override { Paused = false; }
    bool PollingPaused() const override { return Paused; }
    void EndPolling() override { Ended = true; }
    void StopReportTimers() override { TimersRunning = false; }
    void RestartReportTimers() override { TimersRunning = true; }
    void AllowClose() override {}
    void RunCloseSequence() override {
        ++Closes;
        if (OnClose) OnClose();
    }
    bool Paused = false;
    bool Ended = false;
    bool TimersRunning = true;
    int Closes = 0;
    std::function<void()> OnClose;
};

class LogindMockTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (access(kDaemon, X_OK) != 0) GTEST_SKIP() << "dbus-daemon is not installed";
        if (gw::testing::RunProgram({kPython, "-c", "import dbusmock"}, 30s).ExitStatus != 0) {
            GTEST_SKIP() << "python3-dbusmock is not installed";
        }
    }

    // The bus and the mock, with the template's parameters as JSON.
    // `listen` empty: an address of the bus's choosing.
    void StartPeers(const std::string& parameters = "{}",
                    const std::string& logind_template = "logind", const std::string& listen = "") {
        int fds[2];
        ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
        std::vector<std::string> args{kDaemon, "--session", "--print-address", "--nofork"};
        if (!listen.empty()) args.push_back("--address=" + listen);
        daemon_ = Child(args, EnvironmentFor(""), fds[1]);
        close(fds[1]);
        ASSERT_TRUE(daemon_.Started());
        address_ = ReadLine(fds[0], 10s);
        close(fds[0]);
        ASSERT_FALSE(address_.empty()) << "dbus-daemon printed no address";

        mock_ = Child({kPython, "-m", "dbusmock", "--template", logind_template, "--session", "-p",
                       parameters},
                      EnvironmentFor(address_), -1);
        ASSERT_TRUE(mock_.Started());
        control_ = sdbus::createSessionBusConnectionWithAddress(address_);
        ASSERT_TRUE(fakes::WaitForBusName(*control_, kLogind))
            << "the logind mock did not appear on the bus";
        logind_ = sdbus::createProxy(*control_, kLogind, kObject);
    }

    static std::string ReadLine(int fd, std::chrono::milliseconds limit) {
        std::string text;
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (text.find('\n') == std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd entry{fd, POLLIN, 0};
            if (left.count() <= 0 || poll(&entry, 1, static_cast<int>(left.count())) <= 0) {
                return {};
            }
            char buffer[256];
            const ssize_t n = read(fd, buffer, sizeof buffer);
            if (n <= 0) return {};
            text.append(buffer, static_cast<std::size_t>(n));
        }
        return text.substr(0, text.find('\n'));
    }

    std::unique_ptr<SystemPower> MakePower() {
        std::string error;
        auto backend = CreateLogindPowerControl(address_, loop_, error);
        EXPECT_EQ(error, "");
        return std::make_unique<SystemPower>(std::move(backend), loop_, log_, hooks_, hooks_);
    }

    // The methods the mock saw since the last call, with their first argument when it is a
    // boolean: "CanSuspend", "Suspend false". Waits (running the loop) until there are at least
    // `count`.
    std::vector<std::string> TakeCalls(std::size_t count = 0) {
        std::vector<std::string> names;
        loop_.RunUntil([&] { return (names = Calls()).size() >= count; }, 10s);
        logind_->callMethod("ClearCalls").onInterface(kMock);
        return names;
    }
    std::vector<std::string> Calls() {
        std::vector<sdbus::Struct<uint64_t, std::string, std::vector<sdbus::Variant>>> calls;
        logind_->callMethod("GetCalls").onInterface(kMock).storeResultsTo(calls);
        std::vector<std::string> names;
        for (auto& call : calls) {
            std::string name = call.get<1>();
            const auto& args = call.get<2>();
            if (!args.empty() && args[0].containsValueOfType<bool>()) {
                name += args[0].get<bool>() ? " true" : " false";
            }
            names.push_back(name);
        }
        return names;
    }

    using InhibitorRow =
        sdbus::Struct<std::string, std::string, std::string, std::string, uint32_t, uint32_t>;
    std::vector<InhibitorRow> Inhibitors() {
        std::vector<InhibitorRow> rows;
        logind_->callMethod("ListInhibitors").onInterface(kManager).storeResultsTo(rows);
        return rows;
    }
    // The mock drops an inhibitor when it sees its descriptor closed, a moment later.
    bool WaitForInhibitors(std::size_t count) {
        return loop_.RunUntil([&] { return Inhibitors().size() == count; }, 10s);
    }

    void Emit(const char* signal, bool start) {
        logind_->callMethod("EmitSignal")
            .onInterface(kMock)
            .withArguments(std::string(kManager), std::string(signal), std::string("b"),
                           std::vector<sdbus::Variant>{sdbus::Variant(start)});
    }

    link::PlainMainLoop loop_;
    fakes::RecordingLog log_;
    Recorder hooks_;
    Child daemon_;
    Child mock_;
    std::string address_;
    std::unique_ptr<sdbus::IConnection> control_;
    std::unique_ptr<sdbus::IProxy> logind_;
};

TEST_F(LogindMockTest, EachActionAsksThenCallsItsMethodWithoutInteraction) {
    StartPeers();
    struct Row {
        PowerAction Action;
        std::vector<std::string> Calls;
    };
    for (const Row& row : {Row{PowerAction::PowerOff, {"CanPowerOff", "PowerOff false"}},
                           Row{PowerAction::Suspend, {"CanSuspend", "Suspend false"}},
                           Row{PowerAction::Hibernate, {"CanHibernate", "Hibernate false"}}}) {
        SCOPED_TRACE(RowOf(row.Action).Name);
        auto power = MakePower();
        TakeCalls(5);  // the two inhibitors and the three questions of start-up
        EXPECT_TRUE(power->Act(row.Action));
        EXPECT_EQ(TakeCalls(row.Calls.size()), row.Calls);
    }
}

TEST_F(LogindMockTest, AnswersOtherThanYesAreRefusals) {
    StartPeers(R"({"CanPowerOff": "challenge", "CanSuspend": "no", "CanHibernate": "na"})");
    auto power = MakePower();
    int changes = 0;
    power->OnAllowedChanged([&] { ++changes; });
    ASSERT_TRUE(loop_.RunUntil([&] { return changes == 3; }, 10s));
    TakeCalls();
    for (PowerAction action :
         {PowerAction::PowerOff, PowerAction::Suspend, PowerAction::Hibernate}) {
        EXPECT_FALSE(power->Allowed(action));
        EXPECT_TRUE(power->Act(action));
        ASSERT_TRUE(loop_.RunUntil([&] { return !power->Acting(); }, 10s));
    }
    EXPECT_EQ(log_.Lines, (std::vector<std::string>{"Power off failed: not allowed (challenge)",
                                                    "Suspend failed: not allowed (no)",
                                                    "Hibernate failed: not allowed (na)"}));
    for (const std::string& call : TakeCalls()) EXPECT_EQ(call.rfind("Can", 0), 0u) << call;
    EXPECT_FALSE(hooks_.Ended);
    EXPECT_FALSE(hooks_.Paused);
}

TEST_F(LogindMockTest, ErrorReplyToPowerOffIsLoggedAndMonitoringGoesOn) {
    StartPeers();
    logind_->callMethod("AddMethod")
        .onInterface(kMock)
        .withArguments(std::string(kManager), std::string("PowerOff"), std::string("b"),
                       std::string(""),
                       std::string("raise dbus.exceptions.DBusException('Operation denied', "
                                   "name='org.freedesktop.login1.OperationInProgress')"));
    auto power = MakePower();
    EXPECT_TRUE(power->SystemShutdown());
    ASSERT_TRUE(loop_.RunUntil([&] { return !power->Acting(); }, 10s));
    EXPECT_EQ(log_.Lines, std::vector<std::string>{"Power off failed: Operation denied"});
    EXPECT_FALSE(hooks_.Ended);
    EXPECT_FALSE(power->Acting());
}

TEST_F(LogindMockTest, SleepAndWakePauseAndResumeAroundTheInhibitor) {
    StartPeers();
    auto power = MakePower();
    ASSERT_TRUE(WaitForInhibitors(2));
    std::set<std::string> kinds;
    for (const InhibitorRow& row : Inhibitors()) {
        kinds.insert(row.get<0>());
        EXPECT_EQ(row.get<1>(), "Gridwarden");
        EXPECT_EQ(row.get<2>(), kInhibitWhy);
        EXPECT_EQ(row.get<3>(), "delay");
    }
    EXPECT_EQ(kinds, (std::set<std::string>{"shutdown", "sleep"}));

    Emit("PrepareForSleep", true);
    ASSERT_TRUE(loop_.RunUntil([&] { return hooks_.Paused; }, 10s));
    EXPECT_FALSE(hooks_.TimersRunning);
    ASSERT_TRUE(WaitForInhibitors(1));  // the power-off one stays
    EXPECT_EQ(Inhibitors()[0].get<0>(), "shutdown");

    Emit("PrepareForSleep", false);
    ASSERT_TRUE(loop_.RunUntil([&] { return !hooks_.Paused; }, 10s));
    EXPECT_TRUE(hooks_.TimersRunning);
    EXPECT_TRUE(WaitForInhibitors(2));
    EXPECT_EQ(log_.Lines,
              (std::vector<std::string>{"WM_POWERBROADCAST 0x0004", "WM_POWERBROADCAST 0x0012"}));
}

TEST_F(LogindMockTest, PowerOffWaitsForTheCloseSequence) {
    StartPeers();
    auto power = MakePower();
    ASSERT_TRUE(WaitForInhibitors(2));
    std::size_t held_during_close = 0;
    hooks_.OnClose = [&] { held_during_close = Inhibitors().size(); };

    Emit("PrepareForShutdown", true);
    ASSERT_TRUE(loop_.RunUntil([&] { return hooks_.Closes > 0; }, 10s));
    EXPECT_EQ(held_during_close, 2u);
    EXPECT_TRUE(WaitForInhibitors(0));
    EXPECT_EQ(hooks_.Closes, 1);
}

// logind checks a call for "sleep:shutdown" against a permission of its own, which the
// package's policy rightly does not grant its service: both must still be held.
TEST_F(LogindMockTest, HoldsBothInhibitorsWhereEachIsGrantedOnlyAlone) {
    StartPeers("{}", GW_LOGIND_ONE_KIND_TEMPLATE);
    auto power = MakePower();
    ASSERT_TRUE(loop_.RunUntil([&] { return power->InhibitorHeld(); }, 10s));
    EXPECT_EQ(Inhibitors().size(), 2u);
    EXPECT_EQ(log_.Lines, std::vector<std::string>{});
}

// A login manager that takes seconds to answer must not hold up the main thread: evaluation
// and the countdown run on it. Questions and requests go out at once; the answers come later.
TEST_F(LogindMockTest, SlowAnswersDoNotHoldUpTheMainThread) {
    StartPeers(R"({"CanSuspend": "na", "CanHibernate": "na"})");
    auto power = MakePower();
    int changes = 0;
    power->OnAllowedChanged([&] { ++changes; });
    ASSERT_TRUE(loop_.RunUntil([&] { return changes == 2; }, 10s));  // start-up's answers
    // The mock answers one call at a time: whatever is asked after this waits for it too.
    logind_->callMethod("AddMethod")
        .onInterface(kMock)
        .withArguments(std::string(kManager), std::string("CanSuspend"), std::string(""),
                       std::string("s"), std::string("import time\ntime.sleep(3)\nret = 'yes'"));
    int ticks = 0;
    auto ticker = loop_.StartTimer(
        100ms, [&] { ++ticks; }, /*repeating=*/true);

    const auto asked = std::chrono::steady_clock::now();
    power->RefreshAllowed();
    power->Act(PowerAction::Hibernate);
    const auto returned = std::chrono::steady_clock::now();
    EXPECT_FALSE(power->Allowed(PowerAction::Suspend));  // the last answer until the next comes
    EXPECT_TRUE(log_.Lines.empty());

    ASSERT_TRUE(loop_.RunUntil([&] { return !power->Acting(); }, 10s));
    const auto answered = std::chrono::steady_clock::now();
    EXPECT_TRUE(power->Allowed(PowerAction::Suspend));
    EXPECT_EQ(changes, 3);
    EXPECT_EQ(log_.Lines, std::vector<std::string>{"Hibernate failed: not allowed (na)"});
    // Generous bounds: the calls return in far less than a second, the answers take three.
    EXPECT_LT(returned - asked, 1s);
    EXPECT_GE(answered - asked, 2s);
    EXPECT_GE(ticks, 10);  // the loop ran on meanwhile
}

// At power-off the system bus may stop before the service does. Its going must end nothing: the
// program still runs its close sequence, and a request made after it fails with a log line.
TEST_F(LogindMockTest, TheBusGoingAwayEndsNothing) {
    StartPeers();
    auto power = MakePower();
    ASSERT_TRUE(loop_.RunUntil([&] { return !Inhibitors().empty(); }, 10s));
    logind_.reset();
    control_.reset();
    daemon_ = Child();  // ends the bus
    loop_.RunUntil([] { return false; }, 500ms);

    EXPECT_TRUE(power->SystemShutdown());
    ASSERT_TRUE(loop_.RunUntil([&] { return !power->Acting(); }, 10s));
    ASSERT_FALSE(log_.Lines.empty());
    EXPECT_EQ(log_.Lines.back().rfind("Power off failed: ", 0), 0u) << log_.Lines.back();
    power.reset();
}

// A service may start before the system bus does: once the bus is there, it holds its
// inhibitors and its power actions go through, without a restart.
TEST_F(LogindMockTest, ABusThatComesLaterIsUsed) {
    char folder[] = "/tmp/gw-late-bus-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string listen = std::string("unix:path=") + folder + "/bus";
    std::string error;
    auto backend = CreateLogindPowerControl(listen, loop_, error);
    ASSERT_FALSE(error.empty());
    SystemPower power(std::move(backend), loop_, log_, hooks_, hooks_);

    StartPeers("{}", "logind", listen);
    // The inhibitor's next retry connects.
    EXPECT_TRUE(loop_.RunUntil([&] { return power.InhibitorHeld(); }, 20s));
    EXPECT_TRUE(power.Act(PowerAction::PowerOff));
    EXPECT_TRUE(loop_.RunUntil(
        [&] {
            const auto calls = Calls();
            return std::find(calls.begin(), calls.end(), "PowerOff false") != calls.end();
        },
        10s));
    unlink((std::string(folder) + "/bus").c_str());
    rmdir(folder);
}

// Needs no peers: a bus that is not there.
TEST(LogindUnreachableTest, EveryActionSaysWhy) {
    link::PlainMainLoop loop;
    fakes::RecordingLog log;
    Recorder hooks;
    std::string error;
    auto backend = CreateLogindPowerControl("unix:path=/nonexistent/gridwarden-bus", loop, error);
    ASSERT_NE(backend, nullptr);
    ASSERT_FALSE(error.empty());
    SystemPower power(std::move(backend), loop, log, hooks, hooks);
    for (PowerAction action : {PowerAction::Suspend, PowerAction::PowerOff}) {
        EXPECT_TRUE(power.Act(action));
        ASSERT_TRUE(loop.RunUntil([&] { return !power.Acting(); }, 10s));
    }
    EXPECT_FALSE(power.Allowed(PowerAction::Hibernate));
    EXPECT_EQ(log.Lines,
              (std::vector<std::string>{"Power events: no delay inhibitor: " + error,
                                        "Suspend failed: " + error, "Power off failed: " + error}));
    EXPECT_FALSE(hooks.Paused);
    EXPECT_FALSE(hooks.Ended);
}

}  // namespace
}  // namespace gw::monitor
