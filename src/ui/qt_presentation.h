// What the core shows and asks, in the window: balloons and images at the tray icon, texts in
// the status bar, errors in message boxes, and the COM port and battery voltage dialogs.
//
// Thread rule: GUI (main) thread only.
#pragma once

#include <string>

#include "app/application.h"
#include "monitor/status_evaluation.h"
#include "ui/dialogs.h"

namespace gw::ui {

class MainWindow;
class TrayIcon;

class QtPresentation final : public app::Presentation {
public:
    explicit QtPresentation(TrayIcon& tray) : tray_(tray) {}

    // The window comes after the application that talks through this; what the status bar
    // was told before is shown when it arrives.
    void AttachWindow(MainWindow* window);

    void ShowTrayBalloon(std::string_view title, std::string_view text,
                         monitor::BalloonIcon icon) override;
    void SetTrayIcon(int index) override;
    void ShowStatus(std::string_view text) override;
    void ShowError(std::string_view text) override;
    std::optional<int> ChooseComPort(const std::vector<std::string>& items,
                                     int preselected_index) override;
    int ChooseBatteryVoltage() override;

    TimedTestDialog& TimedTest() { return timed_test_; }
    // The image the evaluation chose last (mains, AVR, on battery); monitor::TrayIconFor
    // overrules it with what the record says is wrong.
    int EvaluationTrayIcon() const { return tray_icon_; }

private:
    TrayIcon& tray_;
    MainWindow* window_ = nullptr;
    int tray_icon_ = monitor::kTrayNormal;
    std::string pending_status_;
    ComPortDialog com_port_;
    BatteryVoltageDialog battery_voltage_;
    TimedTestDialog timed_test_;
};

}  // namespace gw::ui
