#include "ui/qt_presentation.h"

#include <QMessageBox>

#include "ui/main_window.h"
#include "ui/tray_icon.h"

namespace gw::ui {

void QtPresentation::AttachWindow(MainWindow* window) {
    window_ = window;
    if (window_ != nullptr && !pending_status_.empty()) window_->SetStatusText(pending_status_);
}

void QtPresentation::ShowTrayBalloon(std::string_view title, std::string_view text,
                                     monitor::BalloonIcon icon) {
    tray_.ShowBalloon(title, text, icon);
}

void QtPresentation::SetTrayIcon(int index) {
    tray_icon_ = index;
    tray_.SetImage(index);
}

void QtPresentation::ShowStatus(std::string_view text) {
    if (window_ != nullptr) {
        window_->SetStatusText(text);
    } else {
        pending_status_ = text;
    }
}

void QtPresentation::ShowError(std::string_view text) {
    QMessageBox::critical(window_, "Gridwarden",
                          QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size())));
}

std::optional<int> QtPresentation::ChooseComPort(const std::vector<std::string>& items,
                                                 int preselected_index) {
    return com_port_.Choose(items, preselected_index);
}

int QtPresentation::ChooseBatteryVoltage() { return battery_voltage_.Choose(); }

}  // namespace gw::ui
