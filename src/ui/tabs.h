// The three pages of the main window. Each builder makes its page's widgets, binds them to the
// display model and hands back the few widgets the window itself drives.
//
// Thread rule: GUI (main) thread only.
#pragma once

#include <functional>
#include <vector>

#include "app/user_actions.h"
#include "monitor/display_model.h"
#include "monitor/event_log.h"
#include "ui/model_binding.h"

class QAbstractButton;
class QComboBox;
class QLineEdit;
class QLabel;
class QPlainTextEdit;
class QWidget;

namespace gw::ui {

class BatteryGauge;

struct TabContext {
    ModelBinding& Binding;
    app::UserActions& Actions;
    monitor::EventLog& Log;
    QWidget* Window;  // the parent of the file dialogs and message boxes
    // A setting the window shows elsewhere changed (the refresh interval, the thresholds).
    std::function<void()> Edited;

    // Filled by the builders.
    BatteryGauge* Gauge = nullptr;
    QPlainTextEdit* LogMemo = nullptr;
    QAbstractButton* SmtpTestButton = nullptr;
    QAbstractButton* LanTestButton = nullptr;
    QLineEdit* HttpPort = nullptr;
    // The log outlives the window and keeps writing while the program winds down.
    std::vector<monitor::EventLog::ObserverId> LogObservers;
};

QWidget* BuildStatusTab(TabContext& context);
QWidget* BuildInfoTab(TabContext& context);
QWidget* BuildSettingsTab(TabContext& context);

}  // namespace gw::ui
