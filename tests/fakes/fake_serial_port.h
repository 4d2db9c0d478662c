// A serial line whose other end is a script: each write may queue a reply,
// and the Nth read can fail as a vanished line does.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "link/serial_port.h"

namespace gw::fakes {

struct FakeSerialState {
    std::map<std::string, std::string> Replies;  // command -> bytes the UPS sends
    std::string Pending;                          // sent by the UPS, not yet read
    std::vector<std::string> Written;
    std::vector<std::string> Events;  // "dtr 1", "rts 0", "purge", in order
    bool WriteStalls = false;         // writes take nothing (time-out)
    bool WriteFails = false;
    int FailRead = 0;                 // the Nth read (1-based) reports EIO
    int Reads = 0;
    bool ModemLinesFail = false;
};

class FakeSerialPort final : public link::SerialPort {
public:
    explicit FakeSerialPort(std::shared_ptr<FakeSerialState> state) : state_(std::move(state)) {}

    link::IoResult Write(std::string_view bytes, std::chrono::milliseconds limit) override;
    link::IoResult Read(std::size_t max, std::chrono::milliseconds limit) override;
    bool Purge(std::string& error) override;
    bool SetDtr(bool on, std::string& error) override;
    bool SetRts(bool on, std::string& error) override;

private:
    std::shared_ptr<FakeSerialState> state_;
};

}  // namespace gw::fakes
