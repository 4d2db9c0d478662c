// What the history does with parameters from outside (times a script or a browser sends), how
// soon the writer commits once the mains fails, and who may read the file it creates.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <limits>

#include "history/history_reader.h"
#include "history/history_store.h"
#include "history/history_writer.h"
#include "monitor/test_files.h"

namespace gw::history {
namespace {

using monitor::testing::ScratchDir;
using std::chrono::hours;
constexpr Millis kNow = 1'800'000'000'000;
constexpr Millis kMin = std::numeric_limits<Millis>::min();
constexpr Millis kMax = std::numeric_limits<Millis>::max();

Reading At(Millis t, unsigned bits = 0) {
    Reading reading;
    reading.Time = t;
    reading[Field::InputVoltage] = bits != 0 ? 0 : 230;
    reading.Bits = bits;
    return reading;
}

TEST(HistoryLimits, EveryTimeTextIsRefusedOrWithinTheTimesAFileCanHold) {
    const char* hostile[] = {
        "99999999999999999",
        "9999999999999999999",
        "99999999999999999999",
        "1e400",
        "nan",
        "inf",
        "-inf",
        "",
        "-",
        "-d",
        "-999999999d",
        "-999999999h",
        "0x10",
        "1.5.5",
        ".",
        "000000000000000000001",
        "253402300800",
        "0000-01-01",
        "9999-12-31 23:59:59",
        "-1",
        "18446744073709551616",
        "99999999999999.999",
    };
    for (const char* text : hostile) {
        SCOPED_TRACE(text);
        const std::optional<Millis> t = ParseTimeText(text, kNow);
        if (t) {
            EXPECT_GE(*t, kEarliestTime);
            EXPECT_LE(*t, kLatestTime);
        }
    }
    // What scripts write keeps working.
    EXPECT_EQ(ParseTimeText("1767225600.5", kNow), 1767225600500);
    EXPECT_EQ(ParseTimeText("-999999999s", kNow), kNow - 999999999000);
    EXPECT_EQ(ParseTimeText("now", kNow), kNow);
}

TEST(HistoryLimits, AnyRangeAndStepGiveAtMostTheBucketLimit) {
    ScratchDir dir;
    const std::string path = dir / kHistoryFileName;
    {
        HistoryStore store;
        ASSERT_TRUE(store.Open(path, kNow).Ok);
        std::vector<Reading> rows;
        for (Millis i = 0; i < 10000; ++i) rows.push_back(At(kNow - 10'000'000 + i * 1000));
        std::string error;
        bool damaged = false;
        ASSERT_TRUE(store.Write(rows, {}, error, damaged)) << error;
    }
    const HistoryReader reader(path);
    const struct {
        Millis from, to, step;
    } cases[] = {
        {kMin, kMax, 1},     {kMin, kNow, 0},      {0, kMax, 1},       {kMin, kMin + 1, 1},
        {kMax - 1, kMax, 1}, {kMin, kMax, kMax},   {kMin, kMax, kMin}, {kNow - 10'000'000, kNow, 1},
        {kNow, kNow - 1, 1}, {kMin + 1, kMax, -7}, {-1, kNow, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.from) + " " + std::to_string(c.to) + " " +
                     std::to_string(c.step));
        std::string error;
        Millis step = c.step;
        const std::vector<Bucket> buckets = reader.Buckets(c.from, c.to, step, error);
        EXPECT_TRUE(error.empty()) << error;
        EXPECT_LE(buckets.size(), static_cast<std::size_t>(HistoryReader::kMaxBuckets));
        EXPECT_TRUE(buckets.empty() || step > 0);
        EXPECT_LE(reader.Events(c.from, c.to, 10, error).size(), 10u);
        EXPECT_GT(StepFor(c.from, c.to, 360, kNow), 0);
    }
}

// A battery reading or a power action queued while the writer waits out its mains period
// brings the commit forward to the battery period; the clock never gets that far here.
TEST(HistoryWriter, TheMainsFailingBringsTheNextCommitForward) {
    const struct {
        const char* name;
        std::vector<Reading> readings;
        std::vector<Event> events;
        bool soon;
    } cases[] = {
        {"mains", {At(kNow)}, {}, false},
        {"log line", {At(kNow)}, {{kNow, EventKind::LogLine, "Start Monitoring"}}, false},
        {"battery", {At(kNow), At(kNow + 1000, kPowerFailBit)}, {}, true},
        // Back on mains before the commit: the battery row is still to be stored.
        {"battery then mains", {At(kNow, kPowerFailBit), At(kNow + 1000)}, {}, true},
        {"power action", {At(kNow)}, {{kNow, EventKind::PowerAction, "Shutdown"}}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDir dir;
        HistoryWriter::Options options;
        options.Path = dir / kHistoryFileName;
        options.CommitPeriod = hours(2);
        options.BatteryCommitPeriod = hours(1);
        HistoryWriter writer(options, [](const std::string&) {});
        for (const Reading& reading : c.readings) writer.Add(reading);
        for (const Event& event : c.events) writer.Add(event);
        const bool soon = writer.NextCommit() <= std::chrono::steady_clock::now() + hours(1);
        EXPECT_EQ(soon, c.soon);
    }
}

TEST(HistoryStore, TheFileAndItsCompanionsAreTheOwnersAlone) {
    ScratchDir dir;
    const std::string path = dir / kHistoryFileName;
    const mode_t old_mask = umask(022);
    HistoryStore store;
    const bool opened = store.Open(path, kNow).Ok;
    umask(old_mask);
    ASSERT_TRUE(opened);
    std::string error;
    bool damaged = false;
    ASSERT_TRUE(store.Write({At(kNow)}, {}, error, damaged)) << error;
    for (const char* suffix : {"", "-wal", "-shm"}) {
        SCOPED_TRACE(suffix);
        struct stat info {};
        ASSERT_EQ(stat((path + suffix).c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0600u);
    }
}

}  // namespace
}  // namespace gw::history
