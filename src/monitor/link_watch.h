// Tells the user when the protector has gone blind: the serial port of the UPS went away (and
// when it is back), or no good reply came for kSilenceLimit on any link. Each is said once when
// it starts and once when it ends, in the event log and, with Balloon Hints on, as a warning.
//
// Silence is measured over poll cycles, from the first cycle in a row without a good reply, so
// that time in which polling was paused or stopped counts only as long as it lies between
// failed cycles.
//
// Thread rule: main thread only; per poll cycle OnLinkChange before the reply is evaluated (so
// that "UPS link restored" comes before what the first reply shows, a mains failure among
// them), OnCycle after.
#pragma once

#include <chrono>
#include <string>

#include "link/log_sink.h"
#include "link/ups_link.h"
#include "monitor/display_model.h"
#include "monitor/evaluation_seams.h"

namespace gw::monitor {

// clang-format off
inline constexpr char kLinkLostPrefix[]     = "UPS link lost: ";
inline constexpr char kLinkRestoredPrefix[] = "UPS link restored: ";
inline constexpr char kLinkLostBalloon[]    = "UPS link lost";
inline constexpr char kNoReplyLine[]        = "No reply from the UPS for 30 s";
inline constexpr char kRepliesAgainLine[]   = "UPS replies again";
// clang-format on

class LinkWatch {
public:
    static constexpr std::chrono::seconds kSilenceLimit{30};
    using Clock = std::chrono::steady_clock;

    // All references outlive this.
    LinkWatch(const link::UpsLink& link, const DisplayModel& display, link::LogSink& log,
              TrayPresenter& tray);

    // What the polling thread saw happen to the serial port in the cycle.
    void OnLinkChange(const link::LinkChange& change);
    // `good` when the cycle's reply was stored and evaluated whole.
    void OnCycle(bool good, Clock::time_point now = Clock::now());

    bool Silent() const { return silent_; }

private:
    void Warn(const std::string& text);

    const link::UpsLink& link_;
    const DisplayModel& display_;
    link::LogSink& log_;
    TrayPresenter& tray_;

    bool silent_ = false;
    bool counting_ = false;  // a run of cycles without a good reply has begun
    Clock::time_point silence_since_{};
};

}  // namespace gw::monitor
