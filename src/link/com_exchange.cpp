#include "link/com_exchange.h"

#include "link/port_map.h"
#include "link/status_reply.h"

namespace gw::link {

std::unique_ptr<SerialPort> OpenComPort(int port, std::string& error, const SleepFor& sleep) {
    return OpenComPort(port, ComPortPath(port), error, sleep);
}

std::unique_ptr<SerialPort> OpenComPort(int port, const std::string& path, std::string& error,
                                        const SleepFor& sleep) {
    std::string reason;
    auto serial = OpenSerialPort(path, reason);
    if (serial && serial->Purge(reason) && serial->SetDtr(true, reason) &&
        serial->SetRts(false, reason)) {
        sleep(kComSettleTime);
        return serial;
    }
    error = "COM" + std::to_string(port) + " (" + path + "): " + reason;
    return nullptr;
}

std::string ComExchangeCommand(SerialPort& port, std::string_view command, const SleepFor& sleep) {
    // A write that does not finish in time changes nothing: the read still
    // follows and collects whatever the UPS says.
    port.Write(command, kComWriteLimit);
    sleep(kComReplyPause);
    return port.Read(kComReadSize, kComReadTimeout).Bytes;
}

PollResult ComPollExchange(SerialPort& port, std::string_view inquiry, const SleepFor& sleep) {
    PollResult result;
    const IoResult write = port.Write(inquiry, kComWriteLimit);
    const std::size_t written = write.Completed ? write.Count : inquiry.size();
    std::string received;
    if (write.Gone) result.Change.Lost = write.Error;
    if (written != 0 && write.Error.empty()) {
        sleep(kComReplyPause);
        IoResult read = port.Read(kComReadSize, kComReadTimeout);
        received = std::move(read.Bytes);
        if (read.Gone) result.Change.Lost = read.Error;
    }
    result.StatusText = BuildStatusText(received);
    result.ExchangeFailed = received.empty();
    return result;
}

}  // namespace gw::link
