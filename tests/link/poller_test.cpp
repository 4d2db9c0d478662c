#include "link/poller.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "fakes/fake_serial_port.h"
#include "fakes/recording_log.h"
#include "link/plain_main_loop.h"

namespace gw::link {
namespace {

using namespace std::chrono_literals;

struct StepsCase {
    std::uint32_t interval_ms;
    int steps;
};

class WaitStepsTest : public ::testing::TestWithParam<StepsCase> {};

TEST_P(WaitStepsTest, RoundsUpToWholeSteps) {
    EXPECT_EQ(WaitSteps(GetParam().interval_ms), GetParam().steps);
}

INSTANTIATE_TEST_SUITE_P(Table, WaitStepsTest,
                         ::testing::Values(StepsCase{1000, 4}, StepsCase{2000, 7},
                                           StepsCase{3000, 10}, StepsCase{5000, 17},
                                           StepsCase{10000, 34}, StepsCase{60000, 200},
                                           StepsCase{0, 1}, StepsCase{300, 1}, StepsCase{301, 2}));

const std::string kStatus = "(228.6 228.6 228.6 012 50.0 13.6 27.0 00001001\r";

class PollerTest : public ::testing::Test {
protected:
    PollerTest() : wire_(link_, mutex_, log_, nullptr, [](auto) {}) {
        state_ = std::make_shared<fakes::FakeSerialState>();
        state_->Replies["Q1\r"] = kStatus;
        state_->Replies["QS\r"] = "(QS reply#\r";
        link_.ComHandle = std::make_unique<fakes::FakeSerialPort>(state_);
        link_.ComOpen = true;
        link_.LinkUsable = true;
        link_.Q1Answered = true;
        poller_ = std::make_unique<Poller>(
            wire_, loop_,
            [this](bool failed) {
                EXPECT_TRUE(loop_.IsMainThread());
                results_.push_back(failed);
                if (!failed) texts_.push_back(poller_->CopyStoredReply().Text);
            },
            1ms);
        poller_->SetRefreshInterval(1);
    }
    ~PollerTest() override { poller_.reset(); }

    bool RunCycles(std::size_t count) {
        return loop_.RunUntil([&] { return results_.size() >= count; }, 10s);
    }

    UpsLink link_;
    DataMutex mutex_;
    fakes::RecordingLog log_;
    Wire wire_;
    PlainMainLoop loop_;
    std::shared_ptr<fakes::FakeSerialState> state_;
    std::unique_ptr<Poller> poller_;
    std::vector<bool> results_;
    std::vector<std::string> texts_;
};

TEST_F(PollerTest, StoresAndReportsEveryCycle) {
    EXPECT_TRUE(poller_->StartPolling());
    ASSERT_TRUE(RunCycles(3));
    EXPECT_EQ(results_[0], false);
    EXPECT_EQ(texts_[0], "(228.6 228.6 228.6 012 50.0 13.6 27.0 00001001#");
    EXPECT_EQ(state_->Written[0], "Q1\r");
    EXPECT_NE(poller_->CopyStoredReply().Time, std::chrono::system_clock::time_point{});
}

TEST_F(PollerTest, UsesQsWhenOnlyItWasAnswered) {
    link_.Q1Answered = false;
    link_.QSAnswered = true;
    poller_->StartPolling();
    ASSERT_TRUE(RunCycles(1));
    EXPECT_EQ(state_->Written[0], "QS\r");
}

TEST_F(PollerTest, SilentUpsAndUnusableLinkFail) {
    state_->Replies.clear();
    poller_->StartPolling();
    ASSERT_TRUE(RunCycles(2));
    EXPECT_EQ(results_, (std::vector<bool>{true, true}));
    EXPECT_EQ(poller_->CopyStoredReply().Text, "");

    link_.LinkUsable = false;
    const std::size_t written = state_->Written.size();
    ASSERT_TRUE(RunCycles(results_.size() + 2));
    EXPECT_TRUE(results_.back());
    EXPECT_LE(state_->Written.size(), written + 1);  // at most the cycle in flight
}

TEST_F(PollerTest, OneThreadOnlyAndItEndsWhenNoInquiryIsLeft) {
    EXPECT_TRUE(poller_->StartPolling());
    EXPECT_FALSE(poller_->StartPolling());
    ASSERT_TRUE(RunCycles(1));
    link_.Q1Answered = false;
    ASSERT_TRUE(loop_.RunUntil([&] { return !poller_->Running(); }, 10s));
    // The thread that ended by itself is replaced by the next start.
    link_.Q1Answered = true;
    const std::size_t before = results_.size();
    EXPECT_TRUE(poller_->StartPolling());
    ASSERT_TRUE(RunCycles(before + 1));
}

TEST_F(PollerTest, PauseHoldsTheThreadAndOurOwnExchangesStillRun) {
    poller_->StartPolling();
    ASSERT_TRUE(RunCycles(1));
    poller_->PausePolling();
    EXPECT_TRUE(poller_->PollingPaused());
    loop_.RunUntil([] { return false; }, 30ms);  // deliver a cycle that was in flight
    const std::size_t seen = results_.size();
    loop_.RunUntil([] { return false; }, 50ms);
    EXPECT_EQ(results_.size(), seen);
    // Re-entrant for the main thread while it holds the pause.
    EXPECT_EQ(wire_.ExchangeCommand("Q1\r"), kStatus);
    poller_->ResumePolling();
    ASSERT_TRUE(RunCycles(seen + 1));
}

TEST_F(PollerTest, EndWhilePausedAndWhileMessageWaits) {
    poller_->StartPolling();
    ASSERT_TRUE(RunCycles(1));
    poller_->PausePolling();
    poller_->ResumePolling();
    // The thread is probably waiting for the main thread to take its
    // message; ending must not wait on the loop that is not running.
    std::this_thread::sleep_for(20ms);
    poller_->EndPolling();
    EXPECT_FALSE(poller_->Running());
    loop_.RunUntil([] { return false; }, 10ms);  // a dropped message never arrives late
}

TEST_F(PollerTest, RefreshIntervalChangesTakeEffect) {
    poller_->SetRefreshInterval(60000);
    EXPECT_EQ(poller_->RefreshInterval(), 60000u);
    poller_->StartPolling();
    ASSERT_TRUE(RunCycles(1));
    // With a 60 s interval (200 steps of 1 ms here) the end is still prompt.
    poller_->EndPolling();
    EXPECT_FALSE(poller_->Running());
}

}  // namespace
}  // namespace gw::link
