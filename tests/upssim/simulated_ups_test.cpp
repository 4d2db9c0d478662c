#include "simulated_ups.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace gw::upssim {
namespace {

constexpr const char* kDefaultReply = "(228.6 228.6 228.6 012 50.0 13.6 27.4 00001001\r";

// b7..b0 of a status reply, by bit number.
char BitOf(const std::string& reply, int bit) { return reply.at(38 + 7 - bit); }

std::string Poll(SimulatedUps& ups) { return ups.Receive("Q1\r"); }

TEST(SimulatedUps, AnswersTheStandardInquiries) {
    SimulatedUps ups(UpsOptions{});
    EXPECT_EQ(Poll(ups), kDefaultReply);
    EXPECT_EQ(ups.Receive("I\r"), "#Tallowmere      SIM-650    1.0       \r");
    EXPECT_EQ(ups.Receive("F\r"), "#220.0 003 12.00 50.0\r");
    EXPECT_EQ(ups.Receive("Q1\rI\r").size(), 47u + 39u) << "two commands in one write";
}

TEST(SimulatedUps, MegatecAndMustekEachEchoTheOtherInquiry) {
    SimulatedUps megatec(UpsOptions{});
    EXPECT_EQ(megatec.Receive("QS\r"), "QS\r");

    UpsOptions options;
    options.mustek = true;
    SimulatedUps mustek(options);
    EXPECT_EQ(mustek.Receive("Q1\r"), "Q1\r");
    EXPECT_EQ(mustek.Receive("QS\r"), kDefaultReply);
    mustek.SetMustek(false);
    EXPECT_EQ(mustek.Receive("Q1\r"), kDefaultReply);
}

TEST(SimulatedUps, EchoesUnknownAndUnsupportedCommands) {
    UpsOptions options;
    options.unsupported = Bit(UpsCommand::Info) | Bit(UpsCommand::TestMinutes);
    SimulatedUps ups(options);
    EXPECT_EQ(ups.Receive("I\r"), "I\r");
    EXPECT_EQ(ups.Receive("T05\r"), "T05\r");
    EXPECT_EQ(ups.Receive("T\r"), "") << "plain T is still supported";
    EXPECT_EQ(ups.Receive("XYZ\r"), "XYZ\r");
    EXPECT_EQ(ups.Receive("T00\r"), "T00\r");
}

TEST(SimulatedUps, EchoModeEchoesEverythingAndDoesNothing) {
    SimulatedUps ups(UpsOptions{});
    ups.SetEchoAll(true);
    EXPECT_EQ(Poll(ups), "Q1\r");
    EXPECT_EQ(ups.Receive("Q\r"), "Q\r");
    ups.SetEchoAll(false);
    EXPECT_EQ(BitOf(Poll(ups), 0), '1') << "the echoed Q did not toggle the beeper";
}

TEST(SimulatedUps, ShapesRepliesAsTheFaultsSay) {
    SimulatedUps ups(UpsOptions{});
    ups.SetNoCr(true);
    EXPECT_EQ(Poll(ups), std::string(kDefaultReply, 46));
    ups.SetNoCr(false);
    ups.SetTrailing(true);
    EXPECT_EQ(Poll(ups), std::string(kDefaultReply) + "XYZ");
    ups.SetTrailing(false);
    ups.SetSilent(true);
    EXPECT_EQ(Poll(ups), "");
    EXPECT_EQ(ups.Receive("I\r"), "");
}

TEST(SimulatedUps, GarbageHasNoCrAndHoldsNulAndDegreeBytes) {
    SimulatedUps ups(UpsOptions{});
    ups.SetGarbageNext(30);
    const std::string garbage = Poll(ups);
    ASSERT_EQ(garbage.size(), 30u);
    EXPECT_EQ(garbage.find('\r'), std::string::npos);
    EXPECT_NE(garbage.find('\0'), std::string::npos);
    EXPECT_NE(garbage.find('\xB0'), std::string::npos);
    EXPECT_NE(garbage[0], '(');
    EXPECT_EQ(Poll(ups), kDefaultReply) << "only the next reply";

    ups.SetGarbageAll(true);
    for (int i = 0; i < 20; ++i) {
        const std::string reply = Poll(ups);
        EXPECT_EQ(reply.size(), 47u);
        EXPECT_EQ(reply.find('\r'), std::string::npos);
    }
}

TEST(SimulatedUps, MainsFailureReadsZeroInputAndSetsPowerFail) {
    SimulatedUps ups(UpsOptions{});
    ups.FailMains();
    const std::string reply = Poll(ups);
    EXPECT_EQ(reply.substr(0, 28), "(000.0 000.0 230.0 012 00.0 ");
    EXPECT_EQ(BitOf(reply, 7), '1');
    EXPECT_EQ(BitOf(reply, 6), '0');
    ups.RestoreMains();
    EXPECT_EQ(BitOf(Poll(ups), 7), '0');
}

// A battery calibrated to last 600 s at the starting load.
UpsOptions TenMinutes() {
    UpsOptions options;
    options.runtime_seconds = 600.0;
    return options;
}

TEST(SimulatedUps, DrainsOnBatteryUntilLowThenOff) {
    SimulatedUps ups(TenMinutes());
    ups.FailMains();
    ups.Advance(580.0);
    EXPECT_EQ(BitOf(Poll(ups), 6), '0');
    ups.Advance(10.0);
    EXPECT_EQ(BitOf(Poll(ups), 6), '1') << ups.Describe();
    EXPECT_TRUE(ups.OutputOn());
    ups.Advance(15.0);
    EXPECT_FALSE(ups.OutputOn()) << "an empty battery switches the output off";
    EXPECT_EQ(Poll(ups), "");
    const auto events = ups.TakeEvents();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back().rfind("output off: battery empty at sim time 60", 0), 0)
        << events.back();
    EXPECT_EQ(ups.Truth().substr(0, 12), "runtime 0.0 ");
    ups.RestoreMains();
    ups.Advance(SimulatedUps::kRestartDelaySeconds + 1.0);
    EXPECT_EQ(BitOf(Poll(ups), 7), '0');
}

