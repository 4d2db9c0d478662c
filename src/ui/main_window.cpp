#include "ui/main_window.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QLayout>
#include <QMessageBox>
#include <QScreen>
#include <QScrollArea>
#include <QStatusBar>
#include <QTabWidget>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>

#include "ui/battery_gauge.h"
#include "ui/dialogs.h"
#include "ui/history_tab.h"
#include "ui/icons.h"
#include "ui/tray_icon.h"

namespace gw::ui {

namespace {

using Model = monitor::DisplayModel;
using monitor::UserCommand;

constexpr char kExitQuestion[] = "Stop protecting this computer?";
constexpr int kClientWidth = 318;
constexpr int kClientHeight = 550;

// A page taller than the fixed window scrolls rather than squeeze its controls. The pages are
// laid out to fit the width; should a control still widen one, a scroll bar keeps it reachable.
QScrollArea* Scrolled(QWidget* page) {
    auto* area = new QScrollArea;
    area->setObjectName(page->objectName() + "Scroll");
    area->setWidget(page);
    area->setWidgetResizable(true);
    area->setFrameShape(QFrame::NoFrame);
    area->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    return area;
}

}  // namespace

MainWindow::MainWindow(Model& model, monitor::EventLog& log, app::UserActions& actions,
                       TrayIcon& tray, TimedTestDialog& timed_test)
    : QMainWindow(nullptr, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                               Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint |
                               Qt::MSWindowsFixedSizeDialogHint),
      actions_(actions),
      tray_(tray),
      timed_test_(timed_test),
      binding_(model),
      context_(std::make_unique<TabContext>(TabContext{binding_,
                                                       actions,
                                                       log,
                                                       this,
                                                       [this] { ShowModel(); },
                                                       nullptr,
                                                       nullptr,
                                                       nullptr,
                                                       nullptr,
                                                       nullptr,
                                                       {}})) {
    LoadIcons();
    setObjectName("TMainForm");
    setWindowTitle("Gridwarden");
    setWindowIcon(QIcon(":/icons/tray-normal.svg"));
    // A fixed window holds all of it only in a small face; pixels, so the screen's DPI setting
    // cannot push controls out of it.
    QFont small = font();
    small.setPixelSize(10);
    setFont(small);
    setFixedSize(kClientWidth, kClientHeight);

    BuildToolBar();
    pages_ = new QTabWidget;
    pages_->setObjectName("PC");
    pages_->setIconSize(QSize(12, 12));
    // Four tabs do not fit the fixed width: the bar's arrows (and Ctrl+Tab) reach the last.
    pages_->setUsesScrollButtons(true);
    pages_->addTab(Scrolled(BuildInfoTab(*context_)), QIcon(":/icons/port.svg"), "UPS Information");
    pages_->addTab(Scrolled(BuildStatusTab(*context_)), QIcon(":/icons/tray-normal.svg"),
                   "UPS Status");
    pages_->addTab(Scrolled(BuildSettingsTab(*context_)), QIcon(":/icons/save.svg"), "Settings");
    // The fixed width holds three captions; the History page's tab shows its icon and names
    // itself in the tooltip.
    pages_->addTab(new HistoryTab(actions.HistoryReader()), QIcon(":/icons/testt.svg"), "");
    pages_->setTabToolTip(pages_->count() - 1, "History");
    pages_->setCurrentIndex(1);
    // One tight spacing for every page, so that the rows fit the window's width; the pages set
    // none of their own.
    for (QLayout* layout : pages_->findChildren<QLayout*>()) {
        layout->setContentsMargins(3, 3, 3, 3);
        layout->setSpacing(2);
    }
    // The countdown has a line of its own above the status bar: beside the status text, the two
    // would share one narrow line and cut each other short.
    countdown_ = new QLabel;
    countdown_->setObjectName("CountdownL");
    countdown_->setStyleSheet("QLabel { color: #c00000; font-weight: bold; }");
    countdown_->setContentsMargins(3, 1, 3, 1);
    countdown_->hide();
    // The summary says at a glance what the pages say in detail; it never tells more than is
    // known, so it is the first thing to read.
    summary_ = new QLabel;
    summary_->setObjectName("SummaryL");
    summary_->setContentsMargins(4, 2, 4, 2);
    SetSummary("No UPS found: check the cable", monitor::SummaryLevel::Alarm);
    auto* centre = new QWidget;
    auto* column = new QVBoxLayout(centre);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    column->addWidget(summary_);
    column->addWidget(pages_, 1);
    column->addWidget(countdown_);
    setCentralWidget(centre);

    statusBar()->setObjectName("StatusBar");
    statusBar()->setSizeGripEnabled(false);
    status_ = new QLabel;
    status_->setObjectName("StatusBarText");
    statusBar()->addWidget(status_, 1);

    connect(&tray_, &TrayIcon::RestoreRequested, this, &MainWindow::Restore);
    connect(&tray_, &TrayIcon::MinimizeRequested, this, &MainWindow::MinimizeToTray);
    connect(&tray_, &TrayIcon::ExitRequested, this, &MainWindow::ExitConfirmed);
    confirm_ = [this](const QString& question) {
        return QMessageBox::question(isVisible() ? this : nullptr, "Gridwarden", question,
                                     QMessageBox::Yes | QMessageBox::No,
                                     QMessageBox::No) == QMessageBox::Yes;
    };
    ShowModel();
}

MainWindow::~MainWindow() {
    for (const auto id : context_->LogObservers) context_->Log.RemoveObserver(id);
}

QToolButton* MainWindow::ToolButton(const char* name, const char* icon, const char* hint,
                                    std::function<void()> click, bool Model::*enabled,
                                    std::string Model::*why) {
    auto* button = new QToolButton;
    button->setObjectName(name);
    button->setIcon(QIcon(icon));
    button->setIconSize(QSize(16, 16));
    button->setFixedSize(23, 22);
    button->setToolTip(hint);
    button->setAutoRaise(true);
    connect(button, &QToolButton::clicked, this, [this, click = std::move(click)] {
        click();
        ShowModel();
    });
    if (enabled != nullptr) binding_.Enable(button, enabled);
    if (why != nullptr) {
        binding_.Also([this, button, hint, why] {
            const std::string& text = binding_.model().*why;
            button->setToolTip(text.empty() ? QString(hint)
                                            : QString(hint) + "\n" + QString::fromStdString(text));
        });
    }
    tool_bar_->addWidget(button);
    return button;
}

void MainWindow::BuildToolBar() {
    auto* bar = tool_bar_ = new QToolBar(this);
    bar->setObjectName("ToolBar");
    bar->setMovable(false);
    bar->setFloatable(false);
    bar->setContextMenuPolicy(Qt::PreventContextMenu);
    bar->layout()->setSpacing(0);
    addToolBar(Qt::TopToolBarArea, bar);
    auto command = [this](UserCommand which) {
        return [this, which] { actions_.SendCommand(which, 0); };
    };
    auto power = [this](monitor::PowerAction action, const char* question) {
        return [this, action, question] {
            if (confirm_(question)) actions_.ActNow(action);
        };
    };
    ToolButton(
        "StartSB", ":/icons/start.svg", "Start", [this] { actions_.StartMonitoring(); },
        &Model::StartSBEnabled);
    ToolButton(
        "StopSB", ":/icons/stop.svg", "Stop", [this] { actions_.StopMonitoring(); },
        &Model::StopSBEnabled);
    bar->addSeparator();
    ToolButton("UPSBeeperSB", ":/icons/beeper.svg", "Toggle UPS Beeper",
               command(UserCommand::ToggleBeeper), &Model::UPSBeeperSBEnabled,
               &Model::UPSBeeperSBWhy);
    bar->addSeparator();
    ToolButton("Test10sSB", ":/icons/test10s.svg", "Test for 10 seconds",
               command(UserCommand::Test10s), &Model::Test10sSBEnabled, &Model::Test10sSBWhy);
    ToolButton(
        "TestTSB", ":/icons/testt.svg", "Test for specified time period",
        [this] {
            if (const std::optional<int> minutes = timed_test_.Choose()) {
                actions_.SendCommand(UserCommand::TestMinutes, *minutes);
            }
        },
        &Model::TestTSBEnabled, &Model::TestTSBWhy);
    ToolButton("TestLowSB", ":/icons/testlow.svg", "Test until battery low",
               command(UserCommand::TestUntilLow), &Model::TestLowSBEnabled, &Model::TestLowSBWhy);
    ToolButton("CancelTestSB", ":/icons/canceltest.svg", "Cancel Test",
               command(UserCommand::CancelTest), &Model::CancelTestSBEnabled,
               &Model::CancelTestSBWhy);
    bar->addSeparator();
    ToolButton("SleepSB", ":/icons/sleep.svg", "Sleep",
               power(monitor::PowerAction::Suspend, "Put this computer to sleep now?"),
               &Model::SleepSBEnabled);
    ToolButton("HibernateSB", ":/icons/hibernate.svg", "Hibernate",
               power(monitor::PowerAction::Hibernate, "Hibernate this computer now?"),
               &Model::HibernateSBEnabled);
    ToolButton("ShutdownSB", ":/icons/shutdown.svg", "Shutdown",
               power(monitor::PowerAction::PowerOff, "Shut this computer down now?"),
               &Model::ShutdownSBEnabled);
    bar->addSeparator();
    ToolButton(
        "SaveSetSB", ":/icons/save.svg", "Save Settings", [this] { actions_.SaveSettings(); },
        nullptr);
    ToolButton(
        "SpeedButton3", ":/icons/exit.svg", "Exit", [this] { ExitConfirmed(); }, nullptr);
}

void MainWindow::ExitConfirmed() {
    if (!confirm_(kExitQuestion)) return;
    actions_.RequestExit();
    close();
}

void MainWindow::ShowModel() { binding_.Refresh(); }

void MainWindow::ShowAtStart() {
    if (tray_.Available()) return;  // hidden in the tray
    Restore();
}

void MainWindow::Restore() {
    if (!centred_) {
        centred_ = true;
        if (QScreen* screen = QGuiApplication::primaryScreen()) {
            move(screen->availableGeometry().center() - rect().center());
        }
    }
    show();
    setWindowState((windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    raise();
    activateWindow();
}

void MainWindow::MinimizeToTray() {
    // Without a tray, hiding would leave the user nothing to click: minimise as usual.
    if (!tray_.Available()) {
        showMinimized();
        return;
    }
    hide();
}

void MainWindow::SetStatusText(std::string_view text) {
    status_->setText(QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size())));
}

QString MainWindow::StatusText() const { return status_->text(); }

void MainWindow::SetCountdown(const QString& text) {
    countdown_->setText(text);
    countdown_->setVisible(!text.isEmpty());
}

void MainWindow::SetSummary(const QString& text, monitor::SummaryLevel level) {
    static constexpr const char* kColours[] = {"#2e7d32", "#ef6c00", "#c62828"};
    const QString style = QString("QLabel { color: white; font-weight: bold; background: %1; }")
                              .arg(kColours[static_cast<int>(level)]);
    if (summary_->styleSheet() != style) summary_->setStyleSheet(style);
    summary_->setText(text);
}

QString MainWindow::SummaryText() const { return summary_->text(); }

void MainWindow::ShowState(const monitor::UpsState& state) {
    binding_.ShowMirror(MirrorOf(state));
    const monitor::UpsSummary summary = monitor::SummaryOf(state);
    SetSummary(QString::fromStdString(summary.Text), summary.Level);
    const monitor::UpsReadings& readings = state.Readings;
    QString hint;
    if (readings.BatteryVolts && readings.BatteryCellVolts) {
        const QString whole = QString::fromStdString(monitor::FixedText(*readings.BatteryVolts, 2));
        const QString cell =
            QString::fromStdString(monitor::FixedText(*readings.BatteryCellVolts, 2));
        hint = readings.UnitReportsPerCell
                   ? QString("One cell's voltage, as the UPS reports it; the whole battery: %1 V")
                         .arg(whole)
                   : QString("The whole battery's voltage; one cell: %1 V").arg(cell);
    }
    if (auto* field = findChild<QWidget*>("BatteryVoltageE")) field->setToolTip(hint);
}

void MainWindow::closeEvent(QCloseEvent* event) {
    if (actions_.CloseAllowed()) {
        event->accept();
        return;
    }
    // A refused close goes to the tray: the protector keeps running.
    event->ignore();
    MinimizeToTray();
}

void MainWindow::changeEvent(QEvent* event) {
    QMainWindow::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange && isMinimized() && tray_.Available()) {
        // Hiding from inside the state change confuses some window managers.
        QTimer::singleShot(0, this, [this] {
            if (isMinimized()) hide();
        });
    }
}

}  // namespace gw::ui
