#include <gtest/gtest.h>

#include "link/hid_device.h"
#include "link/hid_report_descriptor.h"

namespace gw::link {
namespace {

struct DescriptorCase {
    const char* name;
    std::vector<std::uint8_t> descriptor;
    bool numbered;
};

class ReportDescriptorTest : public ::testing::TestWithParam<DescriptorCase> {};

TEST_P(ReportDescriptorTest, FindsReportIdItemsOnly) {
    EXPECT_EQ(HasReportIdItem(GetParam().descriptor), GetParam().numbered);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Descriptors, ReportDescriptorTest, ::testing::Values(
    DescriptorCase{"empty", {}, false},
    // vendor page, 8-byte input and output reports, no Report ID
    DescriptorCase{"plain_ups", {0x06, 0xA0, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x09, 0x01, 0x15, 0x00,
                                 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x08, 0x81, 0x02, 0x09, 0x02,
                                 0x91, 0x02, 0xC0}, false},
    DescriptorCase{"numbered", {0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x85, 0x01, 0x75, 0x08, 0xC0},
                   true},
    DescriptorCase{"four_byte_id", {0x87, 0x01, 0x00, 0x00, 0x00}, true},
    DescriptorCase{"prefix_as_data", {0x26, 0x85, 0x00, 0x27, 0x85, 0x85, 0x85, 0x85}, false},
    DescriptorCase{"inside_long_item", {0xFE, 0x03, 0x10, 0x85, 0x01, 0x00}, false},
    DescriptorCase{"after_long_item", {0xFE, 0x01, 0x10, 0xAA, 0x85, 0x02}, true},
    DescriptorCase{"truncated_id", {0x09, 0x01, 0x85}, false},
    DescriptorCase{"truncated_long_item", {0xFE}, false}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

TEST(ReportDescriptorPathTest, OnlyHidrawNodesHaveOne) {
    EXPECT_EQ(ReportDescriptorPath("/dev/hidraw3"),
              "/sys/class/hidraw/hidraw3/device/report_descriptor");
    EXPECT_EQ(ReportDescriptorPath("/dev/hidraw12"),
              "/sys/class/hidraw/hidraw12/device/report_descriptor");
    for (const char* path :
         {"", "/dev/hidraw", "/dev/hidraw3x", "/dev/ttyS0", "/dev/hidraw/../x"}) {
        EXPECT_EQ(ReportDescriptorPath(path), "") << path;
    }
}

TEST(HidrawBusTest, OpeningAMissingDeviceGivesTheReason) {
    auto bus = CreateHidBus();
    std::string error;
    EXPECT_EQ(bus->Open("/dev/hidraw-gridwarden-missing", error), nullptr);
    EXPECT_NE(error, "");
    bus->Enumerate();  // must not fail on a machine without HID devices
}

}  // namespace
}  // namespace gw::link
