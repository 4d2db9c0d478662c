#include "ui/main_window.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QRadioButton>
#include <QScrollArea>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <vector>

#include "monitor/power_fail_response.h"
#include "ui/battery_gauge.h"
#include "ui/dialogs.h"
#include "ui/tray_icon.h"
#include "ui/ups_mirror.h"

namespace gw::ui {
namespace {

struct FakeActions final : app::UserActions {
    void StartMonitoring() override { Calls.push_back("start"); }
    void StopMonitoring() override { Calls.push_back("stop"); }
    void SendCommand(monitor::UserCommand which, int minutes) override {
        Calls.push_back(std::string(monitor::RowOf(which).Button) + " " + std::to_string(minutes));
    }
    void ActNow(monitor::PowerAction action) override {
        Calls.push_back("act " + std::to_string(static_cast<int>(action)));
    }
    void ApplyRefreshInterval() override { Calls.push_back("refresh"); }
    void SaveSettings() override { Calls.push_back("save"); }
    void RequestExit() override {
        Calls.push_back("exit");
        Allowed = true;
    }
    bool CloseAllowed() const override { return Allowed; }
    void SendTestMail() override { Calls.push_back("test mail"); }
    void SendTestLanMessage() override { Calls.push_back("test lan"); }
    void OnSmtpReportsClicked() override { Calls.push_back("smtp reports"); }
    void OnSmtpDelayClicked() override { Calls.push_back("smtp delay"); }
    void OnLanReportsClicked() override { Calls.push_back("lan reports"); }
    void OnLanDelayClicked() override { Calls.push_back("lan delay"); }
    void OnHttpEnabledClicked() override { HttpRunning = !HttpRunning; }
    bool HttpPortEditable() const override { return !HttpRunning; }
    bool HttpCredentialsEditable() const override { return true; }
    void HttpPageChanged() override {}
    void OnNutEnabledClicked() override { NutRunning = !NutRunning; }
    bool NutFieldsEditable() const override { return !NutRunning; }
    void NutLoginChanged() override { Calls.push_back("nut login"); }
    bool HttpRunning = false;
    bool NutRunning = false;
    std::vector<std::string> Calls;
    bool Allowed = false;
};

struct Bench {
    explicit Bench(bool tray_available = true)
        : tray([tray_available] { return tray_available; }),
          window(model, log, actions, tray, timed_test) {
        window.SetConfirm([this](const QString& question) {
            Questions.push_back(question.toStdString());
            return Answer;
        });
    }
    template <typename T>
    T* Find(const char* name) {
        T* widget = window.findChild<T*>(name);
        EXPECT_NE(widget, nullptr) << name;
        return widget;
    }
    monitor::DisplayModel model;
    monitor::EventLog log;
    FakeActions actions;
    TrayIcon tray;
    TimedTestDialog timed_test;
    MainWindow window;
    std::vector<std::string> Questions;
    bool Answer = true;  // the user's answer to every question
};

QString TextOf(QWidget* widget) {
    if (auto* group = qobject_cast<QGroupBox*>(widget)) return group->title();
    if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
        return button->text().isEmpty() ? button->toolTip() : button->text();
    }
    if (auto* label = qobject_cast<QLabel*>(widget)) return label->text();
    if (auto* edit = qobject_cast<QLineEdit*>(widget)) return edit->text();
    return {};
}

TEST(MainWindowTest, EveryControlIsThereWithItsCaptionOrHint) {
    Bench bench;
    // clang-format off
    const std::pair<const char*, const char*> controls[] = {
        {"StartSB", "Start"}, {"StopSB", "Stop"}, {"UPSBeeperSB", "Toggle UPS Beeper"},
        {"Test10sSB", "Test for 10 seconds"}, {"TestTSB", "Test for specified time period"},
        {"TestLowSB", "Test until battery low"}, {"CancelTestSB", "Cancel Test"},
        {"SleepSB", "Sleep"}, {"HibernateSB", "Hibernate"}, {"ShutdownSB", "Shutdown"},
        {"SaveSetSB", "Save Settings"}, {"SpeedButton3", "Exit"},
        {"UPSGB", "UPS"}, {"VIDNL", "VID:"}, {"ProductNameNL", "Product Name:"},
        {"Q1_L", "Q1"}, {"I_L", "I"}, {"ConnectionGB", "Connection"}, {"USBL", "USB"},
        {"ReportStringL", "UPS Data Stream:"}, {"TimeL", "..."}, {"ProgressL", "-"},
        {"UPSInformationGB", "UPS Information"}, {"IPFaultVoltageNL", "I/P Fault Voltage"},
        {"UPSStatusGB", "UPS Status"}, {"UPSStatusCB1", "Power Fail"},
        {"UPSStatusCB6", "Test in Progress"}, {"UPSStatusCB8", "Beeper On"},
        {"LogGB", "Log"}, {"ClearLogSB", "Clear Log"}, {"SaveLogSB", "Save Log"},
        {"SMTPAuthCB", "Authentication"}, {"SMTPReportsCB", "Reports"},
        {"SMTPWarningsCB", "Warnings"}, {"SendSMTPRepSB", "Send Test Report"},
        {"HTTPCB", "Enabled"}, {"HTTPAuthCB", "Authentication"}, {"LANReportsCB", "Reports"},
        {"NUTServerGB", "Network UPS Server"}, {"NUTServerCB", "Enabled"},
        {"PowerFailGB", "Power Fail"}, {"ActionGB", "Action"}, {"ShutdownRB", "Shutdown"},
        {"SleepRB", "Suspend"}, {"HibernateRB", "Hibernate"}, {"NothingRB", "Nothing"},
        {"UPSShutdownCB", "UPS Shutdown"}, {"ExCB", "Run program"},
        {"ExSB", "External Program Select..."}, {"ExL", "..."},
        {"SettingsGB", "Settings"}, {"AutoRunCB", "AutoRun"}, {"ForceSuspendCB", "Force Suspend"},
        {"ForceShutdownCB", "Force Shutdown"}, {"BalloonCB", "Balloon Hints"},
        {"AboutGB", "About"}, {"ProgNameL", "Gridwarden"},
    };
    const char* const unnamed_fields[] = {
        "VIDE", "PIDE", "MfrE", "ModelE", "VerE", "Q1_CB", "QS_CB", "F_CB", "I_CB", "COML", "USBLB",
        "ConnI", "ReportStringE", "IPVoltageE", "TemperatureE", "UPSStatusE", "IPVoltageCB",
        "UPSStatusCB", "PowerFailCB", "UPSFailCB", "AVRStateL", "IPVoltageMinL", "UPSModeL",
        "BatteryChargeL", "BatteryChargeRL", "NominalBatteryVoltageE", "FullBatteryVoltageUD",
        "EmptyBatteryVoltageE", "LogM", "SMTPHostE", "SMTPPortE", "SMTPPswE", "SMTPDelayUD",
        "HTTPPortE", "HTTPPasswordE", "NUTUserE", "NUTPasswordE", "LANServerNameE", "LANDelayE", "LANRepSB", "DelayE",
        "DelayUD", "DelayCB", "MinVoltageUD", "MinVoltageCB", "UPSShutdownUD", "RefreshE",
        "RefreshUD", "VersionL", "HomeL", "MailL", "PhorumL", "OSL", "LogoI", "FlagI",
        "RepPageControl", "PC", "StatusBar",
    };
    // clang-format on
    for (const auto& [name, caption] : controls) {
        QWidget* widget = bench.Find<QWidget>(name);
        if (widget != nullptr) {
            EXPECT_EQ(TextOf(widget).toStdString(), caption) << name;
        }
    }
    for (const char* name : unnamed_fields) bench.Find<QObject>(name);

    EXPECT_EQ(bench.window.windowTitle(), "Gridwarden");
    EXPECT_EQ(bench.window.size(), QSize(318, 550));
    EXPECT_EQ(bench.window.minimumSize(), bench.window.maximumSize());
    EXPECT_FALSE(bench.window.windowFlags() & Qt::WindowMaximizeButtonHint);
    auto* pages = bench.Find<QTabWidget>("PC");
    ASSERT_EQ(pages->count(), 4);
    EXPECT_EQ(pages->tabText(pages->currentIndex()), "UPS Status");
    EXPECT_EQ(pages->tabToolTip(3), "History");
}

TEST(MainWindowTest, TheModelIsShownAndTheUsersEditsGoBackIntoIt) {
    Bench bench;
    monitor::UpsState state;
    state.Known = true;
    state.Received.Fields[0] = "231.4";
    state.Flags[0] = true;
    bench.window.ShowState(state);
    bench.model.Test10sSBEnabled = false;
    bench.model.COMLCaption = "COM4";
    bench.window.ShowModel();
    EXPECT_EQ(bench.Find<QLineEdit>("IPVoltageE")->text(), "231.4");
    EXPECT_TRUE(bench.Find<QCheckBox>("UPSStatusCB1")->isChecked());
    EXPECT_FALSE(bench.Find<QToolButton>("Test10sSB")->isEnabled());
    EXPECT_EQ(bench.Find<QLabel>("COML")->text(), "COM4");

    // The servers' address and port are fixed while they serve.
    const std::vector<std::pair<const char*, std::vector<const char*>>> servers = {
        {"HTTPCB", {"HTTPPortE"}}, {"NUTServerCB", {"NUTAddressE", "NUTPortE"}}};
    for (const auto& [box, fields] : servers) {
        for (const char* field : fields) {
            EXPECT_TRUE(bench.Find<QLineEdit>(field)->isEnabled()) << field;
        }
        bench.Find<QCheckBox>(box)->click();
        for (const char* field : fields) {
            EXPECT_FALSE(bench.Find<QLineEdit>(field)->isEnabled()) << field << " while serving";
        }
    }
    EXPECT_TRUE(bench.model.NUTServerCB);
    bench.Find<QRadioButton>("SleepRB")->click();
    QTest::keyClicks(bench.Find<QLineEdit>("SMTPHostE"), "mail.example.org");
    EXPECT_TRUE(bench.model.HTTPCB);
    EXPECT_TRUE(bench.model.SleepRB);
    EXPECT_FALSE(bench.model.ShutdownRB);
    EXPECT_EQ(bench.model.SMTPHostE, "mail.example.org");

    // Typing the refresh interval is kept for the save; only the arrows apply it.
    auto* refresh = bench.Find<QLineEdit>("RefreshE");
    refresh->selectAll();
    QTest::keyClicks(refresh, "45");
    EXPECT_EQ(bench.model.RefreshUD.Position, 45);
    EXPECT_TRUE(bench.actions.Calls.empty());
    bench.Find<UpDownButtons>("RefreshUD")->Up()->click();
    EXPECT_EQ(bench.model.RefreshUD.Position, 46);
    EXPECT_EQ(bench.actions.Calls, std::vector<std::string>{"refresh"});

    // Thresholds step by their own rule and show volts.
    const int full = bench.model.FullBatteryVoltageUD.Position;
    QTest::keyClick(bench.Find<QLineEdit>("FullBatteryVoltageE"), Qt::Key_PageDown);
    EXPECT_EQ(bench.model.FullBatteryVoltageUD.Position, full - 10);
    EXPECT_EQ(bench.Find<QLineEdit>("FullBatteryVoltageE")->text().toStdString(),
              bench.model.FullBatteryVoltageE);
    bench.Find<UpDownButtons>("DelayUD")->Down()->click();
    EXPECT_EQ(bench.model.DelayUD.Position, 590);
    EXPECT_EQ(bench.Find<QLineEdit>("DelayE")->text(), "590");
}

TEST(MainWindowTest, ToolButtonsReachTheActionsAndTheTimedTestAsksFirst) {
    Bench bench;
    bench.Find<QToolButton>("Test10sSB")->click();
    bench.Find<QToolButton>("ShutdownSB")->click();
    bench.Find<QToolButton>("SendSMTPRepSB")->click();
    bench.Find<QCheckBox>("LANReportsCB")->click();
    bench.Find<UpDownButtons>("SMTPDelayUD")->Up()->click();
    // The timed test's dialog: two steps up from 5, then O.K.; then once more, cancelled.
    QTimer::singleShot(0, [&bench] {
        bench.timed_test.Step(+1);
        bench.timed_test.Step(+1);
        bench.timed_test.accept();
    });
    bench.Find<QToolButton>("TestTSB")->click();
    QTimer::singleShot(0, [&bench] { bench.timed_test.reject(); });
    bench.Find<QToolButton>("TestTSB")->click();
    EXPECT_EQ(bench.actions.Calls,
              (std::vector<std::string>{"Test10sSB 0", "act 0", "test mail", "lan reports",
                                        "smtp delay", "TestTSB 7"}));
    EXPECT_TRUE(bench.model.LANReportsCB);
    EXPECT_EQ(bench.model.SMTPDelayUD.Position, 25);
    EXPECT_EQ(bench.timed_test.Minutes(), 7) << "the dialog keeps the last choice";
}

TEST(MainWindowTest, ClosingHidesInTheTrayAndOnlyExitEnds) {
    struct Case {
        bool tray;
        bool hidden_after_close;
    };
    for (const Case c : {Case{true, true}, Case{false, false}}) {
        Bench bench(c.tray);
        bench.window.ShowAtStart();
        EXPECT_EQ(bench.window.isVisible(), !c.tray) << "tray " << c.tray;
        bench.window.Restore();
        EXPECT_FALSE(bench.window.close()) << "a close is refused while Exit was not chosen";
        EXPECT_EQ(bench.window.isHidden(), c.hidden_after_close) << "tray " << c.tray;
        bench.Find<QToolButton>("SpeedButton3")->click();
        EXPECT_EQ(bench.actions.Calls, std::vector<std::string>{"exit"});
        EXPECT_TRUE(bench.window.isHidden());
    }
}

// Every visible control of every page and report tab lies inside its page's viewport and inside
// its parent: nothing to scroll sideways to, nothing cut off.
TEST(MainWindowTest, EveryControlFitsTheWidthOfItsPage) {
    Bench bench;
    monitor::ShowProgramPath(bench.model, "/usr/local/bin/WWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWW");
    bench.model.OSL = "Debian GNU/Linux 12 (bookworm), kernel 6.1.0-18-amd64 x86_64";
    monitor::UpsState state;
    state.Battery.RuntimeSeconds = 2418;  // "40 min 18 s (assumed battery)"
    bench.window.ShowState(state);
    bench.model.BatteryCapacityL = "11 min 09 s at 30 % load (assumed battery)";
    bench.model.BatteryResistanceL = "sag 0.36 V at 30 % load (learned)";
    bench.window.ShowModel();
    bench.window.Restore();
    auto* pages = bench.Find<QTabWidget>("PC");
    auto* reports = bench.Find<QTabWidget>("RepPageControl");
    ASSERT_TRUE(pages && reports);
    for (int page = 0; page < pages->count(); ++page) {
        pages->setCurrentIndex(page);
        const int subpages = pages->tabText(page) == "Settings" ? reports->count() : 1;
        for (int sub = 0; sub < subpages; ++sub) {
            reports->setCurrentIndex(sub);
            QApplication::processEvents();
            // A page that does not scroll (History) must fit as it is.
            auto* area = qobject_cast<QScrollArea*>(pages->currentWidget());
            QWidget* viewport = area ? area->viewport() : pages->currentWidget();
            QWidget* content = area ? area->widget() : pages->currentWidget();
            const std::string where = pages->tabToolTip(page).toStdString() +
                                      pages->tabText(page).toStdString() + "/" +
                                      reports->tabText(sub).toStdString();
            const int width = viewport->width();
            EXPECT_LE(content->width(), width) << where;
            for (QWidget* widget : content->findChildren<QWidget*>()) {
                if (!widget->isVisible()) continue;
                const QRect box(widget->mapTo(viewport, QPoint(0, 0)), widget->size());
                const std::string name = where + " " + widget->metaObject()->className() + " " +
                                         widget->objectName().toStdString() + " " +
                                         TextOf(widget).toStdString();
                EXPECT_GE(box.left(), 0) << name;
                EXPECT_LE(box.right(), width - 1) << name;
                EXPECT_TRUE(widget->parentWidget()->rect().contains(widget->geometry()))
                    << name << " cut by its parent";
            }
        }
    }
}

// A countdown under way does not cut the status text short, nor the other way round.
TEST(MainWindowTest, TheCountdownAndTheStatusTextShowInFull) {
    Bench bench;
    bench.window.SetStatusText("Megatec protocol UPS detected: COM1");
    bench.window.SetCountdown("Shutdown in 598 s");
    bench.window.Restore();
    QApplication::processEvents();
    for (const char* name : {"StatusBarText", "CountdownL"}) {
        auto* label = bench.Find<QLabel>(name);
        ASSERT_NE(label, nullptr);
        EXPECT_TRUE(label->isVisible()) << name;
        EXPECT_GE(label->width(), label->sizeHint().width()) << name;
        const QRect box(label->mapTo(&bench.window, QPoint(0, 0)), label->size());
        EXPECT_TRUE(bench.window.rect().contains(box)) << name;
    }
    bench.window.SetCountdown(QString());
    EXPECT_FALSE(bench.Find<QLabel>("CountdownL")->isVisible());
}

TEST(MainWindowTest, TheLogShowsEveryLineAndClears) {
    Bench bench;
    bench.log.AppendLog("Power Fail");
    bench.log.AppendLog("Power O.K.");
    auto* memo = bench.window.findChild<QPlainTextEdit*>("LogM");
    ASSERT_NE(memo, nullptr);
    EXPECT_TRUE(memo->toPlainText().endsWith("Power O.K."));
    EXPECT_EQ(memo->blockCount(), 2);
    bench.Find<QToolButton>("ClearLogSB")->click();
    EXPECT_TRUE(memo->toPlainText().isEmpty());
    EXPECT_TRUE(bench.log.Lines().empty());
}

TEST(BalloonTextTest, TitleAndTextAreCutAndLinesBrokenForTheTray) {
    EXPECT_EQ(BalloonText(std::string(70, 't'), kBalloonTitleLimit).size(), 63);
    EXPECT_EQ(BalloonText(std::string(300, 'x'), kBalloonTextLimit).size(), 255);
    EXPECT_EQ(BalloonText("Power fail\r\nBattery 12.0 V\r", kBalloonTextLimit),
              "Power fail\nBattery 12.0 V\n");
}

TEST(BatteryGaugeTest, PaintsWhatTheValueModelSays) {
    BatteryGauge gauge;
    monitor::TRLed model;
    model.SetValue(50);
    gauge.Show(model);
    const QImage image = gauge.grab().toImage();
    const int top = (gauge.height() - model.SegmentCount() * model.SegmentSize) / 2;
    for (int segment = 1; segment <= model.SegmentCount(); ++segment) {
        const monitor::Rgb want = model.SegmentColour(segment);
        const QColor got =
            image.pixelColor(gauge.width() / 2, top + (segment - 1) * model.SegmentSize);
        EXPECT_EQ(got, QColor(want.R, want.G, want.B)) << "segment " << segment;
    }
}

// Acting on the computer or ending the protection takes a second thought: each asks first,
// and a No does nothing.
TEST(MainWindowTest, PowerActionsAndExitAskFirst) {
    Bench bench;
    bench.Answer = false;
    for (const char* button : {"SleepSB", "HibernateSB", "ShutdownSB", "SpeedButton3"}) {
        bench.Find<QToolButton>(button)->click();
    }
    emit bench.tray.ExitRequested();
    EXPECT_TRUE(bench.actions.Calls.empty());
    EXPECT_EQ(
        bench.Questions,
        (std::vector<std::string>{"Put this computer to sleep now?", "Hibernate this computer now?",
                                  "Shut this computer down now?", "Stop protecting this computer?",
                                  "Stop protecting this computer?"}));
    bench.Answer = true;
    bench.Find<QToolButton>("HibernateSB")->click();
    emit bench.tray.ExitRequested();
    EXPECT_EQ(bench.actions.Calls, (std::vector<std::string>{"act 2", "exit"}));
}

// What the window and the tray tell beyond the readings: the summary line, every state's tray
// image, and a gauge that claims no charge before one was measured.
TEST(MainWindowTest, SummaryTrayImagesAndAnUnknownCharge) {
    Bench bench;
    bench.window.SetSummary(QString::fromUtf8("ON BATTERY \u00B7 power off in 9:58"),
                            monitor::SummaryLevel::Alarm);
    EXPECT_EQ(bench.Find<QLabel>("SummaryL")->text().toStdString(),
              "ON BATTERY \u00B7 power off in 9:58");
    for (const int image : {monitor::kTrayNoUps, monitor::kTrayNoContact, monitor::kTrayBatteryLow,
                            monitor::kTrayReplace}) {
        bench.tray.SetImage(image);
        EXPECT_EQ(bench.tray.Image(), image);
    }
    bench.tray.SetToolTip("Gridwarden\nBattery: replace");
    EXPECT_EQ(bench.tray.ToolTip(), "Gridwarden\nBattery: replace");

    // The battery voltage field says which voltage it shows.
    monitor::UpsState state;
    state.Readings.BatteryVolts = 27.24;
    state.Readings.BatteryCellVolts = 2.27;
    state.Readings.UnitReportsPerCell = true;
    bench.window.ShowState(state);
    EXPECT_EQ(bench.window.SummaryText().toStdString(), "No UPS found: check the cable");
    EXPECT_EQ(bench.Find<QLineEdit>("BatteryVoltageE")->toolTip().toStdString(),
              "One cell's voltage, as the UPS reports it; the whole battery: 27.24 V");
    state.Readings.UnitReportsPerCell = false;
    bench.window.ShowState(state);
    EXPECT_EQ(bench.Find<QLineEdit>("BatteryVoltageE")->toolTip().toStdString(),
              "The whole battery's voltage; one cell: 2.27 V");

    EXPECT_EQ(bench.model.BatteryChargeL, "...");
    bench.window.ShowModel();
    auto* gauge = bench.Find<BatteryGauge>("BatteryChargeRL");
    EXPECT_EQ(gauge->Shown().LitSegments(), 0) << "no charge known, none shown";
    bench.model.BatteryChargeL = "97";
    bench.model.BatteryChargeRL.SetValue(97);
    bench.window.ShowModel();
    EXPECT_GT(gauge->Shown().LitSegments(), 0);
}

// The reading controls mirror the record: before any reply, after a whole one, and the
// activity indicator, which turns once per evaluated reply and stands still on failed cycles.
TEST(UpsMirrorTest, ReadingControlsMirrorTheRecord) {
    monitor::UpsStateKeeper keeper;
    const UpsMirror before = MirrorOf(keeper.Current());
    EXPECT_EQ(before.TimeL, "...");
    EXPECT_EQ(before.ProgressL, "-");
    EXPECT_EQ(before.UPSModeL, "...");
    EXPECT_EQ(before.IPVoltageMinL, "...");
    EXPECT_EQ(before.UPSStatusCB5Caption, "Standby UPS");
    EXPECT_EQ(before.RuntimeL, "...");
    EXPECT_EQ(before.BatteryHealthL, "...");

    monitor::UpsStatus status;
    status.ReplyText = "(210.0 229.0 220.0 021 50.0 13.60 --.- 00100000#";
    status.ReplyTime = std::chrono::system_clock::from_time_t(1'700'000'000);  // 22:13:20 UTC
    status.FieldText = {"210.0", "229.0", "220.0", "021", "50.0", "13.60", "--.-", "00100000"};
    status.Flags[2] = true;
    status.Mode = "OL";
    status.AVRState = "BOOST";
    status.IPVoltageMin = status.IPVoltageMax = 210;
    status.RuntimeSeconds = 2418;
    status.RuntimeLearned = true;
    status.BatteryHealth = "Replace";
    monitor::UpsStateInputs inputs;
    inputs.Status = &status;
    inputs.UpsFound = true;
    inputs.Evaluated = true;
    inputs.HealthEvidence = "capacity 41 % of new";
    keeper.OnCycle(true, inputs);
    const UpsMirror after = MirrorOf(keeper.Current());
    EXPECT_EQ(after.ReportStringE, status.ReplyText);
    EXPECT_EQ(after.TimeL, "22:13:20");
    EXPECT_EQ(after.OPCurrentE, "021");
    EXPECT_EQ(after.TemperatureE, "--.-");
    EXPECT_TRUE(after.UPSStatusCB3 && !after.UPSStatusCB5);
    EXPECT_EQ(after.UPSStatusCB5Caption, "Online UPS");
    EXPECT_EQ(after.AVRStateL, "BOOST");
    EXPECT_TRUE(after.AVRStateLEnabled);
    EXPECT_EQ(after.UPSModeL, "OL");
    EXPECT_EQ(after.IPVoltageMinL, "210.0");
    EXPECT_EQ(after.IPVoltageMaxL, "210.0");
    EXPECT_EQ(after.RuntimeL, "40 min 18 s (learned)");
    EXPECT_EQ(after.BatteryHealthL, "Replace");
    EXPECT_EQ(after.BatteryHealthHint, "capacity 41 % of new");

    std::string captions;
    for (int i = 0; i < 9; ++i) {
        inputs.Evaluated = true;  // a reply, whole or empty
        keeper.OnCycle(i % 3 != 2, inputs);
        inputs.Evaluated = false;  // a failed exchange
        keeper.OnCycle(false, inputs);
        captions += MirrorOf(keeper.Current()).ProgressL;
    }
    EXPECT_EQ(captions, "/-\\|/-\\|/");
    // A watched UPS's server told the figure itself.
    status.RuntimeReported = true;
    keeper.OnCycle(true, inputs);
    EXPECT_EQ(MirrorOf(keeper.Current()).RuntimeL, "40 min 18 s (server)");
}

}  // namespace
}  // namespace gw::ui
