// The main window: the tool bar, the state's summary line, the pages and the status bar, shown from
// the display model after each change and writing the user's edits into it. It hides in the tray
// when minimised or closed, unless there is no tray to hide in; only Exit closes it for good.
//
// Thread rule: GUI (main) thread only.
#pragma once

#include <QMainWindow>
#include <functional>
#include <memory>
#include <string_view>

#include "app/user_actions.h"
#include "monitor/display_model.h"
#include "monitor/event_log.h"
#include "monitor/ups_summary.h"
#include "ui/model_binding.h"
#include "ui/tabs.h"

class QLabel;
class QTabWidget;
class QToolBar;
class QToolButton;

namespace gw::ui {

class TimedTestDialog;
class TrayIcon;

class MainWindow final : public QMainWindow {
public:
    MainWindow(monitor::DisplayModel& model, monitor::EventLog& log, app::UserActions& actions,
               TrayIcon& tray, TimedTestDialog& timed_test);
    ~MainWindow() override;

    // Shows the model in every control.
    void ShowModel();
    // Shows the start-up state: hidden in the tray, or on screen where there is no tray.
    void ShowAtStart();
    void Restore();
    void MinimizeToTray();
    void SetStatusText(std::string_view text);
    QString StatusText() const;
    // What the power-fail response will do and when; empty hides it.
    void SetCountdown(const QString& text);
    // The state's one-line summary at the top, coloured by its level.
    void SetSummary(const QString& text, monitor::SummaryLevel level);
    QString SummaryText() const;
    // The record: its readings in their fields (UpsMirror), its summary, and what the readings'
    // fields cannot say: which battery voltage the field shows (a unit may report one cell's)
    // and the other one.
    void ShowState(const monitor::UpsState& state);

    // Asks the user a yes-or-no question before an action that cannot be taken back (a power
    // action now, Exit); by default a message box, No preselected.
    using Confirm = std::function<bool(const QString& question)>;
    void SetConfirm(Confirm confirm) { confirm_ = std::move(confirm); }

    TabContext& Parts() { return *context_; }

protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void BuildToolBar();
    // Exit, once the user confirmed it.
    void ExitConfirmed();
    QToolButton* ToolButton(const char* name, const char* icon, const char* hint,
                            std::function<void()> click, bool monitor::DisplayModel::*enabled,
                            std::string monitor::DisplayModel::*why = nullptr);

    app::UserActions& actions_;
    TrayIcon& tray_;
    TimedTestDialog& timed_test_;
    ModelBinding binding_;
    std::unique_ptr<TabContext> context_;
    QToolBar* tool_bar_ = nullptr;
    QTabWidget* pages_ = nullptr;
    QLabel* status_ = nullptr;
    QLabel* countdown_ = nullptr;
    QLabel* summary_ = nullptr;
    Confirm confirm_;
    bool centred_ = false;
};

}  // namespace gw::ui
