// What the journal file and the console get of a UPS that stays silent for an hour and more.
#include "monitor/quiet_log.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "monitor/event_log.h"
#include "monitor/status_evaluation.h"

namespace gw::monitor {
namespace {

using std::chrono::seconds;

class QuietLogTest : public ::testing::Test {
protected:
    QuietLogTest() {
        quiet_.AddObserver([this](const std::string& line) { written_.push_back(line); });
    }
    // One failed cycle a second, as with a 1 s refresh.
    void FailFor(int cycles) {
        for (int i = 0; i < cycles; ++i) {
            log_.AppendLog(kCycleFailedText);
            now_ += seconds(1);
        }
    }
    std::vector<std::string> Take() { return std::move(written_); }

    // 2026-12-09 11:00:00 UTC; the tests run in UTC.
    std::chrono::system_clock::time_point now_{seconds(1796814000)};
    EventLog log_{[this] { return now_; }};
    QuietLog quiet_{log_, [this] { return now_; }};
    std::vector<std::string> written_;
};

TEST_F(QuietLogTest, ARunOfFailedCyclesIsSaidOnceThenCountedHourlyAndAtItsEnd) {
    log_.AppendLog("Start Monitoring");
    FailFor(3600);
    EXPECT_EQ(Take(), (std::vector<std::string>{"2026-12-09 11:00:00 Start Monitoring",
                                                "2026-12-09 11:00:00 I/O Thread failed"}));
    // Other lines go through as they come, and do not end the run.
    log_.AppendLog("UPS link lost: COM1 (unplugged)");
    FailFor(11);
    quiet_.OnCycleThrough();
    EXPECT_EQ(Take(), (std::vector<std::string>{
                          "2026-12-09 12:00:00 UPS link lost: COM1 (unplugged)",
                          "2026-12-09 12:00:00 I/O Thread failed 3600 more times since 2026-12-09 "
                          "11:00:00 (3601 in a row so far)",
                          "2026-12-09 12:00:11 I/O Thread failed 10 more times since 2026-12-09 "
                          "12:00:00 (3611 in a row); the exchange works again"}));
    // The window's log keeps every line.
    EXPECT_EQ(log_.Lines().size(), 2u + 3611u);

    // One failure alone needs no count; the next run starts afresh.
    FailFor(1);
    quiet_.OnCycleThrough();
    quiet_.OnCycleThrough();
    FailFor(2);
    // What is still untold goes out at a close, and the run goes on.
    quiet_.Flush();
    quiet_.Flush();
    FailFor(1);
    EXPECT_EQ(Take(),
              (std::vector<std::string>{
                  "2026-12-09 12:00:11 I/O Thread failed", "2026-12-09 12:00:12 I/O Thread failed",
                  "2026-12-09 12:00:14 I/O Thread failed 1 more time since 2026-12-09 12:00:12 "
                  "(2 in a row so far)"}));
}

TEST_F(QuietLogTest, AClockSetBackDoesNotSilenceTheHourlyCount) {
    FailFor(2);
    now_ -= std::chrono::hours(24);
    FailFor(1);
    ASSERT_EQ(Take().size(), 2u) << "a wall clock set back must not hold the count for a day";
}

}  // namespace
}  // namespace gw::monitor
