#include "history/history_store.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "history/history_reader.h"
#include "history/history_writer.h"
#include "monitor/test_files.h"

namespace gw::history {
namespace {

using monitor::testing::ScratchDir;
constexpr Millis kDay = 24LL * 3600 * 1000;
constexpr Millis kNow = 1'800'000'000'000;  // a minute boundary

Reading At(Millis t, double input, unsigned bits = 0) {
    Reading reading;
    reading.Time = t;
    reading[Field::InputVoltage] = input;
    reading[Field::BatteryVoltage] = 13.61;
    reading[Field::Load] = 12;
    reading.Bits = bits;
    return reading;
}

// What SQLite's own command line says to `sql` on `path`.
std::string Sqlite3(const std::string& path, const std::string& sql) {
    const std::string command = "sqlite3 '" + path + "' \"" + sql + "\" 2>&1";
    std::string out;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[256];
        while (fgets(buffer, sizeof buffer, pipe) != nullptr) out += buffer;
        pclose(pipe);
    }
    return out;
}

TEST(HistoryStore, KeepsAWeekInFullThenMinutesForAYearReadableBySqlite3) {
    ScratchDir dir;
    const std::string path = dir / kHistoryFileName;
    HistoryStore store;
    ASSERT_TRUE(store.Open(path, kNow).Ok);
    // Three cycles in one minute eight days ago (an outage in the middle one), one cycle a day
    // ago, one more than a year ago already thinned earlier.
    const Millis old = kNow - 8 * kDay;
    std::string error;
    bool damaged = false;
    // The model's figures come and go within the minute: the mean of those known is kept.
    std::vector<Reading> minute = {At(old, 220.0), At(old + 20000, 0.0, kPowerFailBit),
                                   At(old + 40000, 230.0)};
    minute[1][Field::Runtime] = 1400;
    minute[2][Field::Runtime] = 1500;
    minute[2][Field::BatteryHealth] = *HealthCode("Weak");
    ASSERT_TRUE(store.Write(
        {minute[0], minute[1], minute[2], At(kNow - kDay, 228.6), At(kNow - 367 * kDay, 225.0)},
        {{old + 20000, EventKind::LogLine, "Power Fail"},
         {kNow - 400 * kDay, EventKind::PowerAction, "Shutdown"}},
        error, damaged))
        << error;
    ASSERT_TRUE(store.Thin(kNow, error)) << error;
    store.Close();

    EXPECT_EQ(Sqlite3(path, "SELECT count(*) FROM readings; SELECT count(*) FROM events;"),
              "1\n1\n");
    // The minute: mean 150.0 V, 150 below and 80 above it, the outage kept; stored in tenths
    // less 230 V, shown in volts by the view.
    EXPECT_EQ(Sqlite3(path, "SELECT n, bits, ip, ip_lo, ip_hi, batt, ipf FROM minutes"),
              "3|1|-800|1500|800|61|\n");
    EXPECT_EQ(Sqlite3(path,
                      "SELECT input_voltage, input_voltage_min, input_voltage_max, "
                      "battery_voltage, battery_runtime, battery_health FROM minute_values;"
                      "SELECT input_voltage, battery_runtime, battery_health FROM reading_values"),
              "150.0|0.0|230.0|13.61|1450.0|1.0\n228.6||\n");

    const HistoryReader reader(path);
    Millis step = kDay;
    const std::vector<Bucket> buckets = reader.Buckets(kNow - 10 * kDay, kNow, step, error);
    ASSERT_EQ(buckets.size(), 2u) << error;
    EXPECT_EQ(buckets[0].Rows, 3);
    EXPECT_EQ(buckets[0].Bits, kPowerFailBit);
    ASSERT_TRUE(buckets[0][Field::InputVoltage]);
    EXPECT_DOUBLE_EQ(buckets[0][Field::InputVoltage]->Min, 0.0);
    EXPECT_DOUBLE_EQ(buckets[0][Field::InputVoltage]->Mean, 150.0);
    EXPECT_DOUBLE_EQ(buckets[0][Field::InputVoltage]->Max, 230.0);
    ASSERT_TRUE(buckets[0][Field::Runtime]);
    EXPECT_DOUBLE_EQ(buckets[0][Field::Runtime]->Mean, 1450.0);
    EXPECT_FALSE(buckets[1][Field::Runtime]);
    EXPECT_DOUBLE_EQ(buckets[1][Field::InputVoltage]->Mean, 228.6);

    std::vector<std::pair<Millis, bool>> rows;
    ASSERT_TRUE(reader.Rows(
        0, kNow, [&](const Reading& r, bool minute) { rows.emplace_back(r.Time, minute); }, error));
    EXPECT_EQ(rows, (std::vector<std::pair<Millis, bool>>{{old, true}, {kNow - kDay, false}}));
}

TEST(HistoryStore, SetsAsideWhatIsNotItsOwnAndStartsAnew) {
    const struct {
        const char* name;
        std::string content;
        const char* reason;
    } cases[] = {
        {"text", "journal lines, not a database at all\n", "not a database"},
        {"foreign", "", "not a history file of this program"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDir dir;
        const std::string path = dir / kHistoryFileName;
        if (c.content.empty()) {
            Sqlite3(path, "CREATE TABLE photos(x)");
        } else {
            std::ofstream(path) << c.content;
        }
        HistoryStore store;
        const HistoryStore::Opened opened = store.Open(path, kNow);
        ASSERT_TRUE(opened.Ok) << opened.Error;
        EXPECT_NE(opened.Reason.find(c.reason), std::string::npos) << opened.Reason;
        ASSERT_FALSE(opened.SetAside.empty());
        EXPECT_TRUE(std::filesystem::exists(opened.SetAside));
        std::string error;
        bool damaged = false;
        EXPECT_TRUE(store.Write({At(kNow, 230)}, {}, error, damaged)) << error;
        store.Close();
        EXPECT_EQ(Sqlite3(path, "PRAGMA application_id; SELECT count(*) FROM readings"),
                  "1196902473\n1\n");
    }
}

TEST(HistoryWriter, CommitsInBatchesAndReportsAnUnwritableFolderOnce) {
    ScratchDir dir;
    std::vector<std::string> problems;
    {
        HistoryWriter writer({dir / kHistoryFileName},
                             [&](const std::string& line) { problems.push_back(line); });
        for (int i = 0; i < 50; ++i) writer.Add(At(kNow + i * 1000, 230));
        writer.Add(Event{kNow, EventKind::LogLine, "Start Monitoring"});
        writer.Stop();
        EXPECT_EQ(writer.Commits(), 1u);
    }
    EXPECT_TRUE(problems.empty());
    EXPECT_EQ(Sqlite3(dir / kHistoryFileName, "SELECT count(*) FROM readings"), "50\n");

    // A file where the folder should be: nothing can be created, the rows are dropped, one line.
    std::ofstream(dir / "blocked") << "x";
    HistoryWriter::Options options;
    options.Path = dir / "blocked/history.sqlite";
    options.CommitPeriod = std::chrono::milliseconds(1);
    HistoryWriter writer(options, [&](const std::string& line) { problems.push_back(line); });
    for (int i = 0; i < 3; ++i) {
        writer.Add(At(kNow + i, 230));
        writer.Flush();
    }
    writer.Stop();
    EXPECT_EQ(writer.Dropped(), 3u);
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_NE(problems[0].find("History: cannot write"), std::string::npos) << problems[0];
}

}  // namespace
}  // namespace gw::history
