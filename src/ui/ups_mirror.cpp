#include "ui/ups_mirror.h"

#include "monitor/battery_health.h"
#include "monitor/battery_watch.h"
#include "monitor/local_time.h"
#include "monitor/status_evaluation.h"

namespace gw::ui {

UpsMirror MirrorOf(const monitor::UpsState& state) {
    UpsMirror mirror;
    const monitor::UpsReceived& received = state.Received;
    mirror.ReportStringE = received.Reply;
    if (received.Time) mirror.TimeL = monitor::LocalTimeText(*received.Time, "%H:%M:%S");
    if (state.Evaluations > 0) {
        constexpr unsigned long kSteps = std::size(monitor::kSpinnerCaptions);
        mirror.ProgressL = monitor::kSpinnerCaptions[(state.Evaluations - 1) % kSteps];
    }
    for (std::size_t k = 0; k < link::kStatusFieldCount; ++k) {
        mirror.*kReadingEdits[k] = received.Fields[k];
    }
    const monitor::UpsBattery& battery = state.Battery;
    if (battery.RuntimeSeconds) {
        mirror.RuntimeL = monitor::RuntimeText(*battery.RuntimeSeconds) +
                          (battery.RuntimeReported  ? " (server)"
                           : battery.RuntimeLearned ? " (learned)"
                                                    : " (assumed battery)");
    }
    mirror.BatteryHealthL = monitor::BatteryVerdictText(battery.Health, "...");
    mirror.BatteryHealthHint = battery.HealthEvidence;
    // Flags, mode and AVR come with a reply evaluated in full only.
    if (!state.Known) return mirror;
    for (std::size_t k = 0; k < link::kStatusFieldCount; ++k) {
        mirror.*kFlagBoxes[k] = state.Flags[k];
    }
    mirror.UPSStatusCB5Caption = state.Flag(link::StatusFlag::StandbyUps) ? monitor::kStandbyCaption
                                                                          : monitor::kOnlineCaption;
    mirror.UPSModeL = monitor::ModeTextOf(state.Mode);
    mirror.AVRStateL = monitor::AvrTextOf(state.Avr);
    mirror.AVRStateLEnabled = state.Flag(link::StatusFlag::Avr);
    const monitor::UpsReadings& readings = state.Readings;
    if (readings.InputMinVolts && readings.InputMaxVolts) {
        mirror.IPVoltageMinL = monitor::FixedText(*readings.InputMinVolts, 1);
        mirror.IPVoltageMaxL = monitor::FixedText(*readings.InputMaxVolts, 1);
    }
    return mirror;
}

}  // namespace gw::ui
