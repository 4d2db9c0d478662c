// A HID bus whose devices answer from a script, with hidapi's edges: a read
// returns one report, 0 when none is waiting (the time-out, at once) and -1
// with an error text when scripted to fail. As on hidraw, an input report
// reaches only the handles open when the device sends it.
//
// The bus and every handle it opens share one FakeHidState, so a test can
// look at what was written after the exchange. Single-threaded.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "link/hid_device.h"

namespace gw::fakes {

class FakeHidDevice;

constexpr std::size_t kFakeReportData = 8;  // data bytes per input report

struct FakeHidUps {
    // Command text as written ("Q1\r", trailing zeros cut) -> the reply,
    // sent as 8-byte reports, the last one padded with zeros.
    std::map<std::string, std::string> Replies;
    bool Numbered = false;  // every report read starts with ReportNumber
    std::uint8_t ReportNumber = 1;
    int FailWrite = 0;  // the Nth write (1-based) returns -1
    int FailRead = 0;   // the Nth read (1-based) returns -1
    std::string ErrorText = "Input/output error";

    std::vector<std::vector<std::uint8_t>> Written;  // every report written, failed ones too
    std::vector<std::chrono::milliseconds> ReadTimeouts;
    int Writes = 0;
    int Reads = 0;
    std::vector<FakeHidDevice*> Handles;  // open now, in the order opened
};

struct FakeHidState {
    std::vector<link::HidDeviceInfo> Devices;       // what Enumerate lists
    std::map<std::string, FakeHidUps> Ups;          // by path; Open fails for other paths
    std::map<std::string, std::string> OpenErrors;  // path -> the error every Open there gives
    int FailOpen = 0;                               // the Nth Open (1-based) fails, on any path
    std::string FailOpenError = "Permission denied";
    int Opens = 0;
};

class FakeHidDevice final : public link::HidDevice {
public:
    FakeHidDevice(std::shared_ptr<FakeHidState> state, FakeHidUps& ups);
    ~FakeHidDevice() override;
    FakeHidDevice(const FakeHidDevice&) = delete;
    FakeHidDevice& operator=(const FakeHidDevice&) = delete;

    int WriteReport(const std::uint8_t* data, std::size_t length) override;
    int ReadReport(std::uint8_t* buffer, std::size_t length,
                   std::chrono::milliseconds timeout) override;
    std::string ErrorText() override { return error_; }
    bool NumberedReports() const override { return ups_.Numbered; }

    // Input reports delivered to this handle and not yet read.
    std::deque<std::vector<std::uint8_t>> Pending;

private:
    std::shared_ptr<FakeHidState> state_;  // keeps `ups_` alive
    FakeHidUps& ups_;
    std::string error_;
};

class FakeHidBus final : public link::HidBus {
public:
    explicit FakeHidBus(std::shared_ptr<FakeHidState> state) : state_(std::move(state)) {}

    std::vector<link::HidDeviceInfo> Enumerate() override { return state_->Devices; }
    std::unique_ptr<link::HidDevice> Open(const std::string& path, std::string& error) override;

private:
    std::shared_ptr<FakeHidState> state_;
};

// The input reports a UPS sends for `reply`, as a device reads them.
std::vector<std::vector<std::uint8_t>> SplitIntoReports(const std::string& reply, bool numbered,
                                                        std::uint8_t report_number);

}  // namespace gw::fakes
