#include "ui/tray_icon.h"

#include <QMenu>
#include <QSystemTrayIcon>

#include "ui/icons.h"

namespace gw::ui {

namespace {

constexpr int kBalloonMs = 10000;
constexpr int kTrayWatchMs = 5000;

}  // namespace

QString BalloonText(std::string_view text, int limit) {
    const std::size_t kept = std::min<std::size_t>(text.size(), static_cast<std::size_t>(limit));
    QString cut = QString::fromLatin1(text.data(), static_cast<qsizetype>(kept));
    // The notices break their lines with CR; the tray wants LF.
    cut.replace("\r\n", "\n");
    cut.replace('\r', '\n');
    return cut;
}

TrayIcon::TrayIcon(std::function<bool()> available)
    : available_(available ? std::move(available)
                           : std::function<bool()>(&QSystemTrayIcon::isSystemTrayAvailable)),
      menu_(std::make_unique<QMenu>()),
      icon_(std::make_unique<QSystemTrayIcon>()),
      images_{(LoadIcons(), QIcon(":/icons/tray-normal.svg")),
              QIcon(":/icons/tray-avr.svg"),
              QIcon(":/icons/tray-battery.svg"),
              QIcon(":/icons/tray-noups.svg"),
              QIcon(":/icons/tray-nocontact.svg"),
              QIcon(":/icons/tray-low.svg"),
              QIcon(":/icons/tray-replace.svg")} {
    menu_->setObjectName("PM");
    QAction* restore = menu_->addAction(QIcon(":/icons/restore.svg"), "Restore");
    restore->setObjectName("RestorePM");
    menu_->addSeparator();
    QAction* minimize = menu_->addAction(QIcon(":/icons/minimize.svg"), "Minimize");
    minimize->setObjectName("MinimizePM");
    menu_->addSeparator();
    QAction* exit = menu_->addAction(QIcon(":/icons/exit.svg"), "Exit");
    exit->setObjectName("ExitPM");
    connect(restore, &QAction::triggered, this, &TrayIcon::RestoreRequested);
    connect(minimize, &QAction::triggered, this, &TrayIcon::MinimizeRequested);
    connect(exit, &QAction::triggered, this, &TrayIcon::ExitRequested);

    icon_->setObjectName("TrayIcon");
    icon_->setToolTip("Gridwarden");
    icon_->setIcon(images_[0]);
    icon_->setContextMenu(menu_.get());
    // Only a left click restores; a double click arrives as a click first and restores once.
    connect(icon_.get(), &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::Trigger) emit RestoreRequested();
            });

    connect(&watch_, &QTimer::timeout, this, [this] {
        TryShow();
        if (shown_) emit BecameAvailable();
    });
    TryShow();
}

TrayIcon::~TrayIcon() = default;

void TrayIcon::TryShow() {
    if (shown_ || !available_()) {
        if (!shown_ && !watch_.isActive()) watch_.start(kTrayWatchMs);
        return;
    }
    watch_.stop();
    icon_->show();
    shown_ = true;
}

void TrayIcon::SetImage(int index) {
    if (index < 0 || index >= static_cast<int>(images_.size())) return;
    image_ = index;
    icon_->setIcon(images_[static_cast<std::size_t>(index)]);
}

void TrayIcon::SetToolTip(const QString& text) {
    if (icon_->toolTip() != text) icon_->setToolTip(text);
}

QString TrayIcon::ToolTip() const { return icon_->toolTip(); }

void TrayIcon::ShowBalloon(std::string_view title, std::string_view text,
                           monitor::BalloonIcon icon) {
    // Without a notification area there is nowhere to show it; the log holds the event.
    if (!shown_) return;
    icon_->showMessage(BalloonText(title, kBalloonTitleLimit), BalloonText(text, kBalloonTextLimit),
                       icon == monitor::BalloonIcon::Warning ? QSystemTrayIcon::Warning
                                                             : QSystemTrayIcon::Information,
                       kBalloonMs);
}

}  // namespace gw::ui
