#include "monitor/event_log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <deque>
#include <ostream>
#include <string>
#include <vector>

#include "test_files.h"

namespace gw::monitor {
namespace {

using std::chrono::system_clock;
using testing::FileSizeLimit;
using testing::ReadFile;
using testing::ScratchDir;
using testing::WriteFile;
using LogLines = std::deque<std::string>;

system_clock::time_point Utc(int year, int month, int day, int hour, int minute, int second,
                             int millisecond = 0) {
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    return system_clock::from_time_t(::timegm(&tm)) + std::chrono::milliseconds(millisecond);
}

// Local time is UTC here unless a test says otherwise, whatever the machine is set to.
class LocalTimeTest : public ::testing::Test {
protected:
    void SetUp() override { SetZone("UTC"); }
    void TearDown() override { SetZone("UTC"); }
    static void SetZone(const char* zone) {
        ::setenv("TZ", zone, 1);
        ::tzset();
    }
};

struct TimeCase {
    system_clock::time_point time;
    const char* date_time_text;
    const char* log_name;
};

// Keeps the test names readable and stable.
void PrintTo(const TimeCase& c, std::ostream* out) { *out << c.log_name; }

class TimeTextTest : public LocalTimeTest, public ::testing::WithParamInterface<TimeCase> {};

TEST_P(TimeTextTest, FormatsLocalTime) {
    EXPECT_EQ(DateTimeText(GetParam().time), GetParam().date_time_text);
    EXPECT_EQ(ProposedLogName(GetParam().time), GetParam().log_name);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Table, TimeTextTest, ::testing::Values(
    TimeCase{Utc(2026, 12, 7, 2, 11, 24, 123), "2026-12-07 02:11:24", "Log_261207021124123.txt"},
    TimeCase{Utc(2026, 12, 7, 0, 0, 0),        "2026-12-07",          "Log_261207000000000.txt"},
    // Midnight is judged on whole seconds: the milliseconds do not bring the time back.
    TimeCase{Utc(2000, 1, 1, 0, 0, 0, 999),    "2000-01-01",          "Log_000101000000999.txt"},
    TimeCase{Utc(2026, 12, 7, 0, 0, 1),        "2026-12-07 00:00:01", "Log_261207000001000.txt"},
    TimeCase{Utc(2026, 3, 5, 12, 0, 0),        "2026-03-05 12:00:00", "Log_260305120000000.txt"},
    TimeCase{Utc(2026, 3, 5, 13, 5, 9, 7),     "2026-03-05 13:05:09", "Log_260305130509007.txt"},
    TimeCase{Utc(2026, 12, 31, 23, 59, 59, 999), "2026-12-31 23:59:59", "Log_261231235959999.txt"},
    TimeCase{Utc(1969, 12, 31, 23, 59, 59, 500), "1969-12-31 23:59:59", "Log_691231235959500.txt"}));
// clang-format on

TEST_F(LocalTimeTest, UsesTheLocalZone) {
    SetZone("CET-1");
    EXPECT_EQ(DateTimeText(Utc(2026, 12, 7, 23, 30, 0)), "2026-12-08 00:30:00");
    EXPECT_EQ(DateTimeText(Utc(2026, 12, 7, 23, 0, 0)), "2026-12-08");
    EXPECT_EQ(ProposedLogName(Utc(2026, 12, 7, 23, 0, 0, 5)), "Log_261208000000005.txt");
}

// Each reading of the clock is one second later than the one before.
class EventLogTest : public LocalTimeTest {
protected:
    EventLog::Clock TickingClock() {
        return [this] { return Utc(2026, 12, 7, 2, 11, 24) + std::chrono::seconds(ticks_++); };
    }
    int ticks_ = 0;
    ScratchDir dir_;
};

TEST_F(EventLogTest, AppendsStampedLinesInOrderAndTellsObservers) {
    EventLog log(TickingClock());
    LogLines seen;
    log.AddObserver([&](const std::string& line) { seen.push_back(line); });
    log.AppendLog("Power Fail");
    log.AppendLog("AVR On");
    const LogLines expected{"2026-12-07 02:11:24 Power Fail", "2026-12-07 02:11:25 AVR On"};
    EXPECT_EQ(log.Lines(), expected);
    EXPECT_EQ(seen, expected);
}

TEST_F(EventLogTest, LineLoggedFromAnObserverReachesEveryoneInTheSameOrder) {
    EventLog log(TickingClock());
    LogLines first, second;
    log.AddObserver([&](const std::string& line) {
        first.push_back(line);
        if (line.find("Power Fail") != std::string::npos) log.AppendLog("Journal failed");
    });
    log.AddObserver([&](const std::string& line) { second.push_back(line); });
    log.AppendLog("Power Fail");
    const LogLines expected{"2026-12-07 02:11:24 Power Fail", "2026-12-07 02:11:25 Journal failed"};
    EXPECT_EQ(log.Lines(), expected);
    EXPECT_EQ(first, expected);
    EXPECT_EQ(second, expected);
}

TEST_F(EventLogTest, ObserversMayRemoveThemselvesAndAddOthersWhileBeingTold) {
    EventLog log(TickingClock());
    int once_calls = 0, late_calls = 0;
    EventLog::ObserverId once = 0;
    once = log.AddObserver([&](const std::string&) {
        ++once_calls;
        log.RemoveObserver(once);
        log.AddObserver([&](const std::string&) { ++late_calls; });
    });
    log.AppendLog("a");
    log.AppendLog("b");
    EXPECT_EQ(once_calls, 1);
    EXPECT_EQ(late_calls, 1);  // added during "a", so it sees only "b"
}

TEST_F(EventLogTest, ClearThenSaveWritesOnlyLaterLinesWithCrLfAndRawBytes) {
    EventLog log(TickingClock());
    int clears = 0;
    log.AddClearObserver([&] { ++clears; });
    log.AppendLog("Start Monitoring");
    log.Clear();
    EXPECT_TRUE(log.Lines().empty());
    EXPECT_EQ(clears, 1);
    const std::string degree = "\xB0";  // 8-bit text: the byte must reach the file unchanged
    log.AppendLog("Temperature 27.0 " + degree + "C");
    log.AppendLog("Stop Monitoring");

    const std::string path = dir_ / "log.txt";
    WriteFile(path, std::string(500, 'x'));  // longer than the new content: must not linger
    std::string error;
    ASSERT_TRUE(log.Save(path, error)) << error;
    EXPECT_EQ(ReadFile(path), "2026-12-07 02:11:25 Temperature 27.0 " + degree + "C\r\n" +
                                  "2026-12-07 02:11:26 Stop Monitoring\r\n");
    EXPECT_EQ(testing::EntryCount(dir_.Path()), 1u);  // no temporary file left behind
}

TEST_F(EventLogTest, SavingAnEmptyLogCreatesAnEmptyFile) {
    EventLog log(TickingClock());
    const std::string path = dir_ / "empty.txt";
    std::string error;
    ASSERT_TRUE(log.Save(path, error)) << error;
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 0);
}

TEST_F(EventLogTest, SavingThroughALinkReplacesItsFileAndKeepsItsMode) {
    EventLog log(TickingClock());
    log.AppendLog("Power O.K.");
    const std::string real = dir_ / "real.txt";
    const std::string link = dir_ / "link.txt";
    WriteFile(real, "old");
    ::chmod(real.c_str(), 0600);
    ASSERT_EQ(::symlink(real.c_str(), link.c_str()), 0);
    std::string error;
    ASSERT_TRUE(log.Save(link, error)) << error;
    EXPECT_EQ(ReadFile(real), "2026-12-07 02:11:24 Power O.K.\r\n");
    struct stat st {};
    ASSERT_EQ(::lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    ASSERT_EQ(::stat(real.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(EventLogTest, FailedSavesReportTheCauseAndLeaveEverythingAsItWas) {
    EventLog log(TickingClock());
    log.AppendLog(std::string(200, 'L'));
    const LogLines lines_before = log.Lines();
    std::string error;

    EXPECT_FALSE(log.Save(dir_ / "missing/log.txt", error));
    EXPECT_NE(error.find("No such file or directory"), std::string::npos) << error;

    ASSERT_EQ(::mkdir((dir_ / "folder").c_str(), 0755), 0);
    error.clear();
    EXPECT_FALSE(log.Save(dir_ / "folder", error));
    EXPECT_NE(error.find("Is a directory"), std::string::npos) << error;

    const std::string existing = dir_ / "existing.txt";
    WriteFile(existing, "keep me\r\n");
    {
        FileSizeLimit limit(64);  // the write of the new copy fails part-way
        error.clear();
        EXPECT_FALSE(log.Save(existing, error));
    }
    EXPECT_NE(error.find("File too large"), std::string::npos) << error;
    EXPECT_NE(error.find(existing), std::string::npos) << error;
    EXPECT_EQ(ReadFile(existing), "keep me\r\n");

    EXPECT_EQ(log.Lines(), lines_before);
    EXPECT_EQ(testing::EntryCount(dir_.Path()), 2u);  // "folder" and the intact file only
}

// Past the limit memory keeps the latest lines, observers still get every one, and a saved log
// begins by saying how many it lacks and where they are.
TEST_F(EventLogTest, KeepsTheLatestLinesAndASavedLogSaysHowManyItLacks) {
    struct Case {
        std::size_t Appended;
        std::string JournalPath;
        std::string OldestKept;
        std::string Notice;  // the saved file's first line; empty for none
    };
    const std::string lacks_one =
        "Earlier lines left out of this file: 1 (the log keeps its last "
        "10000 lines); older lines are in ";
    // clang-format off
    const Case cases[] = {
        {10000, "",                   "line 1", ""},
        {10001, "",                   "line 2", lacks_one + "the journal file"},
        {10001, "/var/j/journal.log", "line 2", lacks_one + "the journal /var/j/journal.log"},
    };
    // clang-format on
    for (const Case& c : cases) {
        EventLog log(TickingClock());
        log.SetJournalPath(c.JournalPath);
        std::size_t observed = 0;
        log.AddObserver([&](const std::string&) { ++observed; });
        for (std::size_t i = 1; i <= c.Appended; ++i) log.AppendLog("line " + std::to_string(i));

        EXPECT_EQ(observed, c.Appended);
        ASSERT_EQ(log.Lines().size(), EventLog::kKeptLines);
        EXPECT_EQ(log.DroppedLines(), c.Appended - EventLog::kKeptLines);
        const std::string& oldest = log.Lines().front();
        EXPECT_EQ(oldest.substr(oldest.size() - c.OldestKept.size()), c.OldestKept);

        std::string expected = c.Notice.empty() ? "" : c.Notice + "\r\n";
        for (const std::string& line : log.Lines()) expected += line + "\r\n";
        const std::string path = dir_ / "log.txt";
        std::string error;
        ASSERT_TRUE(log.Save(path, error)) << error;
        EXPECT_EQ(ReadFile(path), expected) << c.Appended;

        log.Clear();  // what was dropped went with the rest
        ASSERT_TRUE(log.Save(path, error)) << error;
        EXPECT_EQ(ReadFile(path), "");
    }
}

}  // namespace
}  // namespace gw::monitor
