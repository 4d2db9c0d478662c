// The udev watcher on this machine: it either runs or says why not, and always stops promptly.
#include "link/hid_hotplug.h"

#include <gtest/gtest.h>

#include <chrono>

#include "link/plain_main_loop.h"

namespace gw::link {
namespace {

using namespace std::chrono_literals;

TEST(HidHotplugTest, StartsOrExplainsAndStopsWithoutHanging) {
    PlainMainLoop loop;
    int changes = 0;
    for (int round = 0; round < 3; ++round) {
        std::string error;
        auto watcher = StartHidHotplug(
            loop, [&] { ++changes; }, error, 10ms);
        EXPECT_EQ(watcher == nullptr, !error.empty()) << error;
        const auto start = std::chrono::steady_clock::now();
        watcher.reset();
        EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    }
    // Nothing was plugged: whatever the loop holds must not call into a watcher that is gone.
    loop.RunUntil([] { return false; }, 20ms);
    EXPECT_EQ(changes, 0);
}

}  // namespace
}  // namespace gw::link
