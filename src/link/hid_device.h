// The HID layer as the link needs it: find devices, open one, move reports.
//
// The contract is hidapi's, so the fake in tests behaves as the real library
// does: a write takes the report number in byte 0 and returns the bytes
// written or -1; a read returns the bytes of one report, 0 when the time-out
// passed without one, -1 on error. A device without numbered reports hands
// out its data bytes only; one with numbered reports puts the report number
// in byte 0 of every report read.
//
// Any thread may use a bus or device, one thread at a time per object.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace gw::link {

struct HidDeviceInfo {
    std::string Path;
    std::uint16_t VendorId = 0;
    std::uint16_t ProductId = 0;
    std::string ProductString;  // empty when the device has none
};

class HidDevice {
public:
    virtual ~HidDevice() = default;
    virtual int WriteReport(const std::uint8_t* data, std::size_t length) = 0;
    virtual int ReadReport(std::uint8_t* buffer, std::size_t length,
                           std::chrono::milliseconds timeout) = 0;
    // The text of the last failure on this device.
    virtual std::string ErrorText() = 0;
    // True when every report read starts with its report number.
    virtual bool NumberedReports() const = 0;
};

class HidBus {
public:
    virtual ~HidBus() = default;
    // Every HID device present now, in the order the system lists them.
    virtual std::vector<HidDeviceInfo> Enumerate() = 0;
    // Null with `error` filled when the device cannot be opened.
    virtual std::unique_ptr<HidDevice> Open(const std::string& path, std::string& error) = 0;
};

// The hidapi (hidraw) bus of this machine.
std::unique_ptr<HidBus> CreateHidBus();

}  // namespace gw::link