TEST(SimulatedUps, LowDropsJustBelowTheThreshold) {
    SimulatedUps ups(UpsOptions{});
    ups.DropToLow();
    const std::string reply = Poll(ups);
    EXPECT_EQ(BitOf(reply, 7), '1');
    EXPECT_EQ(BitOf(reply, 6), '1');
    EXPECT_EQ(reply.substr(28, 4), "10.9");
}

TEST(SimulatedUps, AvrBoostsALowInput) {
    SimulatedUps ups(UpsOptions{});
    ups.SetAvr(true);
    const std::string reply = Poll(ups);
    EXPECT_EQ(reply.substr(0, 19), "(195.0 195.0 224.2 ");
    EXPECT_EQ(BitOf(reply, 5), '1');
}

TEST(SimulatedUps, AvrTrimsAHighInput) {
    SimulatedUps ups(UpsOptions{});
    ups.SetInputVoltage(250.0);
    ups.SetAvr(true);
    const std::string reply = Poll(ups);
    EXPECT_EQ(reply.substr(0, 19), "(250.0 250.0 225.0 ");
    EXPECT_EQ(BitOf(reply, 5), '1');
}

TEST(SimulatedUps, TenSecondTestRunsOnTheBatteryWithMainsBitClear) {
    SimulatedUps ups(UpsOptions{});
    EXPECT_EQ(ups.Receive("T\r"), "");
    ups.Advance(5.0);
    std::string reply = Poll(ups);
    EXPECT_EQ(BitOf(reply, 2), '1');
    EXPECT_EQ(BitOf(reply, 7), '0');
    EXPECT_LT(ups.Battery().StateOfCharge(), 1.0);
    ups.Advance(6.0);
    EXPECT_EQ(BitOf(Poll(ups), 2), '0');
}

TEST(SimulatedUps, StartsItsOwnTestsOnScheduleOnlyOnMains) {
    UpsOptions options;
    options.self_test_every = 3600.0;
    SimulatedUps ups(options);
    ups.Advance(3599.0);
    EXPECT_EQ(BitOf(Poll(ups), 2), '0');
    ups.Advance(2.0);
    EXPECT_EQ(BitOf(Poll(ups), 2), '1');
    EXPECT_LT(ups.Battery().Voltage(), 13.0) << "the battery carries the load";
    ups.Advance(10.0);
    EXPECT_EQ(BitOf(Poll(ups), 2), '0');
    EXPECT_EQ(ups.TakeEvents(),
              (std::vector<std::string>{"test started: 10 s (own schedule)", "test ended: done"}));
    ups.Advance(3500.0);
    ups.FailMains();
    ups.Advance(200.0);
    EXPECT_EQ(BitOf(Poll(ups), 2), '0') << "no test on battery";
    ups.RestoreMains();
    ups.Advance(3490.0);  // to 10 801 s
    EXPECT_EQ(BitOf(Poll(ups), 2), '1') << "the next turn comes as planned";
}

