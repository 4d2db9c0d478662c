#include "fakes/fake_hid.h"

#include <algorithm>

namespace gw::fakes {

std::vector<std::vector<std::uint8_t>> SplitIntoReports(const std::string& reply, bool numbered,
                                                        std::uint8_t report_number) {
    std::vector<std::vector<std::uint8_t>> reports;
    for (std::size_t at = 0; at < reply.size(); at += kFakeReportData) {
        std::vector<std::uint8_t> report;
        if (numbered) report.push_back(report_number);
        const std::size_t end = std::min(reply.size(), at + kFakeReportData);
        report.insert(report.end(), reply.begin() + at, reply.begin() + end);
        report.resize((numbered ? 1 : 0) + kFakeReportData, 0);
        reports.push_back(std::move(report));
    }
    return reports;
}

FakeHidDevice::FakeHidDevice(std::shared_ptr<FakeHidState> state, FakeHidUps& ups)
    : state_(std::move(state)), ups_(ups) {
    ups_.Handles.push_back(this);
}

FakeHidDevice::~FakeHidDevice() {
    ups_.Handles.erase(std::find(ups_.Handles.begin(), ups_.Handles.end(), this));
}

int FakeHidDevice::WriteReport(const std::uint8_t* data, std::size_t length) {
    ups_.Written.emplace_back(data, data + length);
    if (++ups_.Writes == ups_.FailWrite) {
        error_ = ups_.ErrorText;
        return -1;
    }
    // The command is the data after the report number, up to its padding.
    std::string command;
    for (std::size_t i = 1; i < length && data[i] != 0; ++i) command += static_cast<char>(data[i]);
    if (auto it = ups_.Replies.find(command); it != ups_.Replies.end()) {
        for (const auto& report : SplitIntoReports(it->second, ups_.Numbered, ups_.ReportNumber)) {
            for (FakeHidDevice* handle : ups_.Handles) handle->Pending.push_back(report);
        }
    }
    return static_cast<int>(length);
}

int FakeHidDevice::ReadReport(std::uint8_t* buffer, std::size_t length,
                              std::chrono::milliseconds timeout) {
    ups_.ReadTimeouts.push_back(timeout);
    if (++ups_.Reads == ups_.FailRead) {
        error_ = ups_.ErrorText;
        return -1;
    }
    if (Pending.empty()) return 0;
    // Like hidraw, a buffer shorter than the report gets its beginning only.
    const std::vector<std::uint8_t> report = std::move(Pending.front());
    Pending.pop_front();
    const std::size_t copied = std::min(length, report.size());
    std::copy_n(report.begin(), copied, buffer);
    return static_cast<int>(copied);
}

std::unique_ptr<link::HidDevice> FakeHidBus::Open(const std::string& path, std::string& error) {
    if (++state_->Opens == state_->FailOpen) {
        error = state_->FailOpenError;
        return nullptr;
    }
    if (auto it = state_->OpenErrors.find(path); it != state_->OpenErrors.end()) {
        error = it->second;
        return nullptr;
    }
    auto ups = state_->Ups.find(path);
    if (ups == state_->Ups.end()) {
        error = "No such file or directory";
        return nullptr;
    }
    return std::make_unique<FakeHidDevice>(state_, ups->second);
}

}  // namespace gw::fakes
