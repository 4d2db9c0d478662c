// The battery model at work: fed from every evaluated status reply, it puts the runtime and the
// health verdict into the status record and the display, keeps what it learned per UPS, acts
// when the runtime left on battery falls to what the shutdown needs, announces a new verdict
// once, and starts a self-test every "Battery Test Days" at a quiet hour: the 10-second one once
// the battery is known "Good", else a longer one.
//
// The runtime trigger goes through the power-fail response's FireNow, like the minimum voltage:
// at most once per power failure, never on mains, and only once the estimate rests on a few
// samples of this failure, so a noisy first reading cannot end a short outage in a shutdown.
//
// Thread rule: main thread only; OnEvaluated runs inside the evaluation of each reply.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>

#include "link/log_sink.h"
#include "link/ups_link.h"
#include "monitor/battery_model.h"
#include "monitor/battery_store.h"
#include "monitor/display_model.h"
#include "monitor/evaluation_seams.h"
#include "monitor/status_evaluation.h"

namespace gw::monitor {

// clang-format off
inline constexpr const char* kRuntimeAtFailure = "Runtime on battery about %d min";
inline constexpr const char* kRuntimeActing    = "Runtime left %d s: acting now";
inline constexpr const char* kScheduledTest    = "Battery test (every %d days)";
inline constexpr const char* kKnowledgeNotSaved = "Battery knowledge not saved: ";

struct HealthRow {
    const char* Verdict;
    NoticeKind Kind;
    const char* Text;  // log line (before the evidence) and balloon
    BalloonIcon Icon;
};
inline constexpr HealthRow kHealthRows[] = {
    {"Good",    NoticeKind::BatteryGood,    "Battery Good",    BalloonIcon::Information},
    {"Weak",    NoticeKind::BatteryWeak,    "Battery Weak",    BalloonIcon::Warning},
    {"Replace", NoticeKind::BatteryReplace, "Battery Replace", BalloonIcon::Warning},
};
// clang-format on

// The longest the power-fail response may spend before its action once the runtime trigger
// fired it: telling the secondaries and waiting for the external program (both bounded by the
// response), and one poll cycle, since the trigger only looks once per cycle.
std::chrono::seconds ResponseAllowance(const DisplayModel& display);

class BatteryWatch {
public:
    using Now = std::function<std::chrono::steady_clock::time_point()>;
    using WallNow = std::function<std::chrono::system_clock::time_point()>;

    // All references outlive this. `start_test(minutes)` sends the UPS a test of that many
    // minutes, or the 10-second test for 0.
    BatteryWatch(const link::UpsLink& ups, DisplayModel& display, link::LogSink& log,
                 TrayPresenter& tray, EventNotices& notices, Countdown& countdown,
                 BatteryStore& store, std::function<void(int minutes)> start_test,
                 Now now = std::chrono::steady_clock::now,
                 WallNow wall = std::chrono::system_clock::now);

    // Battery seconds per real second (1 unless the UPS is a simulator running fast): the
    // model's clock and so every runtime are the battery's; the response's allowance, spent in
    // real time, is counted in battery seconds too.
    void SetTimeScale(double scale) { scale_ = scale > 0 ? scale : 1; }

    // After each evaluation that got through the status bits; fills the record's figures.
    void OnEvaluated(UpsStatus& status);

    // The model of the UPS seen last; null before the first reply.
    const BatteryModel* Model() const { return model_ ? &*model_ : nullptr; }
    // "Shutdown Time" and the response's allowance, with room for a runtime that runs long:
    // the runtime at which the trigger acts.
    std::chrono::seconds NeededSeconds() const;

private:
    void Adopt(const std::string& identity);
    void AfterStretch(const StretchEnd& end);
    void Announce(const std::string& verdict, const std::string& evidence);
    void CheckTrigger(const UpsStatus& status, std::optional<double> runtime);
    void ScheduleTest(const UpsStatus& status);
    void Show(std::optional<double> runtime, bool reported);
    void Save();

    const link::UpsLink& ups_;
    DisplayModel& display_;
    link::LogSink& log_;
    TrayPresenter& tray_;
    EventNotices& notices_;
    Countdown& countdown_;
    BatteryStore& store_;
    std::function<void(int minutes)> start_test_;
    Now now_;
    WallNow wall_;

    std::string identity_;
    std::optional<BatteryModel> model_;
    double scale_ = 1;
    bool power_fail_seen_ = false;
    bool fired_ = false;             // the trigger fired in this power failure
    double test_requested_ = -1e18;  // wall seconds of the last scheduled test
};

// "12 min 05 s"; "45 s" under a minute.
std::string RuntimeText(double seconds);

}  // namespace gw::monitor
