#include "monitor/ups_state.h"

#include <gtest/gtest.h>

#include "fakes/recording_monitor_fakes.h"
#include "fakes/sample_states.h"
#include "monitor/battery_charge.h"
#include "monitor/ups_summary.h"

namespace gw::monitor {
namespace {

using std::chrono::seconds;
using Clock = std::chrono::steady_clock;

const std::chrono::system_clock::time_point kReplyTime =
    std::chrono::system_clock::from_time_t(1'700'000'000);

// The evaluation's record of `text` from a unit with a battery of `nominal` volts.
UpsStatus Evaluated(const std::string& text, int nominal = 24) {
    return fakes::EvaluatedOnce(text, kReplyTime, nominal);
}

TEST(UpsStateTest, ReadingsAreNumbersWithTheirUnitsAndBothBatteryVolts) {
    const struct {
        const char* Reply;
        double Whole;
        double Cell;
        bool PerCell;
    } cases[] = {
        {"(230.0 229.0 231.5 021 50.0 27.20 25.0 00001001#", 27.2, 27.2 / 12, false},
        {"(230.0 229.0 231.5 021 50.0 2.27 25.0 00001001#", 2.27 * 12, 2.27, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Reply);
        const UpsStatus status = Evaluated(c.Reply);
        UpsStateInputs inputs;
        inputs.Status = &status;
        inputs.UpsFound = true;
        inputs.NominalBatteryVolts = 24;
        const UpsState state = MakeUpsState(inputs, Clock::time_point{}, Clock::time_point{});
        ASSERT_TRUE(state.Readings.LoadPercent);
        EXPECT_EQ(state.Readings.LoadPercent->Value, 21);
        EXPECT_EQ(state.Readings.LoadPercent->Decimals, 0);
        EXPECT_EQ(state.Readings.OutputVolts->Value, 231.5);
        EXPECT_EQ(state.Readings.InputHertz->Decimals, 1);
        EXPECT_NEAR(*state.Readings.BatteryVolts, c.Whole, 1e-9);
        EXPECT_NEAR(*state.Readings.BatteryCellVolts, c.Cell, 1e-9);
        EXPECT_EQ(state.Readings.UnitReportsPerCell, c.PerCell);
        EXPECT_EQ(state.Mode, UpsMode::OnLine);
        EXPECT_TRUE(state.Flag(link::StatusFlag::StandbyUps));
    }
}

// Fresh, then stale without a good reply for longer than kStaleAfter, also while no cycle
// runs; the readings of the latest good reply stay, and no UPS is said as such.
TEST(UpsStateTest, KeeperTellsHowOldTheReadingsAre) {
    const UpsStatus status = Evaluated("(230.0 229.0 231.5 021 50.0 27.20 25.0 00001001#");
    UpsStateInputs inputs;
    inputs.Status = &status;
    inputs.UpsFound = true;
    UpsStateKeeper keeper;
    int told = 0;
    keeper.Subscribe([&](const UpsState&) { ++told; });
    const Clock::time_point t0{seconds(1000)};

    keeper.OnCycle(false, inputs, t0);
    EXPECT_EQ(keeper.Current(t0).Link, Contact::NoContact);
    EXPECT_FALSE(keeper.Current(t0).Known);

    keeper.OnCycle(true, inputs, t0);
    EXPECT_EQ(keeper.Current(t0 + kStaleAfter).Link, Contact::Fresh);

    UpsStateInputs failed = inputs;
    failed.Status = nullptr;
    keeper.OnCycle(false, failed, t0 + seconds(16));
    const UpsState stale = keeper.Current(t0 + seconds(16));
    EXPECT_EQ(stale.Link, Contact::Stale);
    EXPECT_DOUBLE_EQ(*stale.LastReplyAgeSeconds, 16);
    EXPECT_TRUE(stale.Known);
    EXPECT_EQ(stale.Readings.LoadPercent->Value, 21);
    EXPECT_EQ(stale.LastReply, kReplyTime);

    keeper.OnCycle(true, inputs, t0 + seconds(20));
    EXPECT_EQ(keeper.Current(t0 + seconds(36)).Link, Contact::Stale);
    EXPECT_EQ(told, 4);

    inputs.UpsFound = false;
    keeper.OnCycle(false, inputs, t0 + seconds(40));
    EXPECT_EQ(keeper.Current(t0 + seconds(40)).Link, Contact::NoUps);
}

// The texts that quote the reply get it as sent, also where no number could be made of it,
// and follow a reply cut short while the readings keep the latest whole one.
TEST(UpsStateTest, ReceivedTextsAreTheReplyAsSent) {
    UpsStatus status = Evaluated("(230.0 229.0 231.5 012 50.0 27.20 --.- 00001001#");
    UpsStateInputs inputs;
    inputs.Status = &status;
    inputs.UpsFound = true;
    UpsStateKeeper keeper;
    keeper.OnCycle(true, inputs, Clock::time_point{});
    const std::pair<link::StatusField, const char*> sent[] = {
        {link::StatusField::OutputCurrent, "012"},
        {link::StatusField::BatteryVoltage, "27.20"},
        {link::StatusField::Temperature, "--.-"},
        {link::StatusField::StatusBits, "00001001"},
    };
    UpsState state = keeper.Current(Clock::time_point{});
    for (const auto& [field, text] : sent) EXPECT_EQ(state.Received.Field(field), text);
    EXPECT_EQ(state.Received.Reply, "(230.0 229.0 231.5 012 50.0 27.20 --.- 00001001#");
    EXPECT_EQ(state.Received.Time, kReplyTime);
    EXPECT_FALSE(state.Readings.TemperatureCelsius);

    // The evaluation cut the first field of a reply that then held no number.
    status.ReplyText = "(231.0 2x9.0#";
    status.FieldText[0] = "231.0";
    keeper.OnCycle(false, inputs, Clock::time_point{});
    state = keeper.Current(Clock::time_point{});
    EXPECT_EQ(state.Received.Reply, "(231.0 2x9.0#");
    EXPECT_EQ(state.Received.Field(link::StatusField::InputVoltage), "231.0");
    EXPECT_EQ(state.Received.Field(link::StatusField::OutputCurrent), "012");
    EXPECT_EQ(state.Readings.InputVolts->Value, 230.0);

    inputs.Status = nullptr;  // a failed exchange stores nothing
    keeper.OnCycle(false, inputs, Clock::time_point{});
    EXPECT_EQ(keeper.Current(Clock::time_point{}).Received.Reply, "(231.0 2x9.0#");
}

TEST(UpsStateTest, SummaryOfEachState) {
    for (const auto& sample : fakes::SampleStates()) {
        SCOPED_TRACE(sample.Name);
        EXPECT_EQ(SummaryOf(sample.State).Text, sample.Summary);
    }
    UpsState on_battery = fakes::FreshOnMains();
    on_battery.Flags[0] = true;
    EXPECT_EQ(SummaryOf(on_battery).Text, "ON BATTERY · 97 % · about 34 min");
    on_battery.Battery = {};
    EXPECT_EQ(SummaryOf(on_battery).Text, "ON BATTERY");
    on_battery.Protection.State = ResponseState::Counting;
    on_battery.Protection.Left = seconds(3725);
    on_battery.Protection.Action = PowerAction::Hibernate;
    EXPECT_EQ(SummaryOf(on_battery).Text, "ON BATTERY · hibernate in 1:02:05");
}

TEST(UpsStateTest, TrayIconTellsWhatIsWrong) {
    const int expected[] = {kTrayAvr,       kTrayAvr,   kTrayBatteryLow,
                            kTrayNoContact, kTrayNoUps, kTrayReplace};
    const auto samples = fakes::SampleStates();
    ASSERT_EQ(samples.size(), std::size(expected));
    for (std::size_t i = 0; i < samples.size(); ++i) {
        SCOPED_TRACE(samples[i].Name);
        EXPECT_EQ(TrayIconFor(samples[i].State, kTrayAvr), expected[i]);
    }
}

}  // namespace
}  // namespace gw::monitor
