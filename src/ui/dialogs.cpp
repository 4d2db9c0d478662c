#include "ui/dialogs.h"

#include <algorithm>

#include <QComboBox>
#include <QGridLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QScreen>
#include <QToolButton>

#include "ui/icons.h"
#include "ui/model_binding.h"
#include "ui/widget_kit.h"

namespace gw::ui {

namespace {

QToolButton* DialogButton(const char* name, const char* icon, const QString& hint) {
    auto* button = new QToolButton;
    button->setObjectName(name);
    button->setIcon(QIcon(icon));
    button->setIconSize(QSize(20, 20));
    button->setToolTip(hint);
    return button;
}

QLabel* Picture(const char* name, const char* icon) {
    auto* picture = new QLabel;
    picture->setObjectName(name);
    picture->setPixmap(QIcon(icon).pixmap(32, 32));
    return picture;
}

// A read-only field with its arrows, the way the window's own up-downs look.
QLineEdit* FieldWithArrows(QGridLayout* grid, int row, const char* field_name,
                           const char* arrows_name, QObject* receiver,
                           const std::function<void(int)>& step) {
    UpDownPair pair = MakeUpDown(field_name, arrows_name, 36);
    QObject::connect(pair.Arrows, &UpDownButtons::Stepped, receiver, step);
    grid->addLayout(pair.Layout, row, 2);
    return pair.Field;
}

// The O.K. and Cancel buttons at the dialog's foot, ending it with those results.
QHBoxLayout* OkCancel(QDialog* dialog, const char* ok_name) {
    auto* ok = DialogButton(ok_name, ":/icons/ok.svg", "O.K.");
    auto* cancel = DialogButton("CancelSB", ":/icons/cancel.svg", "Cancel");
    QObject::connect(ok, &QToolButton::clicked, dialog, &QDialog::accept);
    QObject::connect(cancel, &QToolButton::clicked, dialog, &QDialog::reject);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(ok);
    buttons->addWidget(cancel);
    return buttons;
}

}  // namespace

SmallDialog::SmallDialog(const char* name, const QString& title)
    : QDialog(nullptr, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::MSWindowsFixedSizeDialogHint) {
    LoadIcons();
    setObjectName(name);
    setWindowTitle(title);
    setModal(true);
}

void SmallDialog::showEvent(QShowEvent* event) {
    adjustSize();
    setFixedSize(size());
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        move(screen->availableGeometry().center() - rect().center());
    }
    QDialog::showEvent(event);
}

ComPortDialog::ComPortDialog() : SmallDialog("TCOMPortForm", "COM Port"), list_(new QComboBox) {
    auto* grid = new QGridLayout(this);
    grid->addWidget(Picture("COMPortI", ":/icons/port.svg"), 0, 0, 2, 1);
    auto* caption = new QLabel("COM Port:");
    caption->setObjectName("COMPortL");
    grid->addWidget(caption, 0, 1);
    list_->setObjectName("COMPortCB");
    grid->addWidget(list_, 0, 2);
    grid->addLayout(OkCancel(this, "COMPortSB"), 1, 1, 1, 2);
}

std::optional<int> ComPortDialog::Choose(const std::vector<std::string>& items,
                                         int preselected_index) {
    list_->clear();
    for (const std::string& item : items) list_->addItem(QString::fromStdString(item));
    list_->setCurrentIndex(preselected_index);
    if (exec() != QDialog::Accepted || list_->currentIndex() < 0) return std::nullopt;
    return list_->currentIndex();
}

BatteryVoltageDialog::BatteryVoltageDialog() : SmallDialog("TBatteryVoltForm", "Battery voltage") {
    auto* grid = new QGridLayout(this);
    grid->addWidget(Picture("BatteryVoltI", ":/icons/testlow.svg"), 0, 0, 2, 1);
    grid->addWidget(new QLabel("Battery voltage:"), 0, 1);
    field_ = FieldWithArrows(grid, 0, "BatteryVoltE", "BatteryVoltUD", this,
                             [this](int direction) { Step(direction); });
    grid->addWidget(new QLabel("V"), 0, 3);
    auto* ok = DialogButton("BatteryVoltSB", ":/icons/ok.svg", QString());
    connect(ok, &QToolButton::clicked, this, &QDialog::accept);
    grid->addWidget(ok, 1, 3);
    field_->setText(QString::number(volts_));
}

void BatteryVoltageDialog::Step(int direction) {
    volts_ = std::clamp(volts_ + 12 * direction, 12, 96);
    field_->setText(QString::number(volts_));
}

int BatteryVoltageDialog::Choose() {
    exec();
    return volts_;
}

TimedTestDialog::TimedTestDialog() : SmallDialog("TTestTForm", "Test for specified time period") {
    auto* grid = new QGridLayout(this);
    grid->addWidget(Picture("TestTI", ":/icons/testt.svg"), 0, 0, 2, 1);
    grid->addWidget(new QLabel("Time Period:"), 0, 1);
    field_ = FieldWithArrows(grid, 0, "TestTE", "TestTUD", this,
                             [this](int direction) { Step(direction); });
    grid->addWidget(new QLabel("minutes"), 0, 3);
    grid->addLayout(OkCancel(this, "TestTSB"), 1, 1, 1, 3);
    field_->setText(QString::number(minutes_));
}

void TimedTestDialog::Step(int direction) {
    minutes_ = std::clamp(minutes_ + direction, 1, 99);
    field_->setText(QString::number(minutes_));
}

std::optional<int> TimedTestDialog::Choose() {
    if (exec() != QDialog::Accepted) return std::nullopt;
    return minutes_;
}

}  // namespace gw::ui
