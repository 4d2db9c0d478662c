#include "monitor/ups_state.h"

#include <algorithm>

#include "monitor/battery_health.h"

namespace gw::monitor {

namespace {

using link::StatusField;

constexpr std::size_t Index(StatusField field) { return static_cast<std::size_t>(field); }

// The decimals the UPS sent: digits after the mark, "." or ",".
int DecimalsOf(const std::string& text) {
    const std::size_t mark = text.find_first_of(".,");
    if (mark == std::string::npos) return 0;
    int decimals = 0;
    for (std::size_t i = mark + 1; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        ++decimals;
    }
    return decimals;
}

std::optional<Quantity> QuantityOf(const UpsStatus& status, StatusField field) {
    const std::size_t k = Index(field);
    if (!status.FieldNumber[k]) return std::nullopt;
    return Quantity{static_cast<double>(*status.FieldNumber[k]), DecimalsOf(status.FieldText[k])};
}

std::optional<double> Plain(const std::optional<long double>& value) {
    if (!value) return std::nullopt;
    return static_cast<double>(*value);
}

UpsMode ModeOf(const std::string& text) {
    for (const auto& row : kModeTexts) {
        if (text == row.Text) return row.Mode;
    }
    return UpsMode::OnLine;
}

AvrMode AvrOf(const std::string& text) {
    for (const auto& row : kAvrTexts) {
        if (text == row.Text) return row.Mode;
    }
    return AvrMode::Inactive;
}

UpsReadings ReadingsOf(const UpsStatus& status, long double nominal) {
    UpsReadings r;
    r.InputVolts = QuantityOf(status, StatusField::InputVoltage);
    r.InputFaultVolts = QuantityOf(status, StatusField::InputFaultVoltage);
    r.OutputVolts = QuantityOf(status, StatusField::OutputVoltage);
    r.LoadPercent = QuantityOf(status, StatusField::OutputCurrent);
    r.InputHertz = QuantityOf(status, StatusField::InputFrequency);
    r.TemperatureCelsius = QuantityOf(status, StatusField::Temperature);
    r.BatteryVolts = Plain(status.BatteryVoltage);
    r.UnitReportsPerCell = status.BatteryVoltagePerCell;
    const std::optional<long double>& sent = status.FieldNumber[Index(StatusField::BatteryVoltage)];
    if (status.BatteryVoltagePerCell && sent) {
        r.BatteryCellVolts = static_cast<double>(*sent);
    } else if (r.BatteryVolts && nominal >= 2) {
        r.BatteryCellVolts = *r.BatteryVolts / static_cast<double>(nominal / 2);
    }
    if (status.IPVoltageMin <= status.IPVoltageMax) {
        r.InputMinVolts = static_cast<double>(status.IPVoltageMin);
        r.InputMaxVolts = static_cast<double>(status.IPVoltageMax);
    }
    return r;
}

UpsReceived ReceivedOf(const UpsStatus& status) {
    UpsReceived received;
    received.Reply = status.ReplyText;
    if (!status.ReplyText.empty()) received.Time = status.ReplyTime;
    received.Fields = status.FieldText;
    return received;
}

Contact ContactAt(bool found, std::optional<std::chrono::steady_clock::time_point> last_good,
                  std::chrono::steady_clock::time_point now) {
    if (!found) return Contact::NoUps;
    if (!last_good) return Contact::NoContact;
    return now - *last_good > kStaleAfter ? Contact::Stale : Contact::Fresh;
}

std::optional<double> AgeAt(std::optional<std::chrono::steady_clock::time_point> last_good,
                            std::chrono::steady_clock::time_point now) {
    if (!last_good) return std::nullopt;
    return std::max(0.0, std::chrono::duration<double>(now - *last_good).count());
}

}  // namespace

const char* ContactName(Contact contact) {
    switch (contact) {
        case Contact::NoUps:
            return "no-ups";
        case Contact::NoContact:
            return "no-contact";
        case Contact::Stale:
            return "stale";
        case Contact::Fresh:
            return "fresh";
    }
    return "";
}

BatteryVerdict BatteryVerdictOf(const std::string& verdict) {
    if (verdict == kHealthGood) return BatteryVerdict::Good;
    if (verdict == kHealthWeak) return BatteryVerdict::Weak;
    if (verdict == kHealthReplace) return BatteryVerdict::Replace;
    return BatteryVerdict::Unknown;
}

const char* BatteryVerdictText(BatteryVerdict verdict, const char* unknown) {
    switch (verdict) {
        case BatteryVerdict::Good:
            return kHealthGood;
        case BatteryVerdict::Weak:
            return kHealthWeak;
        case BatteryVerdict::Replace:
            return kHealthReplace;
        case BatteryVerdict::Unknown:
            break;
    }
    return unknown;
}

std::optional<PowerAction> ChosenAction(const DisplayModel& display) {
    if (display.SleepRB) return PowerAction::Suspend;
    if (display.HibernateRB) return PowerAction::Hibernate;
    if (display.ShutdownRB) return PowerAction::PowerOff;
    return std::nullopt;
}

UpsState MakeUpsState(const UpsStateInputs& inputs,
                      std::optional<std::chrono::steady_clock::time_point> last_good,
                      std::chrono::steady_clock::time_point now) {
    UpsState state;
    state.Link = ContactAt(inputs.UpsFound, last_good, now);
    state.LastReplyAgeSeconds = AgeAt(last_good, now);
    state.Protection = inputs.Protection;
    state.Source = inputs.Source;
    state.Problem = inputs.Problem;
    state.Manufacturer = inputs.Manufacturer;
    state.Model = inputs.Model;
    state.Firmware = inputs.Firmware;
    state.Battery.HealthEvidence = inputs.HealthEvidence;
    const UpsStatus* status = inputs.Status;
    if (status == nullptr) return state;
    state.Received = ReceivedOf(*status);

    state.Known = true;
    state.LastReply = status->ReplyTime;
    state.Readings = ReadingsOf(*status, inputs.NominalBatteryVolts);
    state.Flags = status->Flags;
    state.Mode = ModeOf(status->Mode);
    state.Avr = AvrOf(status->AVRState);
    if (status->BatteryCharge) {
        state.Battery.ChargePercent =
            std::clamp(static_cast<double>(*status->BatteryCharge), 0.0, 100.0);
    }
    state.Battery.RuntimeSeconds = Plain(status->RuntimeSeconds);
    state.Battery.RuntimeLearned = status->RuntimeLearned;
    state.Battery.RuntimeReported = status->RuntimeReported;
    state.Battery.RuntimeLowSeconds = Plain(status->RuntimeLowSeconds);
    state.Battery.Health = BatteryVerdictOf(status->BatteryHealth);
    return state;
}

void UpsStateKeeper::OnCycle(bool good, const UpsStateInputs& inputs, Clock::time_point now) {
    if (inputs.Evaluated) ++evaluations_;
    if (good) {
        last_good_ = now;
        latest_ = MakeUpsState(inputs, last_good_, now);
        latest_.NewReply = true;
    } else {
        // A cycle without a full reply changes no reading: the latest good ones are kept, and
        // the contact says how old they are.
        UpsStateInputs without = inputs;
        without.Status = nullptr;
        UpsState next = MakeUpsState(without, last_good_, now);
        // What was cut from a reply that did not make it is shown as it came all the same.
        next.Received = inputs.Status != nullptr ? ReceivedOf(*inputs.Status) : latest_.Received;
        if (latest_.Known) {
            next.Known = true;
            next.LastReply = latest_.LastReply;
            next.Readings = latest_.Readings;
            next.Flags = latest_.Flags;
            next.Mode = latest_.Mode;
            next.Avr = latest_.Avr;
            const std::string evidence = std::move(next.Battery.HealthEvidence);
            next.Battery = latest_.Battery;
            next.Battery.HealthEvidence = evidence;
        }
        latest_ = std::move(next);
    }
    latest_.Evaluations = evaluations_;
    for (const Listener& listener : listeners_) listener(latest_);
}

UpsState UpsStateKeeper::Current(Clock::time_point now) const {
    UpsState state = latest_;
    if (state.Link == Contact::Fresh || state.Link == Contact::Stale) {
        state.Link = ContactAt(true, last_good_, now);
    }
    state.LastReplyAgeSeconds = AgeAt(last_good_, now);
    return state;
}

}  // namespace gw::monitor
