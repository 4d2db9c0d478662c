// Recording fakes of what the status evaluation calls. Each keeps typed records and, when given
// a shared journal, appends one line per call to it, so a test can check the order of calls
// across all of them:
//   "log Power Fail", "balloon Power fail (warning)", "icon 2",
//   "notice PowerFail mail lan", "start 600s", "cancel", "fire".
#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

#include "link/log_sink.h"
#include "link/ups_link.h"
#include "monitor/battery_charge.h"
#include "monitor/display_model.h"
#include "monitor/evaluation_seams.h"
#include "monitor/status_evaluation.h"

namespace gw::fakes {

using Journal = std::vector<std::string>;

inline const char* NoticeName(monitor::NoticeKind kind) {
    switch (kind) {
        case monitor::NoticeKind::PowerFail:
            return "PowerFail";
        case monitor::NoticeKind::PowerRestored:
            return "PowerRestored";
        case monitor::NoticeKind::AvrOn:
            return "AvrOn";
        case monitor::NoticeKind::AvrOff:
            return "AvrOff";
        case monitor::NoticeKind::BatteryLow:
            return "BatteryLow";
        case monitor::NoticeKind::BatteryGood:
            return "BatteryGood";
        case monitor::NoticeKind::BatteryWeak:
            return "BatteryWeak";
        case monitor::NoticeKind::BatteryReplace:
            return "BatteryReplace";
    }
    return "?";
}

class JournalLog final : public link::LogSink {
public:
    explicit JournalLog(Journal* journal = nullptr) : journal_(journal) {}
    void AppendLog(std::string_view text) override {
        Lines.emplace_back(text);
        if (journal_) journal_->push_back("log " + std::string(text));
    }
    std::vector<std::string> Lines;

private:
    Journal* journal_;
};

class RecordingTray final : public monitor::TrayPresenter {
public:
    struct Balloon {
        std::string Title;
        std::string Text;
        monitor::BalloonIcon Icon;
    };

    explicit RecordingTray(Journal* journal = nullptr) : journal_(journal) {}
    void ShowTrayBalloon(std::string_view title, std::string_view text,
                         monitor::BalloonIcon icon) override {
        Balloons.push_back({std::string(title), std::string(text), icon});
        if (journal_) {
            journal_->push_back(
                "balloon " + std::string(text) +
                (icon == monitor::BalloonIcon::Warning ? " (warning)" : " (information)"));
        }
    }
    void SetTrayIcon(int index) override {
        Icons.push_back(index);
        if (journal_) journal_->push_back("icon " + std::to_string(index));
    }

    std::vector<Balloon> Balloons;
    std::vector<int> Icons;

private:
    Journal* journal_;
};

class RecordingNotices final : public monitor::EventNotices {
public:
    struct Notice {
        monitor::NoticeKind Kind;
        std::chrono::system_clock::time_point Time;
        monitor::NoticeChannels Channels;
    };

    explicit RecordingNotices(Journal* journal = nullptr) : journal_(journal) {}
    void Notify(monitor::NoticeKind kind, std::chrono::system_clock::time_point event_time,
                monitor::NoticeChannels channels) override {
        Notices.push_back({kind, event_time, channels});
        if (journal_) {
            journal_->push_back(std::string("notice ") + NoticeName(kind) +
                                (channels.Mail ? " mail" : "") + (channels.Lan ? " lan" : ""));
        }
    }

    std::vector<Notice> Notices;

private:
    Journal* journal_;
};

class RecordingCountdown final : public monitor::Countdown {
public:
    explicit RecordingCountdown(Journal* journal = nullptr) : journal_(journal) {}
    void StartCountdown(std::chrono::seconds delay) override {
        Starts.push_back(delay);
        Record("start " + std::to_string(delay.count()) + "s");
    }
    void CancelCountdown() override {
        ++Cancels;
        Record("cancel");
    }
    void FireNow() override {
        ++Fires;
        Record("fire");
    }

    std::vector<std::chrono::seconds> Starts;
    int Cancels = 0;
    int Fires = 0;

private:
    void Record(std::string line) {
        if (journal_) journal_->push_back(std::move(line));
    }
    Journal* journal_;
};

// The status one reply gives, evaluated by a unit of `nominal` battery volts with quiet peers.
inline monitor::UpsStatus EvaluatedOnce(const std::string& text,
                                        std::chrono::system_clock::time_point time,
                                        int nominal = 12) {
    link::UpsLink link;
    link.LinkUsable = true;
    link.Q1Answered = true;
    link.NominalBatteryVoltage = nominal;
    monitor::DisplayModel display;
    monitor::ApplyNominalVoltage(display, nominal);
    JournalLog log;
    RecordingTray tray;
    RecordingNotices notices;
    RecordingCountdown countdown;
    monitor::StatusEvaluation evaluation(link, display, log, tray, notices, countdown);
    evaluation.EvaluateStatus({text, time});
    return evaluation.CopyStatus();
}

}  // namespace gw::fakes
