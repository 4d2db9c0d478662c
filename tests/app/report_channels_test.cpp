// The report channels' period timers and test buttons on a virtual clock. The mail server and
// the desktop bus are unreachable on purpose: each send ends at once with its failure text,
// which shows that it was started and that its result reached the status bar.
#include "app/report_channels.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fakes/manual_main_loop.h"

namespace gw::app {
namespace {

using namespace std::chrono_literals;
using monitor::DisplayModel;

struct RecordingStatus final : monitor::StatusBar {
    void ShowStatus(std::string_view text) override { Texts.emplace_back(text); }
    std::vector<std::string> Texts;
};

// clang-format off
struct ChannelCase {
    const char* Name;
    bool DisplayModel::*Reports;
    monitor::UpDown DisplayModel::*Delay;
    void (ReportChannels::*Clicked)();
    void (ReportChannels::*DelayClicked)();
    void (ReportChannels::*TestButton)();
    const char* Failed;
};

const ChannelCase kChannels[] = {
    {"Smtp", &DisplayModel::SMTPReportsCB, &DisplayModel::SMTPDelayUD,
     &ReportChannels::OnSmtpReportsClicked, &ReportChannels::OnSmtpDelayClicked,
     &ReportChannels::SendTestMail, "Report sending failed"},
    {"Lan",  &DisplayModel::LANReportsCB,  &DisplayModel::LANDelayUD,
     &ReportChannels::OnLanReportsClicked,  &ReportChannels::OnLanDelayClicked,
     &ReportChannels::SendTestLanMessage, "LAN Report sending failed!"},
};
// clang-format on

class ReportChannelsTest : public ::testing::TestWithParam<ChannelCase> {
protected:
    ReportChannelsTest() {
        display_.SMTPHostE = "127.0.0.1";
        display_.SMTPPortE = "1";  // nothing listens there
        ReportChannelOptions options;
        options.ComputerName = "ups-host";
        options.NotifyBusAddress = "unix:path=/nonexistent/gridwarden-test-bus";
        channels_ = std::make_unique<ReportChannels>(loop_, display_, ups_, state_, status_,
                                                     notices_, options);
    }
    ~ReportChannelsTest() override {
        channels_->Workers().WaitUntilIdle(10s);
        channels_.reset();
    }

    // How many sends ended within `span` of virtual time.
    int SendsWithin(std::chrono::milliseconds span) {
        status_.Texts.clear();
        loop_.AdvanceBy(span);
        EXPECT_TRUE(channels_->Workers().WaitUntilIdle(10s));
        loop_.RunUntilIdle();
        for (const auto& text : status_.Texts) EXPECT_EQ(text, GetParam().Failed);
        return static_cast<int>(status_.Texts.size());
    }
    void Tick(bool on) {
        display_.*GetParam().Reports = on;
        (channels_.get()->*GetParam().Clicked)();
    }
    void SetDelay(int minutes) { (display_.*GetParam().Delay).Position = minutes; }

    fakes::ManualLoop loop_;
    DisplayModel display_;
    link::UpsLink ups_;
    monitor::UpsStateKeeper state_;
    RecordingStatus status_;
    reports::ReportNotices notices_{display_, ups_};
    std::unique_ptr<ReportChannels> channels_;
};

TEST_P(ReportChannelsTest, PeriodFollowsTheDelayFromOneFullPeriodOn) {
    for (const int minutes : {5, 180}) {
        SCOPED_TRACE(minutes);
        Tick(false);
        SetDelay(minutes);
        Tick(true);  // monitoring stopped: the box alone starts the timer
        const std::chrono::milliseconds period(minutes * 60000);
        EXPECT_EQ(SendsWithin(period - 1ms), 0);
        EXPECT_EQ(SendsWithin(1ms), 1);
        EXPECT_EQ(SendsWithin(period * 2), 2);
    }
}

TEST_P(ReportChannelsTest, StopArmTheBoxesAndTheArrowsDriveTheTimer) {
    SetDelay(5);
    channels_->Arm();  // box unticked: nothing starts
    EXPECT_EQ(SendsWithin(10min), 0);
    Tick(true);
    EXPECT_EQ(SendsWithin(4min), 0);
    channels_->Stop();  // e.g. the system suspends
    EXPECT_EQ(SendsWithin(10min), 0);
    channels_->Arm();  // resumed: a full period again
    EXPECT_EQ(SendsWithin(4min), 0);
    channels_->Arm();  // already running: the period goes on
    EXPECT_EQ(SendsWithin(1min), 1);
    SetDelay(10);  // the arrows: the period restarts from now
    (channels_.get()->*GetParam().DelayClicked)();
    EXPECT_EQ(SendsWithin(9min), 0);
    EXPECT_EQ(SendsWithin(1min), 1);
    Tick(false);
    EXPECT_EQ(SendsWithin(20min), 0);
}

TEST_P(ReportChannelsTest, TestButtonSendsNowWithoutATimer) {
    (channels_.get()->*GetParam().TestButton)();
    (channels_.get()->*GetParam().TestButton)();
    EXPECT_EQ(SendsWithin(0ms), 2);
    EXPECT_FALSE(channels_->SmtpTimerRunning() || channels_->LanTimerRunning());
}

INSTANTIATE_TEST_SUITE_P(Channels, ReportChannelsTest, ::testing::ValuesIn(kChannels),
                         [](const auto& info) { return std::string(info.param.Name); });

}  // namespace
}  // namespace gw::app
