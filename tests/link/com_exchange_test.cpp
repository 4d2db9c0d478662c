#include "link/com_exchange.h"

#include <gtest/gtest.h>

#include "fakes/fake_serial_port.h"
#include "fakes/recording_log.h"
#include "link/ups_commands.h"
#include "link/ups_link.h"

namespace gw::link {
namespace {

class ComExchangeTest : public ::testing::Test {
protected:
    ComExchangeTest() : wire_(link_, mutex_, log_, nullptr, [this](auto d) { slept_ += d; }) {
        state_ = std::make_shared<fakes::FakeSerialState>();
        link_.ComHandle = std::make_unique<fakes::FakeSerialPort>(state_);
        link_.ComOpen = true;
        link_.ComPort = 1;
        link_.LinkUsable = true;
    }

    UpsLink link_;
    DataMutex mutex_;
    fakes::RecordingLog log_;
    std::chrono::milliseconds slept_{0};
    Wire wire_;
    std::shared_ptr<fakes::FakeSerialState> state_;
};

const std::string kStatus = "(228.6 228.6 228.6 012 50.0 13.6 27.0 00001001\r";

TEST_F(ComExchangeTest, RawReplyKeepsEverything) {
    state_->Replies["F\r"] = std::string("#220.0 003 12.00 50.0\r\xB0", 23);
    EXPECT_EQ(wire_.ExchangeCommand("F\r"), std::string("#220.0 003 12.00 50.0\r\xB0", 23));
    EXPECT_EQ(state_->Written, std::vector<std::string>{"F\r"});
    EXPECT_EQ(slept_, kComReplyPause);
    EXPECT_TRUE(log_.Lines.empty());
}

TEST_F(ComExchangeTest, StalledWriteStillReads) {
    state_->WriteStalls = true;
    state_->Pending = "late bytes";
    EXPECT_EQ(wire_.ExchangeCommand("Q\r"), "late bytes");
}

TEST_F(ComExchangeTest, NoLinkSendsNothing) {
    link_.ComOpen = false;
    EXPECT_EQ(wire_.ExchangeCommand("Q1\r"), "");
    EXPECT_TRUE(state_->Written.empty());
    const PollResult poll = wire_.PollExchange("Q1\r");
    EXPECT_TRUE(poll.ExchangeFailed);
    EXPECT_FALSE(poll.StatusText.has_value());
}

struct PollCase {
    const char* name;
    std::string reply;
    bool failed;
    std::string text;
};

class ComPollTest : public ComExchangeTest, public ::testing::WithParamInterface<PollCase> {};

TEST_P(ComPollTest, StoresEveryCycle) {
    state_->Replies["Q1\r"] = GetParam().reply;
    const PollResult poll = wire_.PollExchange("Q1\r");
    EXPECT_EQ(poll.ExchangeFailed, GetParam().failed);
    ASSERT_TRUE(poll.StatusText.has_value());
    EXPECT_EQ(*poll.StatusText, GetParam().text);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Replies, ComPollTest, ::testing::Values(
    PollCase{"status", kStatus, false, "(228.6 228.6 228.6 012 50.0 13.6 27.0 00001001#"},
    PollCase{"silent", "", true, ""},
    PollCase{"trailing_bytes", "(1 2\rXYZ", false, "(1 2#"},
    PollCase{"garbage_only", std::string("\0\xB0\xFF", 3), false, ""},
    PollCase{"echo", "Q1\r", false, "Q1#"},
    PollCase{"long", std::string(400, '('), false, std::string(255, '(')}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

TEST_F(ComExchangeTest, FailedWriteFailsTheCycleWithoutReading) {
    state_->WriteFails = true;
    state_->Pending = kStatus;
    const PollResult poll = wire_.PollExchange("Q1\r");
    EXPECT_TRUE(poll.ExchangeFailed);
    EXPECT_EQ(poll.StatusText.value_or("x"), "");
    EXPECT_EQ(state_->Reads, 0);
}

TEST_F(ComExchangeTest, LineVanishingMidReplyKeepsWhatCame) {
    state_->Replies["Q1\r"] = kStatus;
    state_->FailRead = 1;
    const PollResult poll = wire_.PollExchange("Q1\r");
    EXPECT_FALSE(poll.ExchangeFailed);
    EXPECT_EQ(*poll.StatusText, kStatus.substr(0, kStatus.size() / 2));
}

TEST_F(ComExchangeTest, ProbesAndQueries) {
    state_->Replies["Q1\r"] = kStatus;
    state_->Replies["QS\r"] = "QS\r";
    state_->Replies["I\r"] = "#Energizer       ER-HMOF600 A0        \r";
    state_->Replies["F\r"] = "#230.0 004 24.00 50.0\r";
    EXPECT_TRUE(ProbeQ1(wire_));
    EXPECT_FALSE(ProbeQS(wire_));
    EXPECT_TRUE(QueryInfo(wire_));
    EXPECT_EQ(link_.Model, "ER-HMOF600");
    const RatingOutcome rating = QueryRating(wire_);
    EXPECT_TRUE(rating.Accepted);
    EXPECT_TRUE(rating.Error.empty());
    EXPECT_EQ(link_.NominalBatteryVoltage, 24);
    EXPECT_EQ(link_.RatedVoltage, 230);
}

TEST_F(ComExchangeTest, RatingConversionFailureKeepsEarlierFields) {
    state_->Replies["F\r"] = "#230.0 0x4 24.00 50.0\r";
    const RatingOutcome rating = QueryRating(wire_);
    EXPECT_TRUE(rating.Accepted);
    EXPECT_EQ(rating.Error, "'0x4' is not a valid floating point value");
    EXPECT_EQ(link_.RatedVoltage, 230);
    EXPECT_EQ(link_.RatedCurrent, 0);
    EXPECT_EQ(link_.NominalBatteryVoltage, 12);
}

TEST_F(ComExchangeTest, RatingWithFewerFieldsKeepsTheRest) {
    state_->Replies["F\r"] = "#0230.0 0004 0024.00\r";
    EXPECT_TRUE(QueryRating(wire_).Error.empty());
    EXPECT_EQ(link_.NominalBatteryVoltage, 24);
    EXPECT_EQ(link_.RatedFrequency, 50);
}

// The close of the program saves the port after the link is closed: it must still be known.
TEST_F(ComExchangeTest, CloseLinkDropsDtrAndKeepsThePort) {
    link_.ComPort = 4;
    wire_.CloseLink();
    EXPECT_EQ(state_->Events.back(), "dtr 0");
    EXPECT_TRUE(link_.ComOpen);
    EXPECT_EQ(link_.ComPort, 4);
    EXPECT_EQ(wire_.ExchangeCommand("Q1\r"), "");

    wire_.ForgetComPort();
    EXPECT_FALSE(link_.ComOpen);
    EXPECT_EQ(link_.ComPort, 0);
    EXPECT_FALSE(link_.LinkUsable);
}

}  // namespace
}  // namespace gw::link
