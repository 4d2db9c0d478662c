#include "monitor/link_watch.h"

#include <gtest/gtest.h>

#include "fakes/recording_monitor_fakes.h"

namespace gw::monitor {
namespace {

using namespace std::chrono_literals;

class LinkWatchTest : public ::testing::Test {
protected:
    LinkWatchTest() { link_.ComPort = 3; }
    // One cycle a second, `good` or not, starting where the last one left off.
    void Cycles(int count, bool good, link::LinkChange change = {}) {
        for (int i = 0; i < count; ++i) {
            watch_.OnLinkChange(i == 0 ? change : link::LinkChange{});
            watch_.OnCycle(good, now_);
            now_ += 1s;
        }
    }

    fakes::Journal journal_;
    link::UpsLink link_;
    DisplayModel display_;
    fakes::JournalLog log_{&journal_};
    fakes::RecordingTray tray_{&journal_};
    LinkWatch watch_{link_, display_, log_, tray_};
    LinkWatch::Clock::time_point now_{};
};

// Said once as it begins and once as it ends, however long it lasts.
TEST_F(LinkWatchTest, LostPortAndSilenceAreToldOnceEachWay) {
    Cycles(5, true);
    Cycles(1, false, {"Input/output error", false});
    Cycles(29, false);
    EXPECT_FALSE(watch_.Silent());
    Cycles(1, false);  // 30 s after the first cycle without a reply
    EXPECT_TRUE(watch_.Silent());
    Cycles(100, false);
    Cycles(1, true, {"", true});
    Cycles(10, true);
    EXPECT_EQ(journal_, (fakes::Journal{"log UPS link lost: COM3 (Input/output error)",
                                        "balloon UPS link lost (warning)",
                                        "log No reply from the UPS for 30 s",
                                        "balloon No reply from the UPS for 30 s (warning)",
                                        "log UPS link restored: COM3", "log UPS replies again"}));
}

TEST_F(LinkWatchTest, BalloonHintsOffKeepsTheLogLinesOnly) {
    display_.BalloonCB = false;
    Cycles(1, false, {"device gone", false});
    Cycles(40, false);
    EXPECT_TRUE(tray_.Balloons.empty());
    EXPECT_EQ(log_.Lines.size(), 2u);
}

}  // namespace
}  // namespace gw::monitor
