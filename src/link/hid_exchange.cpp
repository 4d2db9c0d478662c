#include "link/hid_exchange.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <memory>

#include "link/hid_device.h"
#include "link/log_sink.h"
#include "link/status_reply.h"

namespace gw::link {

namespace {

//  0 'Q' '1' CR 0 0 0 0 0
//  0  1   2  3  4 5 6 7 8   byte 0 is the report number
constexpr std::size_t kOutputReportSize = 9;
constexpr std::chrono::milliseconds kReplyPause{500};
constexpr std::chrono::milliseconds kReportTimeout{500};
// Bytes read from the device, report numbers included, before the reading
// stops: a device that never falls silent cannot keep an exchange going.
constexpr std::size_t kReadBudget = 256;

// Log lines of the command exchange; the system's error text follows each.
constexpr const char* kOpenReadFailed = "OpenFileEx failed! ";
constexpr const char* kOpenWriteFailed = "OpenFile failed! ";
constexpr const char* kWriteFailed = "WriteFile failed! ";

std::array<std::uint8_t, kOutputReportSize> OutputReport(std::string_view command) {
    std::array<std::uint8_t, kOutputReportSize> report{};
    const std::size_t length = std::min(command.size(), kOutputReportSize - 1);
    std::copy_n(command.begin(), length, report.begin() + 1);
    return report;
}

// Reads until a report fails to come within its time-out, a read fails or
// the budget is spent; the bytes before a failed read are kept, as on the
// serial line.
std::string ReadReply(HidDevice& device) {
    const std::size_t skipped = device.NumberedReports() ? 1 : 0;
    std::array<std::uint8_t, kReadBudget> buffer{};
    std::string reply;
    std::size_t fill = 0;
    while (fill < kReadBudget) {
        const int got = device.ReadReport(buffer.data(), kReadBudget - fill, kReportTimeout);
        if (got <= 0) break;
        const std::size_t length = std::min(static_cast<std::size_t>(got), kReadBudget - fill);
        fill += length;
        if (length > skipped) {
            reply.append(reinterpret_cast<const char*>(buffer.data()) + skipped, length - skipped);
        }
    }
    return reply;
}

struct Transfer {
    const char* FailedStep = nullptr;  // the log line's text; null when the read ran
    std::string ErrorText;
    std::string Reply;
};

enum class OnWriteFailure { Stop, ReadAnyway };

// hidraw hands an input report only to the handles open when it arrives,
// so the read handle is opened before the command goes out and the reply
// cannot slip past it.
Transfer SendAndCollect(HidBus& bus, const std::string& device_path, std::string_view command,
                        OnWriteFailure on_write_failure, const SleepFor& sleep) {
    Transfer transfer;
    std::unique_ptr<HidDevice> reader = bus.Open(device_path, transfer.ErrorText);
    if (!reader) {
        transfer.FailedStep = kOpenReadFailed;
        return transfer;
    }
    {
        std::unique_ptr<HidDevice> writer = bus.Open(device_path, transfer.ErrorText);
        if (!writer) {
            transfer.FailedStep = kOpenWriteFailed;
            return transfer;
        }
        const auto report = OutputReport(command);
        const int written = writer->WriteReport(report.data(), report.size());
        if (written != static_cast<int>(report.size()) &&
            on_write_failure == OnWriteFailure::Stop) {
            transfer.FailedStep = kWriteFailed;
            transfer.ErrorText = writer->ErrorText();
            return transfer;
        }
    }
    sleep(kReplyPause);
    transfer.Reply = ReadReply(*reader);
    return transfer;
}

}  // namespace

std::string HidExchangeCommand(HidBus& bus, const std::string& device_path,
                               std::string_view command, LogSink& log, const SleepFor& sleep) {
    Transfer transfer = SendAndCollect(bus, device_path, command, OnWriteFailure::Stop, sleep);
    if (transfer.FailedStep != nullptr) {
        log.AppendLog(transfer.FailedStep + transfer.ErrorText);
        return {};
    }
    return std::move(transfer.Reply);
}

PollResult HidPollExchange(HidBus& bus, const std::string& device_path, std::string_view inquiry,
                           const SleepFor& sleep) {
    const Transfer transfer =
        SendAndCollect(bus, device_path, inquiry, OnWriteFailure::ReadAnyway, sleep);
    PollResult result;
    if (transfer.FailedStep != nullptr) return result;
    // A cycle without a single byte is a silent UPS, not an empty status.
    result.ExchangeFailed = transfer.Reply.empty();
    result.StatusText = BuildStatusText(transfer.Reply);
    return result;
}

}  // namespace gw::link
