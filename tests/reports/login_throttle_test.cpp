// The turns of password checks per address and the log lines of failed logins, on made-up
// times.
#include "reports/login_throttle.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace gw::reports {
namespace {

using namespace std::chrono_literals;
using Clock = LoginThrottle::Clock;

const Clock::time_point t0 = Clock::time_point() + 1h;

TEST(LoginThrottleTest, EachFailureDoublesTheWaitAndAttemptsQueuePerAddress) {
    LoginThrottle throttle;
    EXPECT_EQ(throttle.Schedule("a", t0), t0) << "no failure yet: at once";
    throttle.Failed("a", t0);
    EXPECT_EQ(throttle.Schedule("b", t0), t0) << "another address is not held up";
    // Attempts of parallel connections queue behind one another.
    EXPECT_EQ(throttle.Schedule("a", t0), t0 + 250ms);
    EXPECT_EQ(throttle.Schedule("a", t0), t0 + 500ms);
    // Failures double the wait up to the longest one, and a queue beyond it is refused.
    Clock::time_point now = t0 + 10s;
    for (int i = 0; i < 9; ++i) throttle.Failed("a", now);
    EXPECT_EQ(throttle.Schedule("a", now), now + LoginThrottle::kLongestDelay);
    EXPECT_EQ(throttle.Schedule("a", now), now + 2 * LoginThrottle::kLongestDelay);
    EXPECT_FALSE(throttle.Schedule("a", now)) << "more queued than an honest client has";
    // A login that passes, or a quiet spell, lets the next one through at once.
    throttle.Passed("a");
    EXPECT_EQ(throttle.Schedule("a", now), now);
    throttle.Failed("a", now);
    now += LoginThrottle::kQuiet;
    EXPECT_EQ(throttle.Schedule("a", now), now);
}

TEST(LoginThrottleTest, OneLinePerBurstAndAddress) {
    LoginThrottle throttle;
    for (int i = 0; i < 3; ++i) throttle.Failed("10.0.0.7", t0 + i * 1s);
    throttle.Failed("10.0.0.8", t0);
    EXPECT_TRUE(throttle.TakeReports(t0 + 30s).empty()) << "still going";
    std::vector<std::string> lines = throttle.TakeReports(t0 + 2s + LoginThrottle::kQuiet);
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(lines, (std::vector<std::string>{"1 failed logins from 10.0.0.8",
                                               "3 failed logins from 10.0.0.7"}));
    EXPECT_TRUE(throttle.TakeReports(t0 + 1h).empty()) << "each burst once";

    // A burst that never pauses still shows, once per period, and no failure goes uncounted.
    Clock::time_point now = t0 + 2h;
    std::vector<std::string> seen;
    for (int i = 0; i < 25 * 60; ++i, now += 1s) {
        throttle.Failed("10.0.0.9", now);
        for (std::string& line : throttle.TakeReports(now)) seen.push_back(std::move(line));
    }
    EXPECT_EQ(seen.size(), 2u);
    for (std::string& line : throttle.TakeReports(now, true)) seen.push_back(std::move(line));
    int counted = 0;
    for (const std::string& line : seen) {
        EXPECT_NE(line.find(" failed logins from 10.0.0.9"), std::string::npos) << line;
        counted += std::stoi(line);
    }
    EXPECT_EQ(counted, 25 * 60);
}

}  // namespace
}  // namespace gw::reports
