// The evaluation of each stored status reply: the status record and one announcement per
// change of state (log line, balloon, tray icon, event notice, countdown).
//
//  (230.0 229.0 230.0 021 50.0 13.60 25.0 00001001#
//  123456789012345678901234567890123456789012345678
//
// Thread rule: EvaluateStatus and EvaluateFailedCycle run on the main thread, one per poll
// cycle in poll order. CopyStatus may be called from any thread.
#pragma once

#include <array>
#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "link/log_sink.h"
#include "link/poller.h"
#include "link/status_reply.h"
#include "link/ups_link.h"
#include "monitor/display_model.h"
#include "monitor/evaluation_seams.h"

namespace gw::monitor {

struct UpsStatus {
    std::string ReplyText;  // as stored, "#" for the CR
    std::chrono::system_clock::time_point ReplyTime{};
    std::array<std::string, link::kStatusFieldCount> FieldText;  // exactly as received
    // Each field as a number, read once when the reply is cut; none when it is not one.
    std::array<std::optional<long double>, link::kStatusFieldCount> FieldNumber;
    // Fields 1, 3 and 6 as numbers; none when the latest try to convert them failed.
    std::optional<long double> IPVoltage;
    std::optional<long double> OPVoltage;
    // Volts of the whole battery, the value the charge and the minimum are judged by. Units that
    // report volts per cell are multiplied up and flagged; FieldText[5] keeps what they sent.
    std::optional<long double> BatteryVoltage;
    bool BatteryVoltagePerCell = false;
    std::array<bool, link::kStatusFieldCount> Flags{};  // by character of the status bits
    std::string Mode;
    std::string AVRState = "...";
    std::optional<long double> BatteryCharge;  // percent, unclamped; none when full <= empty
    // Extremes of the input voltage on mains since the program started; min > max until the
    // first update.
    long double IPVoltageMin = 1'000'000'000;
    long double IPVoltageMax = 0;
    // What the battery model makes of the reply (the battery watch fills these after the
    // evaluation): seconds to the cut-out at the present load, from the present charge on
    // battery and from a full battery on mains; none when unknown. RuntimeLowSeconds is what
    // the shutdown needs, the runtime at which the response acts.
    std::optional<long double> RuntimeSeconds;
    bool RuntimeLearned = false;
    std::optional<long double> RuntimeLowSeconds;
    std::string BatteryHealth;  // "Good", "Weak", "Replace"; empty before the first verdict
    // A source that tells the runtime itself (a network UPS server's battery.runtime): its
    // figure, which the battery watch then shows and acts on instead of its own estimate.
    std::optional<long double> ReportedRuntimeSeconds;
    bool RuntimeReported = false;  // RuntimeSeconds is the source's, not the estimate
    // The source says the battery needs replacing (a network UPS server's "RB").
    bool ReplaceReported = false;

    bool Flag(link::StatusFlag flag) const { return Flags[static_cast<std::size_t>(flag)]; }
};

// clang-format off
inline constexpr const char* kSpinnerCaptions[] = {"|", "/", "-", "\\", "|", "/", "-", "\\"};

inline constexpr char kBalloonTitle[] = "UPS Status";
inline constexpr char kCycleFailedText[] = "I/O Thread failed";

struct EventRow {
    NoticeKind Kind;
    const char* LogText;
    const char* BalloonText;
    BalloonIcon Icon;
    bool DisplayModel::*Gate;  // whether the event sends notices
};

inline constexpr EventRow kEvents[] = {
    {NoticeKind::PowerFail,     "Power Fail",  "Power fail",  BalloonIcon::Warning,
     &DisplayModel::PowerFailCB},
    {NoticeKind::PowerRestored, "Power O.K.",  "Power O.K.",  BalloonIcon::Information,
     &DisplayModel::PowerFailCB},
    {NoticeKind::AvrOn,         "AVR On",      "AVR On",      BalloonIcon::Information,
     &DisplayModel::AVRCB},
    {NoticeKind::AvrOff,        "AVR Off",     "AVR Off",     BalloonIcon::Information,
     &DisplayModel::AVRCB},
    {NoticeKind::BatteryLow,    "Battery Low", "Battery Low", BalloonIcon::Warning,
     &DisplayModel::BatteryLowCB},
};

enum class UpsMode { OnBattery, Off, OnLine };
enum class AvrMode { Boost, Trim, Bypass, Inactive };

struct ModeText { UpsMode Mode; const char* Text; };
inline constexpr ModeText kModeTexts[] = {
    {UpsMode::OnBattery, "OB"}, {UpsMode::Off, "OFF"}, {UpsMode::OnLine, "OL"},
};

struct AvrText { AvrMode Mode; const char* Text; };
inline constexpr AvrText kAvrTexts[] = {
    {AvrMode::Boost, "BOOST"}, {AvrMode::Trim, "TRIM"}, {AvrMode::Bypass, "BYPASS"},
    {AvrMode::Inactive, "..."},
};

// Caption of the "Standby UPS" box, by its flag.
inline constexpr const char* kStandbyCaption = "Standby UPS";
inline constexpr const char* kOnlineCaption = "Online UPS";

// Tray images.
inline constexpr int kTrayNormal = 0;
inline constexpr int kTrayAvr = 1;
inline constexpr int kTrayOnBattery = 2;
// clang-format on

const EventRow& EventOf(NoticeKind kind);
const char* ModeTextOf(UpsMode mode);
const char* AvrTextOf(AvrMode mode);

// Below this a battery reading beside a nominal battery of kPerCellMinimumNominal volts or more
// is volts per cell (2 V cells): no 12 V pack is that flat while the unit still answers.
inline constexpr long double kPerCellCeiling = 3.5L;
inline constexpr long double kPerCellMinimumNominal = 12;

// How far an evaluation got.
enum class EvaluationEnd {
    LinkDown,    // the link is not usable: only the activity indicator moved
    EmptyReply,  // nothing stored
    NotStatus,   // no status inquiry answered, or no "(": time and text shown only
    NotANumber,  // field 1, 3 or 6 or the minimum voltage did not convert
    Incomplete,  // the text ended before the eighth field
    Complete,
};

struct EvaluationResult {
    EvaluationEnd End = EvaluationEnd::LinkDown;
    // Battery below the minimum while the mains has failed, with MinVoltageCB: FireNow was
    // called.
    bool MinVoltageTrigger = false;
};

// A status from a source that tells it already cut (a network UPS server's variables): the
// fields' texts where it has them, the flags, and what it says outright where a reply of our
// own UPS leaves it to be worked out.
struct CutStatus {
    std::string Text;  // stands for the reply where the reply is shown
    std::chrono::system_clock::time_point Time{};
    // By the reply's field order; none: the source does not tell it. The status bits' place
    // holds the source's own words for them.
    std::array<std::optional<std::string>, link::kStatusFieldCount> Fields;
    std::array<bool, link::kStatusFieldCount> Flags{};  // by character of the status bits
    std::optional<AvrMode> Avr;                         // none: from the voltages, as for a reply
    std::optional<long double> BatteryCharge;           // percent
    std::optional<long double> RuntimeSeconds;          // to the cut-out at the present load
    bool ReplaceBattery = false;
};

class StatusEvaluation {
public:
    using Clock = std::function<std::chrono::system_clock::time_point()>;

