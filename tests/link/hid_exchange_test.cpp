#include "link/hid_exchange.h"

#include <gtest/gtest.h>

#include <functional>
#include <tuple>

#include "fakes/fake_hid.h"
#include "fakes/recording_log.h"
#include "link/protocol.h"

namespace gw::link {
namespace {

using std::chrono::milliseconds;
using Bytes = std::vector<std::uint8_t>;

const std::string kPath = "/dev/hidraw3";
const std::string kRating = "#220.0 003 12.00 50.0\r";
const std::string kInfo = "#Energizer       ER-HMOF600 A0        \r";
const std::string kStatus = "(228.6 228.6 228.6 012 50.0 13.6 27.0 00001001\r";

// A reply as read back from 8-byte reports: padded with zeros.
std::string Padded(const std::string& reply) {
    return reply + std::string((8 - reply.size() % 8) % 8, '\0');
}

class HidExchangeTest : public ::testing::Test {
protected:
    HidExchangeTest() : state_(std::make_shared<fakes::FakeHidState>()), bus_(state_) {
        state_->Ups[kPath];  // the UPS is plugged in
    }

    fakes::FakeHidUps& Ups() { return state_->Ups.at(kPath); }
    std::string Exchange(std::string_view command) {
        return HidExchangeCommand(bus_, kPath, command, log_, sleep_);
    }
    PollResult Poll(std::string_view inquiry = "Q1\r") {
        return HidPollExchange(bus_, kPath, inquiry, sleep_);
    }

