// The real serial code against the simulated UPS on a pseudo-terminal.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "fakes/recording_log.h"
#include "integration/sim_process.h"
#include "link/plain_main_loop.h"
#include "link/poller.h"
#include "link/port_map.h"
#include "link/status_reply.h"
#include "link/ups_commands.h"
#include "link/ups_link.h"

namespace gw {
namespace {

using namespace std::chrono_literals;

class SimulatorTest : public ::testing::Test {
protected:
    void Open(std::vector<std::string> sim_args = {}) {
        sim_ = std::make_unique<testing::SimulatedUps>(1, std::move(sim_args));
        ASSERT_TRUE(sim_->Ready());
        std::string error;
        ASSERT_TRUE(wire_.OpenComPort(1, &error)) << error;
    }
    void TearDown() override {
        poller_.reset();
        wire_.CloseLink();
    }

    // Polls until `count` cycles were reported; returns their outcomes.
    void StartPolling() {
        poller_ = std::make_unique<link::Poller>(wire_, loop_, [this](bool failed) {
            failed_.push_back(failed);
            texts_.push_back(failed ? std::string() : poller_->CopyStoredReply().Text);
        });
        poller_->SetRefreshInterval(300);
        poller_->StartPolling();
    }
    bool WaitForCycles(std::size_t count) {
        return loop_.RunUntil([&] { return failed_.size() >= count; }, 60s);
    }
    // Waits until a stored status text satisfies `test`.
    bool WaitForText(const std::function<bool(const std::string&)>& test) {
        return loop_.RunUntil([&] { return !texts_.empty() && test(texts_.back()); }, 30s);
    }

    testing::ScratchHome home_;
    link::UpsLink link_;
    link::DataMutex mutex_;
    fakes::RecordingLog log_;
    link::Wire wire_{link_, mutex_, log_, nullptr};
    link::PlainMainLoop loop_;
    std::unique_ptr<testing::SimulatedUps> sim_;
    std::unique_ptr<link::Poller> poller_;
    std::vector<bool> failed_;
    std::vector<std::string> texts_;
};

bool PowerFail(const std::string& text) {
    const auto fields = link::SplitStatusText(text);
    return fields.size() == 8 && link::StatusBit(fields[7], link::StatusFlag::PowerFail);
}

TEST_F(SimulatorTest, MegatecUnitAnswersQ1InfoAndRating) {
    Open({"--pace"});
    EXPECT_TRUE(link::ProbeQ1(wire_));
    EXPECT_FALSE(link::ProbeQS(wire_));  // echoed
    EXPECT_TRUE(link::QueryInfo(wire_));
    EXPECT_FALSE(link_.Manufacturer.empty());
    const link::RatingOutcome rating = link::QueryRating(wire_);
    EXPECT_TRUE(rating.Accepted);
    EXPECT_TRUE(rating.Error.empty()) << rating.Error;
    EXPECT_EQ(link_.NominalBatteryVoltage, 12);
}

TEST_F(SimulatorTest, MustekUnitAnswersOnlyQs) {
    Open({"--mustek", "--battery", "24"});
    EXPECT_FALSE(link::ProbeQ1(wire_));
    EXPECT_TRUE(link::ProbeQS(wire_));
    link::QueryRating(wire_);
    EXPECT_EQ(link_.NominalBatteryVoltage, 24);
}

TEST_F(SimulatorTest, PollingSeesAPowerFailureAndItsEnd) {
    Open();
    link_.Q1Answered = true;
    StartPolling();
    ASSERT_TRUE(WaitForCycles(1));
    EXPECT_FALSE(failed_[0]);
    EXPECT_EQ(texts_[0].front(), '(');
    EXPECT_FALSE(PowerFail(texts_[0]));

    ASSERT_TRUE(sim_->Send("fail"));
    EXPECT_TRUE(WaitForText(PowerFail));
    ASSERT_TRUE(sim_->Send("restore"));
    EXPECT_TRUE(WaitForText([](const std::string& t) { return !PowerFail(t) && t[0] == '('; }));
}

TEST_F(SimulatorTest, SilenceFailsCyclesAndGarbageIsFilteredNotFatal) {
    Open();
    link_.Q1Answered = true;
    ASSERT_TRUE(sim_->Send("silent on"));
    StartPolling();
    ASSERT_TRUE(WaitForCycles(2));
    EXPECT_TRUE(failed_.back());

    ASSERT_TRUE(sim_->Send("silent off"));
    ASSERT_TRUE(sim_->Send("garbage on"));
    const std::size_t seen = failed_.size();
    ASSERT_TRUE(WaitForCycles(seen + 3));
    for (std::size_t i = seen + 1; i < texts_.size(); ++i) {
        for (const char c : texts_[i]) {
            const auto byte = static_cast<unsigned char>(c);
            EXPECT_TRUE(byte != 0 && byte < 128) << i;
        }
    }
}

TEST_F(SimulatorTest, EchoingUnitIsNoStatusUnit) {
    Open();
    ASSERT_TRUE(sim_->Send("echo on"));
    EXPECT_FALSE(link::ProbeQ1(wire_));
    EXPECT_FALSE(link::ProbeQS(wire_));
    EXPECT_EQ(wire_.ExchangeCommand("I\r"), "I\r");
}

TEST_F(SimulatorTest, VanishedUnitFailsEveryCycleWithoutHanging) {
    Open();
    link_.Q1Answered = true;
    StartPolling();
    ASSERT_TRUE(WaitForCycles(1));
    sim_->Kill();
    const std::size_t seen = failed_.size();
    ASSERT_TRUE(WaitForCycles(seen + 3));
    EXPECT_TRUE(failed_.back());
    const auto start = std::chrono::steady_clock::now();
    poller_->EndPolling();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
}

// Tests that hide the machine's own ports link every COMn to a path that does not exist before
// the simulator starts; a program that opens its port once (NUT's drivers) must not be handed
// that placeholder.
TEST(SimulatorStart, ReadyOnlyOnceTheLinkLeadsToItsTerminal) {
    testing::ScratchHome home;
    // Which of the two processes gets there first is chance: ten starts make a slip near certain.
    for (int start = 0; start < 10; ++start) {
        testing::LinkAbsentPorts();
        testing::SimulatedUps sim(3);
        ASSERT_TRUE(sim.Ready());
        ASSERT_TRUE(std::filesystem::is_character_file(link::PortMapLink(3)))
            << "start " << start << ": " << std::filesystem::read_symlink(link::PortMapLink(3));
    }
}

}  // namespace
}  // namespace gw
