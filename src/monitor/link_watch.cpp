#include "monitor/link_watch.h"

#include "monitor/ups_detection.h"

namespace gw::monitor {

LinkWatch::LinkWatch(const link::UpsLink& link, const DisplayModel& display, link::LogSink& log,
                     TrayPresenter& tray)
    : link_(link), display_(display), log_(log), tray_(tray) {}

void LinkWatch::OnLinkChange(const link::LinkChange& change) {
    const std::string port = "COM" + std::to_string(link_.ComPort);
    if (!change.Lost.empty()) {
        log_.AppendLog(kLinkLostPrefix + port + " (" + change.Lost + ")");
        if (display_.BalloonCB) {
            tray_.ShowTrayBalloon(kWarningTitle, kLinkLostBalloon, BalloonIcon::Warning);
        }
    }
    if (change.Restored) log_.AppendLog(kLinkRestoredPrefix + port);
}

void LinkWatch::OnCycle(bool good, Clock::time_point now) {
    if (good) {
        if (silent_) log_.AppendLog(kRepliesAgainLine);
        silent_ = counting_ = false;
        return;
    }
    if (!counting_) {
        counting_ = true;
        silence_since_ = now;
    }
    if (!silent_ && now - silence_since_ >= kSilenceLimit) {
        silent_ = true;
        Warn(kNoReplyLine);
    }
}

void LinkWatch::Warn(const std::string& text) {
    log_.AppendLog(text);
    if (display_.BalloonCB) tray_.ShowTrayBalloon(kWarningTitle, text, BalloonIcon::Warning);
}

}  // namespace gw::monitor
