// Detection's dialogs as a program without a window meets them: no port and no voltage chosen
// by hand, and every error message kept.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "monitor/detection_seams.h"

namespace gw::fakes {

struct RecordingDialogs final : monitor::DetectionDialogs {
    std::optional<int> ChooseComPort(const std::vector<std::string>&, int) override {
        return std::nullopt;
    }
    int ChooseBatteryVoltage() override { return 12; }
    void ShowError(std::string_view text) override { Shown.emplace_back(text); }
    std::vector<std::string> Shown;
};

}  // namespace gw::fakes
