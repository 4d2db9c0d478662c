#include "history/history_rows.h"

#include "link/protocol.h"

namespace gw::history {

Millis ToMillis(std::chrono::system_clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
}

std::chrono::system_clock::time_point FromMillis(Millis ms) {
    return std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(
            std::chrono::milliseconds(ms)));
}

const FieldRow& FieldOf(Field field) { return kFields[static_cast<std::size_t>(field)]; }

namespace {

std::optional<double> Number(const std::string& text) {
    const link::NumberResult parsed = link::ParseNumber(text);
    if (!parsed.Value) return std::nullopt;
    return static_cast<double>(*parsed.Value);
}

std::optional<double> Plain(const std::optional<long double>& value) {
    if (!value) return std::nullopt;
    return static_cast<double>(*value);
}

}  // namespace

Reading ReadingOf(const monitor::UpsStatus& status, std::chrono::system_clock::time_point time) {
    Reading reading;
    reading.Time = ToMillis(time);
    reading[Field::InputVoltage] = Plain(status.IPVoltage);
    reading[Field::InputFaultVoltage] = Number(status.FieldText[1]);
    reading[Field::OutputVoltage] = Plain(status.OPVoltage);
    reading[Field::Load] = Number(status.FieldText[3]);
    reading[Field::InputFrequency] = Number(status.FieldText[4]);
    reading[Field::BatteryVoltage] = Plain(status.BatteryVoltage);
    reading[Field::Temperature] = Number(status.FieldText[6]);
    reading[Field::Charge] = Plain(status.BatteryCharge);
    for (std::size_t i = 0; i < status.Flags.size(); ++i) {
        if (status.Flags[i]) reading.Bits |= 1u << i;
    }
    return reading;
}

}  // namespace gw::history
