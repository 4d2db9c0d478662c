// A power backend that records what it is asked and answers as scripted. Its delay inhibitor is
// a real file descriptor (one end of a pipe), so a test sees whether it is still held the way
// the system would: by the other end.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "monitor/power_control.h"

namespace gw::fakes {

class FakePowerControl final : public monitor::PowerControl {
public:
    ~FakePowerControl() override {
        for (int fd : watch_fds_) ::close(fd);
    }

    monitor::Capability Can(monitor::PowerAction action) override {
        Calls.push_back(std::string("Can ") + monitor::RowOf(action).Name);
        auto it = Answers.find(action);
        monitor::Capability capability;
        if (it == Answers.end()) {
            capability.Answer = "yes";
        } else if (it->second.rfind("error:", 0) == 0) {
            capability.Error = it->second.substr(6);
            return capability;
        } else {
            capability.Answer = it->second;
        }
        capability.Allowed = capability.Answer == "yes";
        return capability;
    }

    bool Do(monitor::PowerAction action, std::string& error) override {
        Calls.push_back(std::string("Do ") + monitor::RowOf(action).Name);
        if (OnDo) OnDo(action);
        auto it = DoErrors.find(action);
        if (it == DoErrors.end()) return true;
        error = it->second;
        return false;
    }

    monitor::DelayInhibitor TakeDelayInhibitor(std::string_view why, std::string& error) override {
        Calls.push_back("Inhibit");
        LastWhy = std::string(why);
        if (!InhibitError.empty()) {
            error = InhibitError;
            return {};
        }
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) {
            error = "pipe failed";
            return {};
        }
        watch_fds_.push_back(fds[0]);
        return monitor::DelayInhibitor(fds[1]);
    }

    void OnPrepareForSleep(std::function<void(bool)> handler) override {
        sleep_ = std::move(handler);
    }
    void OnPrepareForShutdown(std::function<void(bool)> handler) override {
        shutdown_ = std::move(handler);
    }

    // The system's announcements, delivered as a backend would: on the main thread.
    void PrepareForSleep(bool start) { sleep_(start); }
    void PrepareForShutdown(bool start) { shutdown_(start); }

    // Inhibitors handed out and not yet released.
    int InhibitorsHeld() const {
        int held = 0;
        for (int fd : watch_fds_) {
            pollfd entry{fd, POLLIN, 0};
            if (::poll(&entry, 1, 0) == 0) ++held;  // no hang-up yet
        }
        return held;
    }

    // Scripted answers per action: "yes" when absent, else logind's word or "error:<text>".
    std::map<monitor::PowerAction, std::string> Answers;
    std::map<monitor::PowerAction, std::string> DoErrors;
    std::string InhibitError;
    std::function<void(monitor::PowerAction)> OnDo;

    std::vector<std::string> Calls;
    std::string LastWhy;

private:
    std::function<void(bool)> sleep_;
    std::function<void(bool)> shutdown_;
    std::vector<int> watch_fds_;
};

}  // namespace gw::fakes
