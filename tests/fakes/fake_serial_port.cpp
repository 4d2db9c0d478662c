#include "fakes/fake_serial_port.h"

namespace gw::fakes {

link::IoResult FakeSerialPort::Write(std::string_view bytes, std::chrono::milliseconds) {
    link::IoResult result;
    if (state_->WriteFails) {
        result.Error = "Input/output error";
        return result;
    }
    if (state_->WriteStalls) return result;
    state_->Written.emplace_back(bytes);
    if (auto it = state_->Replies.find(std::string(bytes)); it != state_->Replies.end()) {
        state_->Pending += it->second;
    }
    result.Count = bytes.size();
    result.Completed = true;
    return result;
}

link::IoResult FakeSerialPort::Read(std::size_t max, std::chrono::milliseconds) {
    link::IoResult result;
    if (++state_->Reads == state_->FailRead) {
        result.Bytes = state_->Pending.substr(0, std::min(max, state_->Pending.size() / 2));
        state_->Pending.clear();
        result.Count = result.Bytes.size();
        result.Error = "Input/output error";
        return result;
    }
    result.Bytes = state_->Pending.substr(0, max);
    state_->Pending.erase(0, result.Bytes.size());
    result.Count = result.Bytes.size();
    result.Completed = result.Count == max;
    return result;
}

bool FakeSerialPort::Purge(std::string&) {
    state_->Events.push_back("purge");
    state_->Pending.clear();
    return true;
}

bool FakeSerialPort::SetDtr(bool on, std::string& error) {
    state_->Events.push_back(on ? "dtr 1" : "dtr 0");
    if (state_->ModemLinesFail) error = "Input/output error";
    return !state_->ModemLinesFail;
}

bool FakeSerialPort::SetRts(bool on, std::string& error) {
    state_->Events.push_back(on ? "rts 1" : "rts 0");
    if (state_->ModemLinesFail) error = "Input/output error";
    return !state_->ModemLinesFail;
}

}  // namespace gw::fakes
