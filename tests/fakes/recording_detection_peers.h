// Everything UpsDetection talks to, recording into one journal so a test sees the order across
// them: "log Start Monitoring", "status UPS found", "balloon UPS not found (warning)",
// "dialog COM1,COM3 pre 1", "error ...", "voltage dialog", "thresholds", "start polling",
// "pause", "resume", "arm timers", "stop timers".
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "link/log_sink.h"
#include "monitor/detection_seams.h"
#include "monitor/evaluation_seams.h"
#include "monitor/ups_detection.h"

namespace gw::fakes {

struct DetectionRecorder final : link::LogSink,
                                 monitor::TrayPresenter,
                                 monitor::DetectionDialogs,
                                 monitor::StatusBar,
                                 monitor::DetectionSettings,
                                 monitor::ReportTimers,
                                 monitor::PollingControl {
    void AppendLog(std::string_view text) override { Record("log ", text); }
    void ShowTrayBalloon(std::string_view title, std::string_view text,
                         monitor::BalloonIcon icon) override {
        Balloons.push_back({std::string(title), std::string(text)});
        Record("balloon ",
               std::string(text) +
                   (icon == monitor::BalloonIcon::Warning ? " (warning)" : " (information)"));
    }
    void SetTrayIcon(int) override {}

    std::optional<int> ChooseComPort(const std::vector<std::string>& items,
                                     int preselected_index) override {
        std::string line = "dialog ";
        for (std::size_t i = 0; i < items.size(); ++i) line += (i ? "," : "") + items[i];
        Record(line, " pre " + std::to_string(preselected_index));
        DialogItems = items;
        if (ComAnswer == kTakePreselected) {
            return preselected_index < 0 ? std::nullopt : std::optional<int>(preselected_index);
        }
        return ComAnswer;
    }
    int ChooseBatteryVoltage() override {
        Record("voltage dialog", "");
        return BatteryVoltage;
    }
    void ShowError(std::string_view text) override { Record("error ", text); }
    void ShowStatus(std::string_view text) override {
        Statuses.emplace_back(text);
        Record("status ", text);
    }

    int LoadComPort(const std::array<bool, 9>& port_available) override {
        const bool usable = StoredComPort >= 1 && StoredComPort <= 9 &&
                            port_available[static_cast<std::size_t>(StoredComPort - 1)];
        return usable ? StoredComPort : 0;
    }
    void LoadThresholds(monitor::DisplayModel& model) override {
        ThresholdRangeMax = model.FullBatteryVoltageUD.Max;
        Record("thresholds", "");
    }

    void Arm() override { Record("arm timers", ""); }
    void Stop() override { Record("stop timers", ""); }

    void StartPolling() override { Record("start polling", ""); }
    void EndPolling() override { Record("end polling", ""); }
    void PausePolling() override {
        Record(Paused ? "PAUSED TWICE" : "pause", "");
        Paused = true;
    }
    void ResumePolling() override {
        Record(Paused ? "resume" : "RESUMED UNPAUSED", "");
        Paused = false;
    }
    bool PollingPaused() const override { return Paused; }

    monitor::DetectionPeers Peers() { return {*this, *this, *this, *this, *this, PowerAllowed, {}}; }

    // The journal's entries that start with `prefix` ("log ", "status "), prefix removed.
    std::vector<std::string> Only(std::string_view prefix) const {
        std::vector<std::string> out;
        for (const auto& line : Journal) {
            if (line.rfind(prefix, 0) == 0) out.push_back(line.substr(prefix.size()));
        }
        return out;
    }
    int Count(std::string_view line) const {
        int n = 0;
        for (const auto& entry : Journal) n += entry == line ? 1 : 0;
        return n;
    }

    static constexpr int kTakePreselected = -100;
    struct Balloon {
        std::string Title;
        std::string Text;
    };

    std::optional<int> ComAnswer = kTakePreselected;
    int BatteryVoltage = 12;
    int StoredComPort = 0;
    bool Paused = false;
    std::function<bool(monitor::PowerAction)> PowerAllowed;
    int ThresholdRangeMax = 0;
    std::vector<std::string> DialogItems;
    std::vector<std::string> Statuses;
    std::vector<Balloon> Balloons;
    std::vector<std::string> Journal;

private:
    void Record(std::string_view what, std::string_view detail) {
        Journal.push_back(std::string(what) + std::string(detail));
    }
};

}  // namespace gw::fakes
