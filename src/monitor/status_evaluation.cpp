#include "monitor/status_evaluation.h"

#include "link/protocol.h"
#include "monitor/battery_charge.h"
#include "monitor/battery_health.h"

namespace gw::monitor {

namespace {

using link::StatusField;
using link::StatusFlag;

struct NumericField {
    StatusField Field;
    std::optional<long double> UpsStatus::*Number;
};

constexpr NumericField kNumericFields[] = {
    {StatusField::InputVoltage, &UpsStatus::IPVoltage},
    {StatusField::OutputVoltage, &UpsStatus::OPVoltage},
    {StatusField::BatteryVoltage, &UpsStatus::BatteryVoltage},
};

const NumericField* NumericFieldAt(std::size_t index) {
    for (const auto& row : kNumericFields) {
        if (static_cast<std::size_t>(row.Field) == index) return &row;
    }
    return nullptr;
}

constexpr std::size_t Index(StatusField field) { return static_cast<std::size_t>(field); }

}  // namespace

const EventRow& EventOf(NoticeKind kind) {
    for (const auto& row : kEvents) {
        if (row.Kind == kind) return row;
    }
    return kEvents[0];
}

const char* ModeTextOf(UpsMode mode) {
    for (const auto& row : kModeTexts) {
        if (row.Mode == mode) return row.Text;
    }
    return "";
}

const char* AvrTextOf(AvrMode mode) {
    for (const auto& row : kAvrTexts) {
        if (row.Mode == mode) return row.Text;
    }
    return "";
}

StatusEvaluation::StatusEvaluation(const link::UpsLink& link, DisplayModel& display,
                                   link::LogSink& log, TrayPresenter& tray, EventNotices& notices,
                                   Countdown& countdown, Clock clock)
    : link_(link),
      display_(display),
      log_(log),
      tray_(tray),
      notices_(notices),
      countdown_(countdown),
      clock_(std::move(clock)) {}

EvaluationResult StatusEvaluation::EvaluateStatus(const link::StoredReply& reply) {
    const EvaluationResult result = Evaluate(reply);
    if (result.End == EvaluationEnd::Complete && battery_hook_) battery_hook_(status_);
    Publish();
    return result;
}

void StatusEvaluation::EvaluateFailedCycle() { log_.AppendLog(kCycleFailedText); }

UpsStatus StatusEvaluation::CopyStatus() const {
    std::lock_guard<std::mutex> lock(published_mutex_);
    return published_;
}

void StatusEvaluation::Publish() {
    std::lock_guard<std::mutex> lock(published_mutex_);
    published_ = status_;
}

EvaluationResult StatusEvaluation::Evaluate(const link::StoredReply& reply) {
    if (!link_.LinkUsable) return {EvaluationEnd::LinkDown};
    if (reply.Text.empty()) return {EvaluationEnd::EmptyReply};

    KeepReply(reply.Text, reply.Time);
    if (!(link_.Q1Answered || link_.QSAnswered) || reply.Text.front() != '(') {
        return {EvaluationEnd::NotStatus};
    }

    // Each field is kept as soon as it is cut, so a non-number leaves the fields before it
    // new and the ones after it as they were.
    const auto fields = link::SplitStatusText(reply.Text);
    bool below_minimum = false;
    for (std::size_t k = 0; k < fields.size(); ++k) {
        if (!EvaluateField(k, fields[k], below_minimum)) return {EvaluationEnd::NotANumber};
    }
    if (fields.size() < link::kStatusFieldCount) return {EvaluationEnd::Incomplete};

    std::array<bool, link::kStatusFieldCount> flags{};
    for (const auto& row : link::kStatusBits) {
        flags[row.Character - 1] =
            link::StatusBit(fields[Index(StatusField::StatusBits)], row.Flag);
    }
    EvaluateFlags(flags, std::nullopt);

    // Only while the mains has failed: on mains a low reading comes from the user's own
    // battery test or from a unit that answers zeros until it has measured, and shutting a
    // healthy computer down for that protects nothing.
    EvaluationResult result{EvaluationEnd::Complete};
    result.MinVoltageTrigger = below_minimum && status_.Flag(StatusFlag::PowerFail);
    if (result.MinVoltageTrigger) countdown_.FireNow();
    return result;
}

EvaluationResult StatusEvaluation::EvaluateCut(const CutStatus& cut) {
    const EvaluationResult result = EvaluateCutFields(cut);
    if (battery_hook_) battery_hook_(status_);
    // The server's own verdict stands beside ours: it has watched the battery longer.
    if (cut.ReplaceBattery) status_.BatteryHealth = kHealthReplace;
    Publish();
    return result;
}

EvaluationResult StatusEvaluation::EvaluateCutFields(const CutStatus& cut) {
    KeepReply(cut.Text, cut.Time);
    // A minimum voltage is not ours to judge on another machine's UPS: its server tells LB.
    bool below_minimum = false;
    for (std::size_t k = 0; k < link::kStatusFieldCount; ++k) {
        EvaluateField(k, cut.Fields[k].value_or(std::string()), below_minimum);
    }
    // Unlike a reply's, a variable the server lacks ends nothing; without volts there is no
    // charge to estimate.
    if (!status_.BatteryVoltage) {
        status_.BatteryCharge.reset();
        display_.BatteryChargeL = "...";
    }
    if (cut.BatteryCharge) {
        status_.BatteryCharge = *cut.BatteryCharge;
        display_.BatteryChargeL = FixedText(*cut.BatteryCharge, 1);
        display_.BatteryChargeRL.SetValue(*cut.BatteryCharge);
    }
    status_.ReportedRuntimeSeconds = cut.RuntimeSeconds;
    status_.ReplaceReported = cut.ReplaceBattery;
    EvaluateFlags(cut.Flags, cut.Avr);
    return {EvaluationEnd::Complete};
}

void StatusEvaluation::KeepReply(const std::string& text,
                                 std::chrono::system_clock::time_point time) {
    status_.ReplyText = text;
    status_.ReplyTime = time;
}

bool StatusEvaluation::EvaluateField(std::size_t k, std::string_view text, bool& below_minimum) {
    status_.FieldText[k] = std::string(text);
    if (k == Index(StatusField::StatusBits)) return true;
    const link::NumberResult number = link::ParseNumber(text);
    status_.FieldNumber[k] = number.Value;

    const NumericField* numeric = NumericFieldAt(k);
    if (numeric == nullptr) return true;
    status_.*numeric->Number = number.Value;
    if (!number.Value) {
        if (numeric->Field == StatusField::BatteryVoltage) status_.BatteryVoltagePerCell = false;
        return false;
    }
    return numeric->Field != StatusField::BatteryVoltage ||
           EvaluateBattery(*number.Value, below_minimum);
}

bool StatusEvaluation::EvaluateBattery(long double received, bool& below_minimum) {
    const long double nominal = link_.NominalBatteryVoltage;
    status_.BatteryVoltagePerCell =
        received > 0 && received < kPerCellCeiling && nominal >= kPerCellMinimumNominal;
    const long double pack = status_.BatteryVoltagePerCell ? received * (nominal / 2) : received;
    status_.BatteryVoltage = pack;
    status_.BatteryCharge = ChargeEstimate(display_, pack);

    // The edit, not the position: it is the minimum the user sees.
    const link::NumberResult minimum = link::ParseNumber(display_.MinVoltageE);
    if (!minimum.Value) return false;
    below_minimum = display_.MinVoltageCB && pack < *minimum.Value;
    return true;
}

void StatusEvaluation::EvaluateFlags(const std::array<bool, link::kStatusFieldCount>& flags,
                                     std::optional<AvrMode> avr) {
    // All flags first, so that whoever an announcement reaches sees the whole reply.
    for (std::size_t k = 0; k < flags.size(); ++k) {
        status_.Flags[k] = flags[k];
    }

    UpsMode mode = UpsMode::OnLine;
    if (status_.Flag(StatusFlag::PowerFail) || status_.Flag(StatusFlag::TestInProgress)) {
        mode = UpsMode::OnBattery;
    } else if (status_.Flag(StatusFlag::ShutdownActive)) {
        mode = UpsMode::Off;
    }
    status_.Mode = ModeTextOf(mode);

    // This order decides the tray icon: AVR after power fail, so a unit on battery with its
    // AVR flag set shows icon 1.
    EvaluatePowerFail();
    EvaluateAvr(avr);
    EvaluateBatteryLow();
}

void StatusEvaluation::EvaluatePowerFail() {
    if (status_.Flag(StatusFlag::PowerFail)) {
        SetTrayIcon(kTrayOnBattery);
        if (!power_fail_seen_) {
            ShowBalloon(NoticeKind::PowerFail);
            power_fail_seen_ = true;
            if (display_.DelayCB) {
                countdown_.StartCountdown(std::chrono::seconds(display_.DelayUD.Position));
            }
            Announce(NoticeKind::PowerFail);
        }
        return;
    }

    // A unit that has not measured yet answers 0 V on mains; that is no input voltage.
    const long double input = status_.IPVoltage.value_or(0);
    if (input > 0) {
        if (input < status_.IPVoltageMin) status_.IPVoltageMin = input;
        if (input > status_.IPVoltageMax) status_.IPVoltageMax = input;
    }
    if (power_fail_seen_) {
        ShowBalloon(NoticeKind::PowerRestored);
        countdown_.CancelCountdown();
        Announce(NoticeKind::PowerRestored);
        SetTrayIcon(kTrayNormal);
        power_fail_seen_ = false;
    }
}

void StatusEvaluation::EvaluateAvr(std::optional<AvrMode> avr) {
    if (status_.Flag(StatusFlag::Avr)) {
        const long double input = status_.IPVoltage.value_or(0);
        const long double output = status_.OPVoltage.value_or(0);
        const AvrMode mode = avr              ? *avr
                             : input < output ? AvrMode::Boost
                             : input > output ? AvrMode::Trim
                                              : AvrMode::Bypass;
        status_.AVRState = AvrTextOf(mode);
        SetTrayIcon(kTrayAvr);
        if (!avr_on_seen_) {
            avr_on_seen_ = true;
            ShowBalloon(NoticeKind::AvrOn);
            Announce(NoticeKind::AvrOn);
        }
        return;
    }
    status_.AVRState = AvrTextOf(AvrMode::Inactive);
    if (avr_on_seen_) {
        ShowBalloon(NoticeKind::AvrOff);
        Announce(NoticeKind::AvrOff);
        SetTrayIcon(kTrayNormal);
        avr_on_seen_ = false;
    }
}

void StatusEvaluation::EvaluateBatteryLow() {
    if (!status_.Flag(StatusFlag::BatteryLow)) {
        battery_low_seen_ = false;  // re-armed silently: there is no "battery O.K." event
        return;
    }
    if (!battery_low_seen_) {
        ShowBalloon(NoticeKind::BatteryLow);
        battery_low_seen_ = true;
        Announce(NoticeKind::BatteryLow);
    }
}

void StatusEvaluation::ShowBalloon(NoticeKind kind) {
    if (!display_.BalloonCB) return;
    const EventRow& row = EventOf(kind);
    tray_.ShowTrayBalloon(kBalloonTitle, row.BalloonText, row.Icon);
}

void StatusEvaluation::Announce(NoticeKind kind) {
    const EventRow& row = EventOf(kind);
    const auto event_time = clock_();
    log_.AppendLog(row.LogText);
    const NoticeChannels channels{display_.SMTPWarningsCB, display_.LANWarningsCB};
    if (display_.*row.Gate && (channels.Mail || channels.Lan)) {
        notices_.Notify(kind, event_time, channels);
    }
}

void StatusEvaluation::SetTrayIcon(int index) { tray_.SetTrayIcon(index); }

}  // namespace gw::monitor
