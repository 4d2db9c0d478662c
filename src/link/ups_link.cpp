#include "link/ups_link.h"

#include <thread>

#include "link/com_exchange.h"
#include "link/hid_exchange.h"
#include "link/port_map.h"
#include "link/protocol.h"
#include "link/serial_port.h"

namespace gw::link {

void RealSleep(std::chrono::milliseconds duration) { std::this_thread::sleep_for(duration); }

UpsLink::UpsLink() = default;
UpsLink::~UpsLink() = default;

void UpsLink::ResetRating() {
    RatedVoltage = 220;
    RatedCurrent = 0;
    NominalBatteryVoltage = 12;
    RatedFrequency = 50;
}

Wire::Wire(UpsLink& link, DataMutex& data_mutex, LogSink& log, HidBus* hid_bus, SleepFor sleep,
           ComOpener open)
    : link_(link),
      data_mutex_(data_mutex),
      log_(log),
      hid_bus_(hid_bus),
      sleep_(std::move(sleep)),
      open_(std::move(open)) {
    if (!open_) {
        open_ = [sleep = sleep_](int port, const std::string& path, std::string& error) {
            return link::OpenComPort(port, path, error, sleep);
        };
    }
}

std::unique_ptr<SerialPort> Wire::OpenPortHandle(int port, std::string& error) const {
    return open_(port, ComPortPath(port), error);
}

std::string Wire::ExchangeCommand(std::string_view command) {
    std::lock_guard lock(data_mutex_);
    if (link_.HidPresent) {
        if (!link_.HidKnown || hid_bus_ == nullptr) return {};
        return HidExchangeCommand(*hid_bus_, link_.HidDevicePath, command, log_, sleep_);
    }
    if (link_.ComOpen && link_.ComHandle) {
        return ComExchangeCommand(*link_.ComHandle, command, sleep_);
    }
    return {};
}

PollResult Wire::PollExchange(std::string_view inquiry) {
    std::lock_guard lock(data_mutex_);
    if (link_.HidPresent) {
        if (!link_.HidKnown || hid_bus_ == nullptr) return {};
        return HidPollExchange(*hid_bus_, link_.HidDevicePath, inquiry, sleep_);
    }
    if (!link_.ComOpen) return {};
    if (!link_.ComHandle && com_lost_) {
        // Resolved afresh each time: the link may have gone, come back or moved meanwhile.
        const ComRoute route = ResolveComPort(link_.ComPort, com_linked_);
        if (route.Path.empty()) return {};
        std::string ignored;
        link_.ComHandle = open_(link_.ComPort, route.Path, ignored);
        if (!link_.ComHandle) return {};
        com_lost_ = false;
        com_linked_ = com_linked_ || route.Linked;
    }
    if (!link_.ComHandle) return {};
    PollResult result = ComPollExchange(*link_.ComHandle, inquiry, sleep_);
    // A port that opens is not yet the UPS: a built-in port opens with nothing behind it.
    if (com_down_ && result.StatusText &&
        AcceptsReply(Command::StatusMegatec, *result.StatusText)) {
        result.Change.Restored = true;
        com_down_ = false;
    }
    if (!result.Change.Lost.empty()) {
        link_.ComHandle.reset();
        com_lost_ = true;
        if (com_down_) result.Change.Lost.clear();
        com_down_ = true;
    }
    return result;
}

bool Wire::OpenComPort(int port, std::string* error) {
    std::lock_guard lock(data_mutex_);
    std::string reason;
    const ComRoute route = ResolveComPort(port);
    auto serial = open_(port, route.Path, reason);
    if (!serial) {
        if (error != nullptr) *error = reason;
        return false;
    }
    link_.ComHandle = std::move(serial);
    com_lost_ = com_down_ = false;
    com_linked_ = route.Linked;
    link_.ComPort = static_cast<std::uint8_t>(port);
    link_.ComOpen = true;
    link_.LinkUsable = true;
    return true;
}

void Wire::CloseLink() {
    std::lock_guard lock(data_mutex_);
    if (link_.ComOpen && link_.ComPort != 0 && link_.ComHandle) {
        std::string ignored;
        link_.ComHandle->SetDtr(false, ignored);
    }
    link_.ComHandle.reset();
    com_lost_ = com_down_ = false;
}

void Wire::ForgetComPort() {
    std::lock_guard lock(data_mutex_);
    CloseLink();
    link_.ComOpen = false;
    link_.ComPort = 0;
    if (!link_.HidPresent) link_.LinkUsable = false;
}

}  // namespace gw::link
