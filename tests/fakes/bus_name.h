// Waiting for a mock service (python3-dbusmock) to take its name on a private bus: the process
// starts at once, the name comes a little later.
#pragma once

#include <sdbus-c++/sdbus-c++.h>

#include <chrono>
#include <string>
#include <thread>

namespace gw::fakes {

// True once `name` has an owner on `connection`'s bus; false after `limit`.
inline bool WaitForBusName(sdbus::IConnection& connection, const std::string& name,
                           std::chrono::seconds limit = std::chrono::seconds(30)) {
    auto bus = sdbus::createProxy(connection, "org.freedesktop.DBus", "/org/freedesktop/DBus");
    bool owned = false;
    for (auto deadline = std::chrono::steady_clock::now() + limit;
         !owned && std::chrono::steady_clock::now() < deadline;) {
        bus->callMethod("NameHasOwner")
            .onInterface("org.freedesktop.DBus")
            .withArguments(name)
            .storeResultsTo(owned);
        if (!owned) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return owned;
}

}  // namespace gw::fakes
