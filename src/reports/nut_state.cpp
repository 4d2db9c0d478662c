#include "reports/nut_state.h"

#include <algorithm>
#include <cmath>

namespace gw::reports {

namespace {

using link::StatusFlag;

std::string Trimmed(std::string_view text) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\0'; };
    while (!text.empty() && blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && blank(text.back())) text.remove_suffix(1);
    return std::string(text);
}

// A rating number: whole numbers without decimals, others with one.
std::string RatingText(long double value) {
    if (value == std::floor(value)) return monitor::FixedText(value, 0);
    return monitor::FixedText(value, 1);
}

struct Collected {
    std::vector<NutVariable> Variables;
    void Number(const char* name, std::string_view text) {
        if (std::optional<std::string> number = PlainNumber(text)) {
            Variables.push_back({name, *number, true});
        }
    }
    void Text(const char* name, std::string value) {
        if (!value.empty()) Variables.push_back({name, std::move(value), false});
    }
};

std::string StatusWords(const monitor::UpsState& state, bool forced_shutdown) {
    std::string words = state.OnBattery() ? "OB" : "OL";
    if (state.BatteryLow()) words += " LB";
    if (state.Flag(StatusFlag::TestInProgress)) words += " CAL";
    if (state.Avr == monitor::AvrMode::Boost || state.Avr == monitor::AvrMode::Trim) {
        words += std::string(" ") + monitor::AvrTextOf(state.Avr);
    }
    if (state.Battery.Health == monitor::BatteryVerdict::Replace) words += " RB";
    if (forced_shutdown) words += " FSD";
    return words;
}

// As the UPS sent it, without leading zeros: 21 for "021", 50.0 for "050.0".
std::string ReadingText(const monitor::Quantity& q) {
    return monitor::FixedText(q.Value, q.Decimals);
}

}  // namespace

std::optional<std::string> PlainNumber(std::string_view text) {
    const std::string trimmed = Trimmed(text);
    std::string_view rest = trimmed;
    std::string sign;
    if (!rest.empty() && (rest.front() == '-' || rest.front() == '+')) {
        if (rest.front() == '-') sign = "-";
        rest.remove_prefix(1);
    }
    const std::size_t dot = rest.find('.');
    std::string_view whole = rest.substr(0, dot);
    const std::string_view fraction =
        dot == std::string_view::npos ? std::string_view() : rest.substr(dot + 1);
    const auto digits = [](std::string_view part) {
        return std::all_of(part.begin(), part.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    if ((whole.empty() && fraction.empty()) || !digits(whole) || !digits(fraction)) {
        return std::nullopt;
    }
    if (dot != std::string_view::npos && fraction.empty()) return std::nullopt;
    while (whole.size() > 1 && whole.front() == '0') whole.remove_prefix(1);
    std::string number = sign + (whole.empty() ? "0" : std::string(whole));
    if (dot != std::string_view::npos) number += "." + std::string(fraction);
    return number;
}

std::vector<NutVariable> TakeNutVariables(const monitor::UpsStatus& status, bool status_known,
                                          const link::UpsLink& ups, bool forced_shutdown,
                                          const std::string& version) {
    monitor::UpsStateInputs inputs;
    inputs.Status = status_known ? &status : nullptr;
    inputs.UpsFound = true;
    inputs.NominalBatteryVolts = ups.NominalBatteryVoltage;
    const auto now = std::chrono::steady_clock::now();
    return TakeNutVariables(monitor::MakeUpsState(inputs, now, now), ups, forced_shutdown, version);
}

std::vector<NutVariable> TakeNutVariables(const monitor::UpsState& state, const link::UpsLink& ups,
                                          bool forced_shutdown, const std::string& version) {
    Collected out;
    if (state.Known) {
        const monitor::UpsReadings& r = state.Readings;
        out.Text("ups.status", StatusWords(state, forced_shutdown));
        const struct {
            const char* Name;
            const std::optional<monitor::Quantity>& Value;
        } readings[] = {
            {"input.voltage", r.InputVolts},   {"input.voltage.fault", r.InputFaultVolts},
            {"output.voltage", r.OutputVolts}, {"ups.load", r.LoadPercent},
            {"input.frequency", r.InputHertz},
        };
        for (const auto& reading : readings) {
            if (reading.Value)
                out.Variables.push_back({reading.Name, ReadingText(*reading.Value), true});
        }
        // The whole battery's volts, also from units that report them per cell.
        if (r.BatteryVolts) {
            out.Number("battery.voltage", monitor::FixedText(*r.BatteryVolts, 2));
        }
        if (r.TemperatureCelsius) {
            out.Variables.push_back({"ups.temperature", ReadingText(*r.TemperatureCelsius), true});
        }
        const monitor::UpsBattery& battery = state.Battery;
        if (battery.ChargePercent) {
            out.Number("battery.charge", monitor::FixedText(*battery.ChargePercent, 0));
        }
        if (battery.RuntimeSeconds) {
            out.Number("battery.runtime", monitor::FixedText(*battery.RuntimeSeconds, 0));
        }
        if (battery.RuntimeLowSeconds) {
            out.Number("battery.runtime.low", monitor::FixedText(*battery.RuntimeLowSeconds, 0));
        }
        out.Text("ups.beeper.status", state.Flag(StatusFlag::BeeperOn) ? "enabled" : "disabled");
        out.Text("ups.type", state.Flag(StatusFlag::StandbyUps) ? "offline" : "online");
    }
    if (ups.FAnswered) {
        out.Number("input.voltage.nominal", RatingText(ups.RatedVoltage));
        out.Number("input.current.nominal", RatingText(ups.RatedCurrent));
        out.Number("battery.voltage.nominal", RatingText(ups.NominalBatteryVoltage));
        out.Number("input.frequency.nominal", RatingText(ups.RatedFrequency));
    }
    std::string model;
    if (ups.IAnswered) {
        out.Text("device.mfr", Trimmed(ups.Manufacturer));
        model = Trimmed(ups.Model);
        out.Text("ups.firmware", Trimmed(ups.Version));
    }
    if (model.empty() && ups.HidPresent) model = Trimmed(ups.ProductName);
    out.Text("device.model", model);
    out.Text("device.type", "ups");
    out.Text("driver.name", kNutUpsName);
    out.Text("driver.version", version);
    std::sort(out.Variables.begin(), out.Variables.end(),
              [](const NutVariable& a, const NutVariable& b) { return a.Name < b.Name; });
    return out.Variables;
}

std::string TakeNutDescription(const monitor::DisplayModel& display, const link::UpsLink& ups) {
    std::string description;
    if (ups.IAnswered) description = Trimmed(ups.Model);
    if (description.empty()) description = Trimmed(display.ProductNameE);
    return description.empty() ? "Unavailable" : description;
}

}  // namespace gw::reports
