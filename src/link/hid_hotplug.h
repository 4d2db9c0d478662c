// Tells the main thread when HID devices come or go, so the device list can be rebuilt.
//
// The watcher listens on its own thread and only posts to the main loop. A burst of events (a
// UPS with several interfaces, a hub with several devices) becomes one posted call: the watcher
// posts once the devices have been quiet for `settle`.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "link/main_loop.h"

namespace gw::link {

class HidHotplug {
public:
    // Stops the watcher and waits for its thread. Main thread.
    virtual ~HidHotplug() = default;
};

inline constexpr std::chrono::milliseconds kHotplugSettle{250};

// Watches the hidraw devices of this machine (udev). `on_change` runs on the main thread, never
// after the watcher is gone. Null with `error` set when the system's device manager cannot be
// reached (a container without udev): the program then works without hot-plug.
std::unique_ptr<HidHotplug> StartHidHotplug(MainLoop& loop, std::function<void()> on_change,
                                            std::string& error,
                                            std::chrono::milliseconds settle = kHotplugSettle);

}  // namespace gw::link
