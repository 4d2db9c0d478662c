#include "monitor/journal_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "fakes/manual_main_loop.h"
#include "test_files.h"

namespace gw::monitor {
namespace {

using testing::FileSizeLimit;
using testing::ReadFile;
using testing::ScratchDir;
using testing::WriteFile;

mode_t ModeOf(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 0777) : 0;
}

class JournalFileTest : public ::testing::Test {
protected:
    ScratchDir dir_;
    JournalFile journal_;
    std::string error_;
};

TEST_F(JournalFileTest, CreatesPrivateFoldersAndAppendsWholeLines) {
    const std::string folder = dir_ / "state/gridwarden";
    ASSERT_TRUE(journal_.Open(folder, error_)) << error_;
    EXPECT_EQ(ModeOf(dir_ / "state"), 0700u);
    EXPECT_EQ(ModeOf(folder), 0700u);
    ASSERT_TRUE(journal_.Append("2026-12-07 02:11:24 Power Fail", error_)) << error_;
    ASSERT_TRUE(journal_.Append("2026-12-07 02:21:24 \xB0", error_)) << error_;
    EXPECT_EQ(ModeOf(journal_.Path()), 0600u);
    EXPECT_EQ(ReadFile(folder + "/journal.log"),
              "2026-12-07 02:11:24 Power Fail\n2026-12-07 02:21:24 \xB0\n");
}

TEST_F(JournalFileTest, RotatesWithoutLosingLinesAndKeepsOneOlderFile) {
    // Each line is 8 bytes with its newline, so a 20-byte file holds two.
    ASSERT_TRUE(journal_.Open(dir_.Path(), error_, 20)) << error_;
    std::string everything;
    for (int i = 1; i <= 7; ++i) {
        const std::string line = "line-0" + std::to_string(i);
        ASSERT_TRUE(journal_.Append(line, error_)) << error_;
        everything += line + "\n";
        const std::string kept = ReadFile(dir_ / "journal.log.1") + ReadFile(dir_ / "journal.log");
        // Whatever the two files keep is the newest, unbroken run of lines.
        ASSERT_EQ(everything.substr(everything.size() - kept.size()), kept) << "after " << i;
        EXPECT_LE(ReadFile(dir_ / "journal.log").size(), 20u);
    }
    EXPECT_EQ(ReadFile(dir_ / "journal.log.1"), "line-05\nline-06\n");
    EXPECT_EQ(ReadFile(dir_ / "journal.log"), "line-07\n");
}

TEST_F(JournalFileTest, LineLongerThanTheLimitIsStillWritten) {
    ASSERT_TRUE(journal_.Open(dir_.Path(), error_, 10)) << error_;
    ASSERT_TRUE(journal_.Append("short", error_));
    const std::string long_line(50, 'w');
    ASSERT_TRUE(journal_.Append(long_line, error_));
    EXPECT_EQ(ReadFile(dir_ / "journal.log.1"), "short\n");
    EXPECT_EQ(ReadFile(dir_ / "journal.log"), long_line + "\n");
}

TEST_F(JournalFileTest, LineAfterATornEndStartsOnItsOwnLine) {
    WriteFile(dir_ / "journal.log", "complete\ntor");
    ASSERT_TRUE(journal_.Open(dir_.Path(), error_)) << error_;
    ASSERT_TRUE(journal_.Append("next", error_));
    EXPECT_EQ(ReadFile(dir_ / "journal.log"), "complete\ntor\nnext\n");
}

TEST_F(JournalFileTest, RecoversAfterAFailedWrite) {
    ASSERT_TRUE(journal_.Open(dir_.Path(), error_)) << error_;
    ASSERT_TRUE(journal_.Append("first", error_));
    {
        FileSizeLimit limit(10);
        EXPECT_FALSE(journal_.Append("too long for the limit", error_));
    }
    EXPECT_NE(error_.find("File too large"), std::string::npos) << error_;
    EXPECT_NE(error_.find(journal_.Path()), std::string::npos) << error_;
    ASSERT_TRUE(journal_.Append("third", error_)) << error_;
    const std::string text = ReadFile(dir_ / "journal.log");
    EXPECT_EQ(text.substr(0, 6), "first\n");
    EXPECT_EQ(text.substr(text.size() - 7), "\nthird\n");
}

TEST_F(JournalFileTest, UnusablePlaceGivesErrorsNotCrashes) {
    WriteFile(dir_ / "plain-file", "");
    EXPECT_FALSE(journal_.Open(dir_ / "plain-file/gridwarden", error_));
    EXPECT_NE(error_.find("Not a directory"), std::string::npos) << error_;
    EXPECT_FALSE(journal_.IsOpen());
    error_.clear();
    EXPECT_FALSE(journal_.Append("lost?", error_));
    EXPECT_FALSE(error_.empty());

    JournalFile never_opened;
    EXPECT_FALSE(never_opened.Append("x", error_));
    EXPECT_FALSE(never_opened.Open("", error_));
}

TEST_F(JournalFileTest, AttachedJournalReportsAFailureOnceUntilItWorksAgain) {
    WriteFile(dir_ / "blocker", "");
    const std::string folder = dir_ / "blocker";
    EXPECT_FALSE(journal_.Open(folder, error_));

    EventLog log;
    std::vector<std::string> reports;
    AttachJournal(log, journal_, [&](const std::string& error) {
        reports.push_back(error);
        log.AppendLog("Journal failed: " + error);  // comes back through the journal
    });
    log.AppendLog("Power Fail");
    log.AppendLog("Power O.K.");
    EXPECT_EQ(reports.size(), 1u);
    EXPECT_EQ(log.Lines().size(), 3u);

    ASSERT_EQ(std::remove(folder.c_str()), 0);  // the place becomes usable
    log.AppendLog("Battery Low");
    EXPECT_EQ(reports.size(), 1u);
    std::string written;
    for (const std::string& line : log.Lines()) written += line + "\n";
    EXPECT_EQ(ReadFile(folder + "/journal.log"), written) << "the kept lines come first";

    journal_.Close();
    log.AppendLog("Stop Monitoring");
    log.AppendLog("Start Monitoring");
    EXPECT_EQ(reports.size(), 2u);
}

TEST_F(JournalFileTest, FullDiskKeepsTheNewestLinesAndWritesThemWhenSpaceReturns) {
    ASSERT_TRUE(journal_.Open(dir_.Path(), error_)) << error_;
    journal_.SetMaxUnwrittenLines(3);
    fakes::ManualLoop loop;
    EventLog log([] { return std::chrono::system_clock::time_point{}; });
    const std::string stamp = DateTimeText({}) + " ";
    std::vector<std::string> reports;
    AttachJournal(
        log, journal_, [&](const std::string& error) { reports.push_back(error); }, &loop);
    log.AppendLog("Start Monitoring");
    {
        FileSizeLimit full(ReadFile(journal_.Path()).size());
        for (const char* line : {"Power Fail", "Shutdown in 600 s", "Power O.K.", "Battery Low"})
            log.AppendLog(line);
        loop.AdvanceBy(kJournalRetryPeriod);  // still full
    }
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_NE(reports[0].find("File too large"), std::string::npos) << reports[0];
    EXPECT_EQ(ReadFile(journal_.Path()), stamp + "Start Monitoring\n");

    loop.AdvanceBy(kJournalRetryPeriod);  // space is back; nothing new was logged
    EXPECT_EQ(
        ReadFile(journal_.Path()),
        stamp + "Start Monitoring\n[Lines lost here while the journal could not be written: 1]\n" +
            stamp + "Shutdown in 600 s\n" + stamp + "Power O.K.\n" + stamp + "Battery Low\n");
    EXPECT_FALSE(journal_.HasUnwritten());
}

struct DirCase {
    std::optional<std::string> xdg_state_home;
    std::string home;
    std::string expected;
};

void PrintTo(const DirCase& c, std::ostream* out) {
    *out << "XDG_STATE_HOME=" << (c.xdg_state_home ? "'" + *c.xdg_state_home + "'" : "unset");
}

class DefaultJournalDirTest : public ::testing::TestWithParam<DirCase> {
protected:
    void SetUp() override {
        Save("XDG_STATE_HOME", saved_state_);
        Save("HOME", saved_home_);
    }
    void TearDown() override {
        Restore("XDG_STATE_HOME", saved_state_);
        Restore("HOME", saved_home_);
    }
    static void Save(const char* name, std::optional<std::string>& into) {
        if (const char* value = std::getenv(name)) into = value;
    }
    static void Restore(const char* name, const std::optional<std::string>& value) {
        if (value) {
            ::setenv(name, value->c_str(), 1);
        } else {
            ::unsetenv(name);
        }
    }
    std::optional<std::string> saved_state_, saved_home_;
};

TEST_P(DefaultJournalDirTest, FollowsTheStateDirectoryRules) {
    Restore("XDG_STATE_HOME", GetParam().xdg_state_home);
    ::setenv("HOME", GetParam().home.c_str(), 1);
    EXPECT_EQ(DefaultJournalDir(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, DefaultJournalDirTest,
    ::testing::Values(DirCase{"/var/state", "/home/u", "/var/state/gridwarden"},
                      DirCase{"relative/state", "/home/u", "/home/u/.local/state/gridwarden"},
                      DirCase{"", "/home/u", "/home/u/.local/state/gridwarden"},
                      DirCase{std::nullopt, "/home/u", "/home/u/.local/state/gridwarden"}));

}  // namespace
}  // namespace gw::monitor