    // Keeps references to all arguments; they must outlive this object.
    StatusEvaluation(const link::UpsLink& link, DisplayModel& display, link::LogSink& log,
                     TrayPresenter& tray, EventNotices& notices, Countdown& countdown,
                     Clock clock = std::chrono::system_clock::now);

    // After a cycle that stored a reply; `reply` is the copy taken under DataMutex.
    //
    // A reply that ends before its eighth field is treated like one holding a non-number: the
    // fields it has are shown and converted, then the evaluation ends. The flags, the latched
    // states, the announcements and the minimum-voltage action need the status bits, so a
    // cut-off reply can neither announce nor end a power failure.
    EvaluationResult EvaluateStatus(const link::StoredReply& reply);

    // The same for a status that came cut (CutStatus). A field the source does not tell, or
    // tells as no number, is shown empty and has no number; the evaluation goes on without it.
    // The minimum voltage is not judged: the thresholds belong to our own UPS's battery, and a
    // watched UPS's server says "low" itself.
    EvaluationResult EvaluateCut(const CutStatus& cut);

    // After a failed cycle: one log line, nothing else changes (not even the indicator).
    void EvaluateFailedCycle();

    // Called at the end of every evaluation that got through the status bits, before the record
    // is published; may fill the record's battery model figures.
    using BatteryHook = std::function<void(UpsStatus& status)>;
    void SetBatteryHook(BatteryHook hook) { battery_hook_ = std::move(hook); }

    const UpsStatus& Status() const { return status_; }
    // A consistent copy as of the end of the latest evaluation. Any thread.
    UpsStatus CopyStatus() const;

    // The latched states: a level announced once until it ends. They survive stopping and
    // starting monitoring and failed cycles.
    bool PowerFailSeen() const { return power_fail_seen_; }
    bool AVROnSeen() const { return avr_on_seen_; }
    bool BatteryLowSeen() const { return battery_low_seen_; }

private:
    EvaluationResult Evaluate(const link::StoredReply& reply);
    EvaluationResult EvaluateCutFields(const CutStatus& cut);
    void KeepReply(const std::string& text, std::chrono::system_clock::time_point time);
    // Shows and converts field k; false when it must end the evaluation (field 1, 3 or 6 or the
    // minimum's text is no number).
    bool EvaluateField(std::size_t k, std::string_view text, bool& below_minimum);
    // Pack voltage, charge and the minimum. False when the minimum's text is no number.
    bool EvaluateBattery(long double received, bool& below_minimum);
    void EvaluateFlags(const std::array<bool, link::kStatusFieldCount>& flags,
                       std::optional<AvrMode> avr);
    void EvaluatePowerFail();
    void EvaluateAvr(std::optional<AvrMode> avr);
    void EvaluateBatteryLow();
    void ShowBalloon(NoticeKind kind);
    void Announce(NoticeKind kind);
    void SetTrayIcon(int index);
    void Publish();

    const link::UpsLink& link_;
    DisplayModel& display_;
    link::LogSink& log_;
    TrayPresenter& tray_;
    EventNotices& notices_;
    Countdown& countdown_;
    Clock clock_;
    BatteryHook battery_hook_;

    UpsStatus status_;
    bool power_fail_seen_ = false;
    bool avr_on_seen_ = false;
    bool battery_low_seen_ = false;

    mutable std::mutex published_mutex_;
    UpsStatus published_;  // guarded by published_mutex_
};

}  // namespace gw::monitor
