// The three small modal dialogs: the COM port to use, the battery's nominal voltage, and the
// length of a timed test. Each is made once and reused, so it opens with the last choice.
//
// Thread rule: GUI (main) thread only.
#pragma once

#include <QDialog>
#include <optional>
#include <string>
#include <vector>

class QComboBox;
class QLineEdit;

namespace gw::ui {

class UpDownButtons;

// Fixed border, a title and no title-bar buttons, centred on the screen.
class SmallDialog : public QDialog {
public:
    SmallDialog(const char* name, const QString& title);

protected:
    void showEvent(QShowEvent* event) override;
};

class ComPortDialog final : public SmallDialog {
public:
    ComPortDialog();
    // The index of the chosen item, none on Cancel.
    std::optional<int> Choose(const std::vector<std::string>& items, int preselected_index);
    QComboBox* List() const { return list_; }

private:
    QComboBox* list_;
};

class BatteryVoltageDialog final : public SmallDialog {
public:
    BatteryVoltageDialog();
    // 12 to 96 in steps of 12; there is no Cancel.
    int Choose();
    int Volts() const { return volts_; }
    void Step(int direction);

private:
    QLineEdit* field_;
    int volts_ = 12;
};

class TimedTestDialog final : public SmallDialog {
public:
    TimedTestDialog();
    // The minutes on O.K., none on Cancel.
    std::optional<int> Choose();
    int Minutes() const { return minutes_; }
    void Step(int direction);

private:
    QLineEdit* field_;
    int minutes_ = 5;
};

}  // namespace gw::ui
