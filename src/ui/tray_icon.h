// The icon in the notification area: its images (the evaluation's three, then no UPS, no
// contact, battery low, replace the battery; monitor::TrayIconFor picks), the hint, the menu, the
// balloons, and what the window does where there is no notification area at all (a bare X server):
// it stays on screen and minimises as any window does, until a tray turns up.
//
// Thread rule: GUI (main) thread only.
#pragma once

#include <QIcon>
#include <QObject>
#include <QString>
#include <QTimer>
#include <array>
#include <functional>
#include <memory>
#include <string_view>

#include "monitor/evaluation_seams.h"

class QMenu;
class QSystemTrayIcon;

namespace gw::ui {

// The longest balloon title and text the tray shows; longer ones are cut.
inline constexpr int kBalloonTitleLimit = 63;
inline constexpr int kBalloonTextLimit = 255;
// 8-bit text cut to `limit` characters for the balloon.
QString BalloonText(std::string_view text, int limit);

class TrayIcon final : public QObject {
    Q_OBJECT
public:
    // `available` says whether a notification area exists; empty: ask the platform.
    explicit TrayIcon(std::function<bool()> available = {});
    ~TrayIcon() override;

    bool Available() const { return shown_; }
    void SetImage(int index);
    int Image() const { return image_; }
    QIcon ImageIcon() const { return images_[static_cast<std::size_t>(image_)]; }
    // The hint over the icon; the state's summary.
    void SetToolTip(const QString& text);
    QString ToolTip() const;
    void ShowBalloon(std::string_view title, std::string_view text, monitor::BalloonIcon icon);
    QMenu* Menu() const { return menu_.get(); }

signals:
    void RestoreRequested();
    void MinimizeRequested();
    void ExitRequested();
    // The notification area appeared after the start.
    void BecameAvailable();

private:
    void TryShow();

    std::function<bool()> available_;
    std::unique_ptr<QMenu> menu_;
    std::unique_ptr<QSystemTrayIcon> icon_;
    std::array<QIcon, 7> images_;
    int image_ = 0;
    bool shown_ = false;
    QTimer watch_;  // looks for a notification area while there is none
};

}  // namespace gw::ui