    std::shared_ptr<fakes::FakeHidState> state_;
    fakes::FakeHidBus bus_;
    fakes::RecordingLog log_;
    milliseconds slept_{0};
    SleepFor sleep_ = [this](milliseconds duration) { slept_ += duration; };
};

struct LayoutCase {
    const char* name;
    std::string command;
    Bytes report;
};

class HidReportLayoutTest : public HidExchangeTest,
                            public ::testing::WithParamInterface<LayoutCase> {};

TEST_P(HidReportLayoutTest, CommandTravelsInOneNineByteReport) {
    Exchange(GetParam().command);
    EXPECT_EQ(Ups().Written, std::vector<Bytes>{GetParam().report});
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Commands, HidReportLayoutTest, ::testing::Values(
    LayoutCase{"status", "Q1\r", {0, 'Q', '1', 13, 0, 0, 0, 0, 0}},
    LayoutCase{"shutdown", "S05\r", {0, 'S', '0', '5', 13, 0, 0, 0, 0}},
    LayoutCase{"full", "ABCDEFG\r", {0, 'A', 'B', 'C', 'D', 'E', 'F', 'G', 13}},
    LayoutCase{"too_long", "ABCDEFGHIJ\r", {0, 'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H'}}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

struct ReplyCase {
    const char* name;
    std::string command;
    std::string reply;
    std::string status_text;
};

class HidReplyTest : public HidExchangeTest,
                     public ::testing::WithParamInterface<std::tuple<ReplyCase, bool>> {
protected:
    const ReplyCase& Case() const { return std::get<0>(GetParam()); }
    void SetUp() override {
        Ups().Numbered = std::get<1>(GetParam());
        Ups().Replies[Case().command] = Case().reply;
    }
};

TEST_P(HidReplyTest, RawReplyHoldsEveryDataByteAndNoReportNumber) {
    EXPECT_EQ(Exchange(Case().command), Padded(Case().reply));
    EXPECT_TRUE(log_.Lines.empty());
    EXPECT_TRUE(Ups().Handles.empty());
}

TEST_P(HidReplyTest, PollStoresTheFilteredText) {
    const PollResult poll = Poll(Case().command);
    EXPECT_FALSE(poll.ExchangeFailed);
    EXPECT_EQ(poll.StatusText.value_or("unset"), Case().status_text);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Replies, HidReplyTest, ::testing::Combine(::testing::Values(
    ReplyCase{"rating", "F\r", kRating, "#220.0 003 12.00 50.0#"},
    ReplyCase{"info", "I\r", kInfo, "#Energizer       ER-HMOF600 A0        #"},
    ReplyCase{"status", "Q1\r", kStatus, "(228.6 228.6 228.6 012 50.0 13.6 27.0 00001001#"},
    ReplyCase{"high_byte", "Q1\r", "(27.0\xB0 1\r", "(27.0 1#"},
    ReplyCase{"bytes_after_cr", "Q1\r", "(228.6 2\rXYZXYZXYZ", "(228.6 2#"},
    ReplyCase{"padding_only", "Q1\r", std::string(3, '\0'), ""}),
    ::testing::Bool()),
    [](const auto& info) {
        return std::string(std::get<0>(info.param).name) +
               (std::get<1>(info.param) ? "_numbered" : "_unnumbered");
    });
// clang-format on

TEST_F(HidExchangeTest, MultiReportRepliesParseOnANumberedDevice) {
    Ups().Numbered = true;
    Ups().Replies["F\r"] = kRating;
    Ups().Replies["I\r"] = kInfo;

    const std::string rating = Exchange("F\r");
    EXPECT_TRUE(AcceptsReply(Command::Rating, rating));
    const RatingFields fields = CutRatingFields(rating);
    EXPECT_EQ(fields.Error, "");
    EXPECT_EQ(fields.Values, (std::vector<long double>{220, 3, 12, 50}));

    const std::string info = Exchange("I\r");
    EXPECT_TRUE(AcceptsReply(Command::Info, info));
    const InfoFields texts = CutInfoFields(info);
    EXPECT_EQ(texts.Manufacturer, "Energizer");
    EXPECT_EQ(texts.Model, "ER-HMOF600");
    EXPECT_EQ(texts.Version, "A0");
}

TEST_F(HidExchangeTest, WaitsOnceThenReadsUntilAReportFailsToCome) {
    Ups().Replies["F\r"] = kRating;
    Exchange("F\r");
    EXPECT_EQ(slept_, milliseconds(500));
    EXPECT_EQ(Ups().ReadTimeouts, std::vector<milliseconds>(4, milliseconds(500)));
}

TEST_F(HidExchangeTest, EndlessDeviceStopsAtTheReadBudget) {
    const std::string endless(400, 'x');
    Ups().Replies["Q1\r"] = endless;
    EXPECT_EQ(Exchange("Q1\r"), endless.substr(0, 256));
    EXPECT_EQ(Ups().Reads, 32);

    // Nine bytes a report: 28 whole ones, then the number and 3 data bytes.
    Ups().Numbered = true;
    Ups().Reads = 0;
    EXPECT_EQ(Exchange("Q1\r"), endless.substr(0, 28 * 8 + 3));
    EXPECT_EQ(Ups().Reads, 29);
}

struct FailureCase {
    const char* name;
    std::function<void(fakes::FakeHidState&, fakes::FakeHidUps&)> arrange;
    std::string log_line;
    int writes;
    bool poll_reads;  // the polling cycle still reads, so it fails as silent
};

class HidFailureTest : public HidExchangeTest, public ::testing::WithParamInterface<FailureCase> {
protected:
    void SetUp() override {
        Ups().Replies["Q1\r"] = kStatus;
        GetParam().arrange(*state_, Ups());
    }
};

TEST_P(HidFailureTest, CommandLogsOneLineAndGetsNoReply) {
    EXPECT_EQ(Exchange("Q1\r"), "");
    EXPECT_EQ(log_.Lines, std::vector<std::string>{GetParam().log_line});
    EXPECT_EQ(Ups().Writes, GetParam().writes);
    EXPECT_EQ(Ups().Reads, 0);
    EXPECT_TRUE(Ups().Handles.empty());
}

TEST_P(HidFailureTest, PollFailsSilently) {
    const PollResult poll = Poll();
    EXPECT_TRUE(poll.ExchangeFailed);
    EXPECT_TRUE(log_.Lines.empty());
    EXPECT_TRUE(Ups().Handles.empty());
    if (GetParam().poll_reads) {
        EXPECT_EQ(poll.StatusText.value_or("unset"), "");
        EXPECT_GT(Ups().Reads, 0);
    } else {
        EXPECT_FALSE(poll.StatusText.has_value());
    }
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Steps, HidFailureTest, ::testing::Values(
    FailureCase{"read_handle", [](auto& bus, auto&) { bus.FailOpen = 1; },
                "OpenFileEx failed! Permission denied", 0, false},
    FailureCase{"write_handle", [](auto& bus, auto&) { bus.FailOpen = 2; },
                "OpenFile failed! Permission denied", 0, false},
    FailureCase{"unplugged", [](auto& bus, auto&) { bus.OpenErrors[kPath] = "No such device"; },
                "OpenFileEx failed! No such device", 0, false},
    FailureCase{"write", [](auto&, auto& ups) { ups.FailWrite = 1; },
                "WriteFile failed! Input/output error", 1, true}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

TEST_F(HidExchangeTest, ReadErrorKeepsTheReportsBeforeIt) {
    Ups().Replies["F\r"] = kRating;
    Ups().FailRead = 2;
    EXPECT_EQ(Exchange("F\r"), kRating.substr(0, 8));
    EXPECT_TRUE(log_.Lines.empty());
    EXPECT_TRUE(Ups().Handles.empty());

    Ups().Reads = 0;
    Ups().FailRead = 1;
    const PollResult poll = Poll("F\r");
    EXPECT_TRUE(poll.ExchangeFailed);
    EXPECT_EQ(poll.StatusText.value_or("unset"), "");
}

TEST_F(HidExchangeTest, SilentUpsFailsTheCycle) {
    EXPECT_EQ(Exchange("Q1\r"), "");
    EXPECT_TRUE(log_.Lines.empty());
    const PollResult poll = Poll();
    EXPECT_TRUE(poll.ExchangeFailed);
    EXPECT_EQ(poll.StatusText.value_or("unset"), "");
    EXPECT_EQ(Ups().Reads, 2);
}

}  // namespace
}  // namespace gw::link
