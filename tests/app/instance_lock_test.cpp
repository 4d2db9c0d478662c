#include "app/instance_lock.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

namespace gw::app {
namespace {

class InstanceLockTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/gw-lock-XXXXXX";
        dir_ = mkdtemp(tmpl);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::string dir_;
};

TEST_F(InstanceLockTest, SecondCopyLearnsThatTheFirstRuns) {
    InstanceLocks first;
    first.Take(dir_);
    ASSERT_FALSE(first.AnotherCopyRuns);
    EXPECT_TRUE(first.Instance.Held());
    EXPECT_TRUE(first.Data.Held());
    EXPECT_TRUE(std::filesystem::exists(dir_ + "/GWDNMutex.lock"));
    EXPECT_TRUE(std::filesystem::exists(dir_ + "/DataGWDNMutex.lock"));

    // Another process, as a second copy of the program would be.
    const pid_t child = fork();
    if (child == 0) {
        InstanceLocks second;
        second.Take(dir_);
        _exit(second.AnotherCopyRuns && !second.Instance.Held() && !second.Data.Held() ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    first.Release();
    InstanceLocks third;
    third.Take(dir_);
    EXPECT_FALSE(third.AnotherCopyRuns);
}

TEST_F(InstanceLockTest, ACopyHoldingOnlyTheDataLockStillCounts) {
    NamedLock data;
    std::string error;
    ASSERT_EQ(data.Take(dir_, kDataLockName, error), NamedLock::Outcome::Taken);
    InstanceLocks second;
    second.Take(dir_);
    EXPECT_TRUE(second.AnotherCopyRuns);
    EXPECT_FALSE(second.Instance.Held()) << "the refused copy gives back what it took";
}

TEST_F(InstanceLockTest, NoRuntimeFolderIsAProblemButNotARefusal) {
    InstanceLocks locks;
    locks.Take(dir_ + "/missing");
    EXPECT_FALSE(locks.AnotherCopyRuns);
    EXPECT_NE(locks.Problem.find("missing/GWDNMutex.lock"), std::string::npos) << locks.Problem;
}

// How the window finds the system service: its lock held, without opening the lock file.
TEST_F(InstanceLockTest, SeesAServiceLockOnlyWhileItIsHeld) {
    EXPECT_FALSE(LockHeld(dir_, kInstanceLockName)) << "no file";
    {
        InstanceLocks service;
        service.Take(dir_);
        EXPECT_TRUE(LockHeld(dir_, kInstanceLockName));
        ::chmod((dir_ + "/GWDNMutex.lock").c_str(), 0);
        EXPECT_TRUE(LockHeld(dir_, kInstanceLockName)) << "a file this user may not open";
    }
    EXPECT_FALSE(LockHeld(dir_, kInstanceLockName)) << "the file stays, the lock went";
}

TEST(RuntimeDir, FallsBackToAPrivateFolder) {
    const char* saved = getenv("XDG_RUNTIME_DIR");
    const std::string keep = saved ? saved : "";
    unsetenv("XDG_RUNTIME_DIR");
    const std::string dir = RuntimeDir();
    if (!keep.empty()) setenv("XDG_RUNTIME_DIR", keep.c_str(), 1);
    EXPECT_EQ(dir, "/tmp/gridwarden-" + std::to_string(getuid()));
    struct stat info {};
    ASSERT_EQ(stat(dir.c_str(), &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode));
}

}  // namespace
}  // namespace gw::app
