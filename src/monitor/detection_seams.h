// What finding the UPS needs from the rest of the program: the two dialogs, the status bar, the
// link-opening settings load, the report timers and the polling switch. The window and the
// headless runner implement them; UpsDetection only calls them.
//
// Thread rule: every method is called on the main thread, from inside a detection step.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "monitor/display_model.h"
#include "monitor/polling_control.h"

namespace gw::monitor {

class DetectionDialogs {
public:
    virtual ~DetectionDialogs() = default;
    // The COM port dialog, modal. `items` are "COM1".."COM9" for the ports the scan found, in
    // ascending order; `preselected_index` is the item of the first port where a UPS answered,
    // -1 when none did (the window then preselects the first item; a runner without a user
    // takes none). Returns the index of the item chosen with O.K., or none for Cancel and for
    // O.K. with nothing chosen.
    virtual std::optional<int> ChooseComPort(const std::vector<std::string>& items,
                                             int preselected_index) = 0;
    // The battery voltage dialog, modal: 12..96 volts in steps of 12.
    virtual int ChooseBatteryVoltage() = 0;
    // A problem the user must see (a message box in the window). Returns at once: detection goes
    // on, and a retry on an unattended machine must not wait for somebody to click.
    virtual void ShowError(std::string_view text) = 0;
};

class StatusBar {
public:
    virtual ~StatusBar() = default;
    // Replaces the simple text of the status bar.
    virtual void ShowStatus(std::string_view text) = 0;
};

// The settings read when the link opens. Problems with the store are the implementation's to
// show; these never fail.
class DetectionSettings {
public:
    virtual ~DetectionSettings() = default;
    // The stored "COM Port" when the scan found that port (`port_available`, COM1 first), else 0.
    virtual int LoadComPort(const std::array<bool, 9>& port_available) = 0;
    // The stored battery thresholds, after the nominal voltage has set their ranges.
    virtual void LoadThresholds(DisplayModel& model) = 0;
};

class ReportTimers {
public:
    virtual ~ReportTimers() = default;
    // Sets each report timer's period from its delay and starts the checked ones not running.
    virtual void Arm() = 0;
    virtual void Stop() = 0;
};

}  // namespace gw::monitor
