#include "ui/model_binding.h"

#include <QAbstractButton>
#include <QLabel>
#include <QLineEdit>
#include <QToolButton>
#include <QVBoxLayout>

namespace gw::ui {

namespace {

// Wire and stored text is 8-bit; the UPS may send any byte, so it is shown as Latin-1 rather
// than risk invalid UTF-8.
QString ToQt(const std::string& text) { return QString::fromLatin1(text.data(), text.size()); }

}  // namespace

UpDownButtons::UpDownButtons(const char* name, QWidget* parent)
    : QWidget(parent), up_(new QToolButton(this)), down_(new QToolButton(this)) {
    setObjectName(name);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    for (QToolButton* button : {up_, down_}) {
        button->setArrowType(button == up_ ? Qt::UpArrow : Qt::DownArrow);
        button->setFixedSize(15, 10);
        button->setAutoRepeat(true);
        layout->addWidget(button);
    }
    connect(up_, &QToolButton::clicked, this, [this] { emit Stepped(+1); });
    connect(down_, &QToolButton::clicked, this, [this] { emit Stepped(-1); });
}

void StepUpDown(monitor::UpDown& control, int direction) {
    int position = control.Position + direction * control.Increment;
    if (position > control.Max) position = control.Max;
    if (position < control.Min) position = control.Min;
    control.Position = position;
}

void ModelBinding::Show(QLineEdit* edit, std::string Model::*text) {
    shows_.push_back([this, edit, text] {
        const QString shown = ToQt(model_.*text);
        if (edit->text() != shown) edit->setText(shown);
    });
}

void ModelBinding::Show(QLabel* label, std::string Model::*text) {
    shows_.push_back([this, label, text] { label->setText(ToQt(model_.*text)); });
}

void ModelBinding::Show(QAbstractButton* box, bool Model::*checked) {
    shows_.push_back([this, box, checked] { box->setChecked(model_.*checked); });
}

void ModelBinding::Show(QLineEdit* edit, std::string UpsMirror::*text) {
    mirror_shows_.push_back([this, edit, text] {
        const QString shown = ToQt(mirror_.*text);
        if (edit->text() != shown) edit->setText(shown);
    });
}

void ModelBinding::Show(QLabel* label, std::string UpsMirror::*text) {
    mirror_shows_.push_back([this, label, text] { label->setText(ToQt(mirror_.*text)); });
}

void ModelBinding::Show(QAbstractButton* box, bool UpsMirror::*checked) {
    mirror_shows_.push_back([this, box, checked] { box->setChecked(mirror_.*checked); });
}

void ModelBinding::ShowMirror(UpsMirror mirror) {
    mirror_ = std::move(mirror);
    refreshing_ = true;
    for (const auto& show : mirror_shows_) show();
    refreshing_ = false;
}

void ModelBinding::Enable(QWidget* widget, bool Model::*enabled) {
    shows_.push_back([this, widget, enabled] { widget->setEnabled(model_.*enabled); });
}

void ModelBinding::Edit(QLineEdit* edit, std::string Model::*text, std::function<void()> after) {
    Show(edit, text);
    QObject::connect(edit, &QLineEdit::textEdited, edit, [this, text, after](const QString& typed) {
        const QByteArray bytes = typed.toLatin1();
        model_.*text = std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
        if (after) after();
    });
}

void ModelBinding::Check(QAbstractButton* box, bool Model::*checked, std::function<void()> after) {
    Show(box, checked);
    QObject::connect(box, &QAbstractButton::toggled, box, [this, checked, after](bool on) {
        if (refreshing_) return;
        model_.*checked = on;
        if (after) after();
    });
}

void ModelBinding::Arrows(UpDownButtons* arrows, QLineEdit* field, monitor::UpDown Model::*control,
                          std::string Model::*shown, std::function<void(int)> step,
                          std::function<void()> after) {
    if (shown != nullptr) {
        Show(field, shown);
    } else {
        shows_.push_back([this, field, control] {
            const QString position_text = QString::number((model_.*control).Position);
            if (field->isReadOnly() && field->text() != position_text)
                field->setText(position_text);
        });
    }
    QObject::connect(arrows, &UpDownButtons::Stepped, arrows,
                     [this, field, control, shown, step, after](int direction) {
                         if (step) {
                             step(direction);
                         } else {
                             StepUpDown(model_.*control, direction);
                         }
                         if (!field->isReadOnly() && shown == nullptr) {
                             field->setText(QString::number((model_.*control).Position));
                         }
                         if (after) after();
                         Refresh();
                     });
}

void ModelBinding::Refresh() {
    refreshing_ = true;
    for (const auto& show : shows_) show();
    for (const auto& show : mirror_shows_) show();
    refreshing_ = false;
}

}  // namespace gw::ui