TEST(SimulatedUps, TimedTestCanBeCancelled) {
    SimulatedUps ups(UpsOptions{});
    ups.Receive("T02\r");
    ups.Advance(100.0);
    EXPECT_EQ(BitOf(Poll(ups), 2), '1');
    ups.Receive("CT\r");
    EXPECT_EQ(BitOf(Poll(ups), 2), '0');
}

TEST(SimulatedUps, TestUntilLowEndsAtTheLowThreshold) {
    SimulatedUps ups(TenMinutes());
    ups.Receive("TL\r");
    double seconds = 0.0;
    while (BitOf(Poll(ups), 2) == '1' && seconds < 1000.0) {
        ups.Advance(1.0);
        seconds += 1.0;
    }
    EXPECT_GT(seconds, 500.0);
    EXPECT_LT(seconds, 600.0);
    EXPECT_TRUE(ups.OutputOn());
    EXPECT_LT(ups.Battery().StateOfCharge(), 0.2);
}

TEST(SimulatedUps, MainsFailureEndsATest) {
    SimulatedUps ups(UpsOptions{});
    ups.Receive("T10\r");
    ups.FailMains();
    EXPECT_EQ(BitOf(Poll(ups), 2), '0');
    ups.Receive("T\r");
    EXPECT_EQ(BitOf(Poll(ups), 2), '0') << "no test without mains";
}

TEST(SimulatedUps, BeeperToggles) {
    SimulatedUps ups(UpsOptions{});
    ups.Receive("Q\r");
    EXPECT_EQ(BitOf(Poll(ups), 0), '0');
    ups.Receive("Q\r");
    EXPECT_EQ(BitOf(Poll(ups), 0), '1');
}

TEST(SimulatedUps, ShutdownSwitchesOffUntilTheMainsReturns) {
    SimulatedUps ups(UpsOptions{});
    ups.FailMains();
    EXPECT_EQ(ups.Receive("S01\r"), "");
    ups.Advance(59.0);
    EXPECT_EQ(BitOf(Poll(ups), 1), '1');
    ups.Advance(2.0);
    EXPECT_EQ(Poll(ups), "");
    EXPECT_EQ(ups.Receive("I\r"), "");
    ups.Advance(3600.0);
    EXPECT_EQ(Poll(ups), "") << "stays off while the mains is out";
    ups.RestoreMains();
    ups.Advance(SimulatedUps::kRestartDelaySeconds / 2);
    EXPECT_EQ(Poll(ups), "");
    ups.Advance(SimulatedUps::kRestartDelaySeconds);
    const std::string reply = Poll(ups);
    ASSERT_EQ(reply.size(), 47u);
    EXPECT_EQ(BitOf(reply, 1), '0');
    EXPECT_EQ(BitOf(reply, 7), '0');
}

TEST(SimulatedUps, ShutdownCanBeCancelled) {
    SimulatedUps ups(UpsOptions{});
    ups.Receive("S.5\r");
    ups.Receive("C\r");
    ups.Advance(60.0);
    EXPECT_EQ(BitOf(Poll(ups), 1), '0');
}

TEST(SimulatedUps, OnlinePerCellUnit) {
    UpsOptions options;
    options.online = true;
    options.per_cell = true;
    options.nominal_battery_voltage = 48;
    SimulatedUps ups(options);
    const std::string reply = Poll(ups);
    EXPECT_EQ(reply, "(228.6 228.6 230.0 012 50.0 2.27 27.4 00000001\r");
    EXPECT_EQ(ups.Receive("F\r"), "#220.0 003 48.00 50.0\r");
}

TEST(SimulatedUps, PinnedBatteryVoltageIsReported) {
    SimulatedUps ups(UpsOptions{});
    ups.PinBatteryVoltage(10.9);
    const std::string reply = Poll(ups);
    EXPECT_EQ(reply.substr(28, 4), "10.9");
    EXPECT_EQ(BitOf(reply, 6), '1');
}

TEST(SimulatedUps, SurvivesArbitraryBytes) {
    SimulatedUps ups(UpsOptions{});
    std::string noise;
    for (int i = 0; i < 4096; ++i) {
        noise += static_cast<char>((i * 7919) & 0xFF);
    }
    ups.Receive(noise);
    EXPECT_EQ(ups.Receive("\rQ1\r").size(), 47u);
}

TEST(SimulatedUps, ReportsStateChangesAsEvents) {
    SimulatedUps ups(UpsOptions{});
    ups.Receive("T\r");
    ups.Advance(11.0);
    const auto events = ups.TakeEvents();
    EXPECT_EQ(events, (std::vector<std::string>{"test started: 10 s", "test ended: done"}));
    EXPECT_TRUE(ups.TakeEvents().empty());
}

}  // namespace
}  // namespace gw::upssim
