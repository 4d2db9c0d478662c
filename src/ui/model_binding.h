// Ties the window's widgets to the display model, which stays the one working copy of the
// settings, and to the mirror of the record of the UPS's state: Refresh() shows both in every
// bound widget, and what the user changes in a widget is written back into the model at once. No
// decision is taken here; the handlers that act on an edit are given by the caller.
//
// Thread rule: GUI (main) thread only.
#pragma once

#include <QObject>
#include <QWidget>
#include <functional>
#include <string>
#include <vector>

#include "monitor/display_model.h"
#include "ui/ups_mirror.h"

class QAbstractButton;
class QComboBox;
class QLabel;
class QLineEdit;
class QToolButton;

namespace gw::ui {

// The two arrows of an up-down control, standing beside its field.
class UpDownButtons final : public QWidget {
    Q_OBJECT
public:
    explicit UpDownButtons(const char* name, QWidget* parent = nullptr);
    QToolButton* Up() const { return up_; }
    QToolButton* Down() const { return down_; }
signals:
    void Stepped(int direction);  // +1 up, -1 down

private:
    QToolButton* up_;
    QToolButton* down_;
};

// One arrow click on a plain up-down: the position moves by its increment and stops at the
// range's ends.
void StepUpDown(monitor::UpDown& control, int direction);

class ModelBinding {
public:
    using Model = monitor::DisplayModel;
    explicit ModelBinding(Model& model) : model_(model) {}

    // Model to widget only.
    void Show(QLineEdit* edit, std::string Model::*text);
    void Show(QLabel* label, std::string Model::*text);
    void Show(QAbstractButton* box, bool Model::*checked);
    void Enable(QWidget* widget, bool Model::*enabled);
    // Any other way of showing a part of the model.
    void Also(std::function<void()> show) { shows_.push_back(std::move(show)); }

    // The mirror's parts, shown again by Refresh() and by ShowMirror().
    void Show(QLineEdit* edit, std::string UpsMirror::*text);
    void Show(QLabel* label, std::string UpsMirror::*text);
    void Show(QAbstractButton* box, bool UpsMirror::*checked);
    void AlsoMirror(std::function<void()> show) { mirror_shows_.push_back(std::move(show)); }
    // Takes the mirror of the latest record and shows it in the widgets bound to it.
    void ShowMirror(UpsMirror mirror);
    const UpsMirror& mirror() const { return mirror_; }

    // Both ways: the user's typing or clicking goes into the model, then `after` runs.
    void Edit(QLineEdit* edit, std::string Model::*text, std::function<void()> after = {});
    void Check(QAbstractButton* box, bool Model::*checked, std::function<void()> after = {});
    // An up-down with its field: the field shows the position, or `shown` when given (the
    // battery thresholds show volts). `step` replaces the plain step.
    void Arrows(UpDownButtons* arrows, QLineEdit* field, monitor::UpDown Model::*control,
                std::string Model::*shown = nullptr, std::function<void(int direction)> step = {},
                std::function<void()> after = {});

    void Refresh();
    Model& model() { return model_; }

private:
    Model& model_;
    UpsMirror mirror_;
    std::vector<std::function<void()>> shows_;
    std::vector<std::function<void()>> mirror_shows_;
    bool refreshing_ = false;  // setChecked and setText echo back as edits
};

}  // namespace gw::ui
