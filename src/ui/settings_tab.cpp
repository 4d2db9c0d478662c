// The "Settings" page: the report channels, the power-fail response, the program's own
// settings and the About group.
#include <QCheckBox>
#include <QComboBox>
#include <QDesktopServices>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QRadioButton>
#include <QTabWidget>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>

#include "monitor/battery_charge.h"
#include "monitor/power_fail_response.h"
#include "ui/tabs.h"
#include "ui/widget_kit.h"

namespace gw::ui {

namespace {

using Model = monitor::DisplayModel;

// clang-format off
inline constexpr char kHomePage[]     = "https://tallowmere.org/gw";
inline constexpr char kSupportMail[]  = "gridwarden@tallowmere.org";
inline constexpr char kForumPage[]    = "https://tallowmere.org/gw/forum";
// What the program chooser offers: any program, and the kinds the settings of other systems
// name, so a path typed there still shows.
inline constexpr char kProgramFilter[] =
    "Programs (*);;*.exe files (*.exe);;*.cmd files (*.cmd);;*.bat files (*.bat)";
// clang-format on

// A link of the About group: blue and underlined, red under the pointer, opened on a click.
class LinkLabel final : public QLabel {
public:
    LinkLabel(const char* name, const QString& caption, QUrl target)
        : QLabel(caption), target_(std::move(target)) {
        setObjectName(name);
        setCursor(Qt::PointingHandCursor);
        Colour("blue");
    }

protected:
    void enterEvent(QEnterEvent*) override { Colour("red"); }
    void leaveEvent(QEvent*) override { Colour("blue"); }
    void mouseReleaseEvent(QMouseEvent*) override { QDesktopServices::openUrl(target_); }

private:
    void Colour(const char* colour) {
        setStyleSheet(QString("QLabel { color: %1; text-decoration: underline; }").arg(colour));
    }
    QUrl target_;
};

QLineEdit* EditField(ModelBinding& binding, const char* name, std::string Model::*text,
                     bool secret = false) {
    QLineEdit* field = Field(name);
    field->setReadOnly(false);
    if (secret) field->setEchoMode(QLineEdit::Password);
    binding.Edit(field, text);
    return field;
}

QCheckBox* BoundBox(ModelBinding& binding, const char* name, const QString& caption,
                    bool Model::*checked, std::function<void()> after = {}) {
    QCheckBox* box = Box(name, caption);
    binding.Check(box, checked, std::move(after));
    return box;
}

QHBoxLayout* MinutesUpDown(ModelBinding& binding, const char* field, const char* arrows,
                           monitor::UpDown Model::*control, const char* unit,
                           std::function<void()> after = {}) {
    UpDownPair pair = MakeUpDown(field, arrows, 36);
    binding.Arrows(pair.Arrows, pair.Field, control, nullptr, {}, std::move(after));
    return Row({pair.Layout, Caption(nullptr, unit)});
}

QWidget* SmtpPage(TabContext& context) {
    ModelBinding& b = context.Binding;
    auto* page = new QWidget;
    auto* grid = new QGridLayout(page);
    grid->addWidget(Caption(nullptr, "Host:"), 0, 0);
    grid->addWidget(EditField(b, "SMTPHostE", &Model::SMTPHostE), 0, 1);
    grid->addWidget(Caption(nullptr, "Port:"), 0, 2);
    QLineEdit* port = EditField(b, "SMTPPortE", &Model::SMTPPortE);
    port->setFixedWidth(36);
    grid->addWidget(port, 0, 3);
    grid->addWidget(Caption(nullptr, "Login:"), 1, 0);
    grid->addWidget(EditField(b, "SMTPLoginE", &Model::SMTPLoginE), 1, 1);
    grid->addWidget(BoundBox(b, "SMTPAuthCB", "Authentication", &Model::SMTPAuthCB), 2, 2, 1, 2);
    grid->addWidget(Caption(nullptr, "Password:"), 2, 0);
    grid->addWidget(EditField(b, "SMTPPswE", &Model::SMTPPswE, true), 2, 1);
    grid->setColumnStretch(1, 1);
    grid->addWidget(Caption(nullptr, "From:"), 3, 0);
    grid->addWidget(EditField(b, "SMTPFromE", &Model::SMTPFromE), 3, 1, 1, 3);
    grid->addWidget(Caption(nullptr, "E-Mail:"), 4, 0);
    grid->addWidget(EditField(b, "SMTPMailE", &Model::SMTPMailE), 4, 1, 1, 3);
    app::UserActions& actions = context.Actions;
    grid->addLayout(Row({BoundBox(b, "SMTPReportsCB", "Reports", &Model::SMTPReportsCB,
                                  [&actions] { actions.OnSmtpReportsClicked(); }),
                         MinutesUpDown(b, "SMTPDelayE", "SMTPDelayUD", &Model::SMTPDelayUD, "min",
                                       [&actions] { actions.OnSmtpDelayClicked(); }),
                         BoundBox(b, "SMTPWarningsCB", "Warnings", &Model::SMTPWarningsCB)}),
                    5, 0, 1, 4);
    auto* send = new QToolButton;
    send->setObjectName("SendSMTPRepSB");
    send->setText("Send Test Report");
    context.SmtpTestButton = send;
    QObject::connect(send, &QToolButton::clicked, send, [&actions] { actions.SendTestMail(); });
    // Most providers take a login only over TLS.
    auto* tls = new QComboBox;
    tls->setObjectName("SMTPTLSCombo");
    tls->addItems({"No TLS", "STARTTLS when offered", "STARTTLS required"});
    Model& model = b.model();
    b.Also([tls, &model] { tls->setCurrentIndex(model.SMTPTLSCombo.Position); });
    QObject::connect(tls, qOverload<int>(&QComboBox::activated), tls,
                     [&model](int index) { model.SMTPTLSCombo.Position = index; });
    // The choice and the button each take a row of their own: side by side they are wider
    // than the window.
    grid->addWidget(Caption(nullptr, "TLS:"), 6, 0);
    grid->addWidget(tls, 6, 1, 1, 3);
    grid->addWidget(send, 7, 0, 1, 4, Qt::AlignRight);
    return page;
}

QWidget* HttpPage(TabContext& context) {
    ModelBinding& b = context.Binding;
    app::UserActions& actions = context.Actions;
    auto page_changed = [&actions] { actions.HttpPageChanged(); };
    auto* page = new QWidget;
    auto* grid = new QGridLayout(page);
    grid->addWidget(BoundBox(b, "HTTPCB", "Enabled", &Model::HTTPCB,
                             [&context] {
                                 context.Actions.OnHttpEnabledClicked();
                                 context.Binding.Refresh();
                             }),
                    0, 0, 1, 2);
    grid->addWidget(Caption(nullptr, "Port:"), 1, 0);
    QLineEdit* port = EditField(b, "HTTPPortE", &Model::HTTPPortE);
    port->setFixedWidth(50);
    context.HttpPort = port;
    grid->addWidget(port, 1, 1, Qt::AlignLeft);
    grid->addWidget(BoundBox(b, "HTTPAuthCB", "Authentication", &Model::HTTPAuthCB,
                             [&context, page_changed] {
                                 page_changed();
                                 context.Binding.Refresh();
                             }),
                    2, 0, 1, 2);
    QLineEdit* user = Field("HTTPUserE");
    QLineEdit* password = Field("HTTPPasswordE");
    user->setReadOnly(false);
    password->setReadOnly(false);
    password->setEchoMode(QLineEdit::Password);
    b.Edit(user, &Model::HTTPUserE, page_changed);
    b.Edit(password, &Model::HTTPPasswordE, page_changed);
    b.Also([port, user, password, &actions] {
        port->setEnabled(actions.HttpPortEditable());
        user->setEnabled(actions.HttpCredentialsEditable());
        password->setEnabled(actions.HttpCredentialsEditable());
    });
    grid->addWidget(Caption(nullptr, "User:"), 3, 0);
    grid->addWidget(user, 3, 1);
    grid->addWidget(Caption(nullptr, "Password:"), 4, 0);
    grid->addWidget(password, 4, 1);
    grid->setRowStretch(5, 1);
    return page;
}

QWidget* LanPage(TabContext& context) {
    ModelBinding& b = context.Binding;
    auto* page = new QWidget;
    auto* grid = new QGridLayout(page);
    grid->addWidget(Caption(nullptr, "Server Name:"), 0, 0);
    grid->addWidget(EditField(b, "LANServerNameE", &Model::LANServerNameE), 0, 1);
    app::UserActions& actions = context.Actions;
    grid->addLayout(Row({BoundBox(b, "LANReportsCB", "Reports", &Model::LANReportsCB,
                                  [&actions] { actions.OnLanReportsClicked(); }),
                         MinutesUpDown(b, "LANDelayE", "LANDelayUD", &Model::LANDelayUD, "min",
                                       [&actions] { actions.OnLanDelayClicked(); }),
                         BoundBox(b, "LANWarningsCB", "Warnings", &Model::LANWarningsCB)}),
                    1, 0, 1, 2);
    auto* send = new QToolButton;
    send->setObjectName("LANRepSB");
    send->setIcon(QIcon(":/icons/ok.svg"));
    context.LanTestButton = send;
    QObject::connect(send, &QToolButton::clicked, send,
                     [&actions] { actions.SendTestLanMessage(); });
    grid->addWidget(send, 2, 1, Qt::AlignRight);
    grid->setRowStretch(3, 1);
    return page;
}

// A UPS served by another machine (or the system service) over the network, watched instead of
// our own port's from the next start on.
QWidget* WatchPage(TabContext& context) {
    ModelBinding& b = context.Binding;
    auto* page = new QWidget;
    auto* grid = new QGridLayout(page);
    QLineEdit* ups = EditField(b, "WatchUpsE", &Model::WatchUpsE);
    ups->setPlaceholderText("ups@host (empty: this port)");
    QLineEdit* user = Field("WatchUserE");
    QLineEdit* password = Field("WatchPasswordE");
    user->setReadOnly(false);
    password->setReadOnly(false);
    password->setEchoMode(QLineEdit::Password);
    b.Edit(user, &Model::WatchUserE);
    b.Edit(password, &Model::WatchPasswordE);
    grid->addWidget(Caption(nullptr, "UPS:"), 0, 0);
    grid->addWidget(ups, 0, 1);
    grid->addWidget(Caption(nullptr, "User:"), 1, 0);
    grid->addWidget(user, 1, 1);
    grid->addWidget(Caption(nullptr, "Password:"), 2, 0);
    grid->addWidget(password, 2, 1);
    grid->addWidget(Caption(nullptr, "From the next start"), 3, 1);
    grid->setRowStretch(4, 1);
    return page;
}

// The network UPS server: other machines on the same UPS read it and learn when to shut down.
QGroupBox* NutGroup(TabContext& context) {
    ModelBinding& b = context.Binding;
    app::UserActions& actions = context.Actions;
    auto login_changed = [&actions] { actions.NutLoginChanged(); };
    QGroupBox* group = Group("NUTServerGB", "Network UPS Server");
    auto* grid = new QGridLayout(group);
    grid->addWidget(BoundBox(b, "NUTServerCB", "Enabled", &Model::NUTServerCB,
                             [&context] {
                                 context.Actions.OnNutEnabledClicked();
                                 context.Binding.Refresh();
                             }),
                    0, 0, 1, 2);
    QLineEdit* address = EditField(b, "NUTAddressE", &Model::NUTAddressE);
    QLineEdit* port = EditField(b, "NUTPortE", &Model::NUTPortE);
    port->setFixedWidth(50);
    grid->addWidget(Caption(nullptr, "Address:"), 1, 0);
    grid->addLayout(Row({address, Caption(nullptr, "Port:"), port}), 1, 1);
    QLineEdit* user = Field("NUTUserE");
    QLineEdit* password = Field("NUTPasswordE");
    user->setReadOnly(false);
    password->setReadOnly(false);
    password->setEchoMode(QLineEdit::Password);
    b.Edit(user, &Model::NUTUserE, login_changed);
    b.Edit(password, &Model::NUTPasswordE, login_changed);
    b.Also([address, port, &actions] {
        address->setEnabled(actions.NutFieldsEditable());
        port->setEnabled(actions.NutFieldsEditable());
    });
    grid->addWidget(Caption(nullptr, "User:"), 2, 0);
    grid->addWidget(user, 2, 1);
    grid->addWidget(Caption(nullptr, "Password:"), 3, 0);
    grid->addWidget(password, 3, 1);
    return group;
}

QGroupBox* PowerFailGroup(TabContext& context) {
    ModelBinding& b = context.Binding;
    Model& model = b.model();
    QGroupBox* group = Group("PowerFailGB", "Power Fail");
    auto* grid = new QGridLayout(group);

    UpDownPair delay = MakeUpDown("DelayE", "DelayUD", 44);
    b.Arrows(delay.Arrows, delay.Field, &Model::DelayUD);
    grid->addWidget(Caption(nullptr, "Delay:"), 0, 0);
    grid->addLayout(Row({delay.Layout, Caption(nullptr, "s"),
                         BoundBox(b, "DelayCB", QString(), &Model::DelayCB)}),
                    0, 1);
    UpDownPair minimum = MakeUpDown("MinVoltageE", "MinVoltageUD", 44);
    b.Arrows(minimum.Arrows, minimum.Field, &Model::MinVoltageUD, &Model::MinVoltageE,
             [&model, &context](int direction) {
                 if (monitor::StepThreshold(
                         model, monitor::Threshold::Minimum,
                         direction > 0 ? monitor::ThresholdKey::Up : monitor::ThresholdKey::Down) &&
                     context.Edited) {
                     context.Edited();
                 }
             });
    grid->addWidget(Caption(nullptr, "Min. Voltage:"), 1, 0);
    grid->addLayout(Row({minimum.Layout, Caption(nullptr, "V"),
                         BoundBox(b, "MinVoltageCB", QString(), &Model::MinVoltageCB)}),
                    1, 1);

    QGroupBox* actions = Group("ActionGB", "Action");
    auto* choices = new QGridLayout(actions);
    struct Choice {
        const char* Name;
        const char* Caption;
        bool Model::*Checked;
        bool Model::*Enabled;
    };
    const Choice kChoices[] = {
        {"ShutdownRB", "Shutdown", &Model::ShutdownRB, &Model::ShutdownRBEnabled},
        {"SleepRB", "Suspend", &Model::SleepRB, &Model::SleepRBEnabled},
        {"HibernateRB", "Hibernate", &Model::HibernateRB, &Model::HibernateRBEnabled},
        {"NothingRB", "Nothing", &Model::NothingRB, nullptr},
    };
    int index = 0;
    for (const Choice& choice : kChoices) {
        auto* radio = new QRadioButton(choice.Caption);
        radio->setObjectName(choice.Name);
        b.Check(radio, choice.Checked);
        if (choice.Enabled != nullptr) b.Enable(radio, choice.Enabled);
        choices->addWidget(radio, index / 2, index % 2);
        ++index;
    }
    grid->addWidget(actions, 2, 0, 1, 2);

    grid->addLayout(
        Row({BoundBox(b, "UPSShutdownCB", "UPS Shutdown", &Model::UPSShutdownCB),
             MinutesUpDown(b, "UPSShutdownE", "UPSShutdownUD", &Model::UPSShutdownUD, "min")}),
        3, 0, 1, 2);
    auto* choose = new QToolButton;
    choose->setObjectName("ExSB");
    choose->setIcon(QIcon(":/icons/folder.svg"));
    choose->setToolTip("External Program Select...");
    QLabel* program = Value("ExL", "...");
    b.Show(program, &Model::ExL);
    b.Also([program, &model] { program->setToolTip(QString::fromStdString(model.ExLHint)); });
    QObject::connect(choose, &QToolButton::clicked, group, [&context, &model] {
        const QString path =
            QFileDialog::getOpenFileName(context.Window, QString(), QString(), kProgramFilter);
        if (path.isEmpty()) return;
        if (!QFileInfo(path).isExecutable()) {
            QMessageBox::warning(context.Window, "Gridwarden", path + " is not a program.");
            return;
        }
        monitor::ShowProgramPath(model, path.toStdString());
        context.Binding.Refresh();
    });
    grid->addLayout(Row({BoundBox(b, "ExCB", "Run program", &Model::ExCB), choose}), 4, 0, 1, 2);
    // The path's caption on a line of its own, where even 25 wide letters fit.
    grid->addWidget(program, 5, 0, 1, 2);

    // Acting by the battery's runtime: the seconds the computer needs to power off.
    UpDownPair shutdown_time = MakeUpDown("ShutdownTimeE", "ShutdownTimeUD", 44);
    b.Arrows(shutdown_time.Arrows, shutdown_time.Field, &Model::ShutdownTimeUD);
    grid->addWidget(Caption(nullptr, "Shutdown Time:"), 6, 0);
    grid->addLayout(Row({shutdown_time.Layout, Caption(nullptr, "s"),
                         BoundBox(b, "RuntimeActionCB", "by runtime", &Model::RuntimeActionCB)}),
                    6, 1);
    UpDownPair test_days = MakeUpDown("BatteryTestDaysE", "BatteryTestDaysUD", 44);
    b.Arrows(test_days.Arrows, test_days.Field, &Model::BatteryTestDaysUD);
    grid->addWidget(Caption(nullptr, "Battery Test:"), 7, 0);
    grid->addLayout(Row({test_days.Layout, Caption(nullptr, "days")}), 7, 1);
    return group;
}

QGroupBox* SettingsGroup(TabContext& context) {
    ModelBinding& b = context.Binding;
    Model& model = b.model();
    QGroupBox* group = Group("SettingsGB", "Settings");
    auto* grid = new QGridLayout(group);
    grid->addWidget(BoundBox(b, "AutoRunCB", "AutoRun", &Model::AutoRunCB), 0, 0);
    grid->addWidget(BoundBox(b, "BalloonCB", "Balloon Hints", &Model::BalloonCB), 0, 1);

    UpDownPair refresh = MakeUpDown("RefreshE", "RefreshUD", 30);
    // Typing is taken for the next save only; the arrows also set the polling interval.
    refresh.Field->setReadOnly(false);
    refresh.Field->setText(QString::number(model.RefreshUD.Position));
    b.Also([field = refresh.Field, &model] {
        if (!field->hasFocus()) field->setText(QString::number(model.RefreshUD.Position));
    });
    QObject::connect(refresh.Field, &QLineEdit::textEdited, group, [&model](const QString& text) {
        bool ok = false;
        const int seconds = text.toInt(&ok);
        if (ok && model.RefreshUD.InRange(seconds)) model.RefreshUD.Position = seconds;
    });
    b.Arrows(refresh.Arrows, refresh.Field, &Model::RefreshUD, nullptr, {},
             [&context] { context.Actions.ApplyRefreshInterval(); });
    grid->addWidget(Caption(nullptr, "Refresh Interval:"), 1, 0);
    grid->addLayout(Row({refresh.Layout, Caption(nullptr, "s")}), 1, 1);

    QCheckBox* suspend = BoundBox(b, "ForceSuspendCB", "Force Suspend", &Model::ForceSuspendCB);
    QCheckBox* shutdown = BoundBox(b, "ForceShutdownCB", "Force Shutdown", &Model::ForceShutdownCB);
    b.Enable(suspend, &Model::ForceSuspendCBEnabled);
    b.Enable(shutdown, &Model::ForceShutdownCBEnabled);
    grid->addWidget(suspend, 2, 0);
    grid->addWidget(shutdown, 2, 1);
    return group;
}

QGroupBox* AboutGroup(TabContext& context) {
    ModelBinding& b = context.Binding;
    QGroupBox* group = Group("AboutGB", "About");
    auto* grid = new QGridLayout(group);
    QLabel* name = Caption("ProgNameL", "Gridwarden");
    QFont bold = name->font();
    bold.setBold(true);
    name->setFont(bold);
    QLabel* version = Value("VersionL", QString());
    b.Show(version, &Model::VersionL);
    auto* logo = new QLabel;
    logo->setObjectName("LogoI");
    logo->setPixmap(QIcon(":/icons/logo.svg").pixmap(40, 40));
    auto* flag = new QLabel;
    flag->setObjectName("FlagI");
    flag->setPixmap(QIcon(":/icons/flag.svg").pixmap(32, 22));
    grid->addWidget(logo, 0, 0, 3, 1);
    grid->addLayout(Row({name, version}), 0, 1, 1, 2);
    QLabel* credit = Caption("CreditL1", "Written by the Gridwarden developers.");
    QLabel* licence = Caption("CreditL2", "Free software: use it, share it, mend it.");
    for (QLabel* line : {credit, licence}) line->setWordWrap(true);
    grid->addWidget(credit, 1, 1, 1, 2);
    grid->addWidget(licence, 2, 1, 1, 2);
    grid->addWidget(Caption(nullptr, "Homepage:"), 3, 0);
    grid->addWidget(new LinkLabel("HomeL", kHomePage, QUrl(kHomePage)), 3, 1, 1, 2);
    grid->addWidget(Caption(nullptr, "Support E-Mail:"), 4, 0);
    grid->addWidget(new LinkLabel("MailL", kSupportMail,
                                  QUrl(QString("mailto:%1?subject=Support").arg(kSupportMail))),
                    4, 1, 1, 2);
    grid->addWidget(Caption(nullptr, "Forum:"), 5, 0);
    grid->addWidget(new LinkLabel("PhorumL", kForumPage, QUrl(kForumPage)), 5, 1, 1, 2);
    QLabel* os = Value("OSL", QString());
    os->setWordWrap(true);
    b.Show(os, &Model::OSL);
    grid->addWidget(Caption(nullptr, "OS:"), 6, 0);
    grid->addWidget(os, 6, 1);
    grid->addWidget(flag, 6, 2, Qt::AlignRight);
    return group;
}

}  // namespace

QWidget* BuildSettingsTab(TabContext& context) {
    auto [page, layout] = MakePage("AboutTS");
    auto* reports = new QTabWidget;
    reports->setObjectName("RepPageControl");
    reports->addTab(SmtpPage(context), QIcon(":/icons/exit.svg"), "SMTP");
    reports->addTab(HttpPage(context), QIcon(":/icons/restore.svg"), "HTTP");
    reports->addTab(LanPage(context), QIcon(":/icons/port.svg"), "LAN");
    reports->addTab(WatchPage(context), QIcon(":/icons/port.svg"), "Watch");
    layout->addWidget(reports);
    layout->addWidget(NutGroup(context));
    layout->addWidget(PowerFailGroup(context));
    layout->addWidget(SettingsGroup(context));
    layout->addWidget(AboutGroup(context));
    layout->addStretch();
    return page;
}

}  // namespace gw::ui
