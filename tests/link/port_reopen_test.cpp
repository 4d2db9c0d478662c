// A serial UPS that goes away and comes back where the port map leads: the link follows COMn's
// link and nothing else, and calls the UPS back only once it answers.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "fakes/recording_log.h"
#include "link/port_map.h"
#include "link/serial_port.h"
#include "link/ups_link.h"

namespace gw::link {
namespace {

const std::string kStatus = "(228.6 228.6 228.6 012 50.0 13.6 27.0 00001001\r";

enum class Device { Answers, Silent, Gone };

// Devices by the name a link leads to; a port reads as its device is at the time of the read.
using Devices = std::map<std::string, Device>;

class DevicePort final : public SerialPort {
public:
    DevicePort(const Devices& devices, std::string name)
        : devices_(devices), name_(std::move(name)) {}
    IoResult Write(std::string_view bytes, std::chrono::milliseconds) override {
        return {"", bytes.size(), true, "", false};
    }
    IoResult Read(std::size_t, std::chrono::milliseconds) override {
        const auto it = devices_.find(name_);
        const Device now = it == devices_.end() ? Device::Gone : it->second;
        if (now == Device::Gone) return {"", 0, false, "hang-up", true};
        if (now == Device::Silent) return {};
        return {kStatus, kStatus.size(), false, "", false};
    }
    bool Purge(std::string&) override { return true; }
    bool SetDtr(bool, std::string&) override { return true; }
    bool SetRts(bool, std::string&) override { return true; }

private:
    const Devices& devices_;
    std::string name_;
};

class PortReopenTest : public ::testing::Test {
protected:
    PortReopenTest() {
        char tmpl[] = "/tmp/gw-reopen-XXXXXX";
        dir_ = mkdtemp(tmpl);
        setenv("XDG_CONFIG_HOME", dir_.c_str(), 1);
        std::filesystem::create_directories(PortMapDir());
    }
    ~PortReopenTest() override {
        unsetenv("XDG_CONFIG_HOME");
        std::filesystem::remove_all(dir_);
    }
    void LinkTo(const std::string& name) {
        std::filesystem::remove(PortMapLink(1));
        if (!name.empty()) std::filesystem::create_symlink(name, PortMapLink(1));
    }
    // What one poll cycle told, as "lost <why>", "restored" or "".
    std::string Poll() {
        const PollResult result = wire_.PollExchange("Q1\r");
        if (!result.Change.Lost.empty()) return "lost " + result.Change.Lost;
        return result.Change.Restored ? "restored" : "";
    }

    std::string dir_;
    Devices devices_;
    std::vector<std::string> opened_;  // the paths the link asked for
    UpsLink link_;
    DataMutex mutex_;
    fakes::RecordingLog log_;
    Wire wire_{link_,
               mutex_,
               log_,
               nullptr,
               [](std::chrono::milliseconds) {},
               [this](int, const std::string& path, std::string&) -> std::unique_ptr<SerialPort> {
                   opened_.push_back(path);
                   std::error_code ec;
                   const std::string name = std::filesystem::read_symlink(path, ec).string();
                   return std::make_unique<DevicePort>(devices_, ec ? path : name);
               }};
};

TEST_F(PortReopenTest, FollowsTheLinkAndCallsTheUpsBackOnlyWhenItAnswers) {
    devices_ = {
        {"pts1", Device::Answers}, {"pts2", Device::Silent}, {"/dev/ttyS0", Device::Silent}};
    LinkTo("pts1");
    ASSERT_TRUE(wire_.OpenComPort(1));
    EXPECT_EQ(Poll(), "");

    devices_.erase("pts1");  // the simulator ends and takes its link along
    LinkTo("");
    EXPECT_EQ(Poll(), "lost hang-up");
    EXPECT_EQ(Poll(), "");  // nothing to open: the built-in port is not COM1 now
    LinkTo("pts9");         // a link left behind, to a terminal that is gone
    EXPECT_EQ(Poll(), "");  // opens, fails again: the same loss, not told twice
    LinkTo("pts2");         // back, not answering yet
    EXPECT_EQ(Poll(), "");
    devices_["pts2"] = Device::Answers;
    EXPECT_EQ(Poll(), "restored");
    EXPECT_EQ(Poll(), "");

    const std::string com1 = PortMapLink(1);
    EXPECT_EQ(opened_, (std::vector<std::string>{com1, com1, com1}));
}

TEST_F(PortReopenTest, PortFoundWithoutALinkTakesOneThatAppears) {
    devices_ = {{"/dev/ttyS0", Device::Gone}, {"pts3", Device::Answers}};
    ASSERT_TRUE(wire_.OpenComPort(1));
    EXPECT_EQ(Poll(), "lost hang-up");
    EXPECT_EQ(Poll(), "");
    LinkTo("pts3");
    EXPECT_EQ(Poll(), "restored");
    EXPECT_EQ(opened_, (std::vector<std::string>{"/dev/ttyS0", "/dev/ttyS0", PortMapLink(1)}));
}

}  // namespace
}  // namespace gw::link
