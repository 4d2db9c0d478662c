// A power backend that records what it is asked and answers as scripted. Answers wait until the
// test gives them (Answer, AnswerAll), so a test decides what happens before the system answered.
// Its delay inhibitor is a real file descriptor (one end of a pipe), so a test sees whether it is
// still held the way the system would: by the other end.
//
// Thread rule: main thread only, like the backend it stands in for.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <deque>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "monitor/power_control.h"

namespace gw::fakes {

class FakePowerControl final : public monitor::PowerControl {
public:
    ~FakePowerControl() override {
        for (const auto& watch : watch_fds_) ::close(watch.second);
    }

    void Can(monitor::PowerAction action, std::function<void(monitor::Capability)> done) override {
        Ask(std::string("Can ") + monitor::RowOf(action).Name,
            [this, action, done] { done(CapabilityOf(action)); });
    }

    void Do(monitor::PowerAction action, std::function<void(std::string)> done) override {
        Ask(std::string("Do ") + monitor::RowOf(action).Name, [this, action, done] {
            auto it = DoErrors.find(action);
            done(it == DoErrors.end() ? std::string() : it->second);
        });
        if (OnDo) OnDo(action);
    }

    void TakeDelayInhibitor(
        std::string_view what, std::string_view why,
        std::function<void(monitor::DelayInhibitor, std::string)> done) override {
        LastWhy = std::string(why);
        Ask("Inhibit " + std::string(what), [this, what = std::string(what), done] {
            auto it = InhibitErrors.find(what);
            if (it != InhibitErrors.end() && !it->second.empty()) return done({}, it->second);
            int fds[2];
            if (::pipe2(fds, O_CLOEXEC) != 0) return done({}, "pipe failed");
            watch_fds_.emplace_back(what, fds[0]);
            done(monitor::DelayInhibitor(fds[1]), {});
        });
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

    // Gives the oldest answer still to come; false when none is.
    bool Answer() {
        if (pending_.empty()) return false;
        auto answer = std::move(pending_.front().second);
        pending_.pop_front();
        answer();
        return true;
    }
    // Gives every answer, also those to questions asked meanwhile.
    void AnswerAll() {
        while (Answer()) {
        }
    }
    // The calls whose answers are still to come, oldest first.
    std::vector<std::string> Unanswered() const {
        std::vector<std::string> calls;
        for (const auto& entry : pending_) calls.push_back(entry.first);
        return calls;
    }

    // Inhibitors handed out and not yet released, of `what` or of any.
    int InhibitorsHeld(const std::string& what = {}) const {
        int held = 0;
        for (const auto& watch : watch_fds_) {
            if (!what.empty() && watch.first != what) continue;
            pollfd entry{watch.second, POLLIN, 0};
            if (::poll(&entry, 1, 0) == 0) ++held;  // no hang-up yet
        }
        return held;
    }

    // Scripted answers per action, read when answering: "yes" when absent, else logind's word
    // or "error:<text>".
    std::map<monitor::PowerAction, std::string> Answers;
    std::map<monitor::PowerAction, std::string> DoErrors;
    // Per what is inhibited ("sleep", "shutdown"), read when answering; empty or absent grants.
    std::map<std::string, std::string> InhibitErrors;
    std::function<void(monitor::PowerAction)> OnDo;

    std::vector<std::string> Calls;
    std::string LastWhy;

private:
    void Ask(std::string call, std::function<void()> answer) {
        Calls.push_back(call);
        pending_.emplace_back(std::move(call), std::move(answer));
    }

    monitor::Capability CapabilityOf(monitor::PowerAction action) const {
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

    std::function<void(bool)> sleep_;
    std::function<void(bool)> shutdown_;
    std::deque<std::pair<std::string, std::function<void()>>> pending_;
    std::vector<std::pair<std::string, int>> watch_fds_;  // what, read end
};

}  // namespace gw::fakes
