// What the status page's reading controls hold, filled from the record of the UPS's state: the
// data stream row, the fields exactly as received, the flag boxes, the mode, the AVR label,
// the input's extremes and what the battery model makes of the readings. The window binds its
// widgets to these members (same names as the widgets' objectName). Nothing in monitoring reads
// them: the record is the one copy.
//
// Thread rule: main thread only.
#pragma once

#include <array>
#include <string>

#include "link/status_reply.h"
#include "monitor/ups_state.h"

namespace gw::ui {

// clang-format off
struct UpsMirror {
    // The data stream row.
    std::string ReportStringE;       // the stored reply, "#" for its CR
    std::string TimeL = "...";       // time of day of the reply
    std::string ProgressL = "-";     // the activity indicator: turns once per evaluated reply

    // The readings, exactly as received.
    std::string IPVoltageE;
    std::string IPFaultVoltageE;
    std::string OPVoltageE;
    std::string OPCurrentE;
    std::string IPFrequencyE;
    std::string BatteryVoltageE;
    std::string TemperatureE;
    std::string UPSStatusE;

    // The eight status flags; display only.
    bool UPSStatusCB1 = false;
    bool UPSStatusCB2 = false;
    bool UPSStatusCB3 = false;
    bool UPSStatusCB4 = false;
    bool UPSStatusCB5 = false;
    bool UPSStatusCB6 = false;
    bool UPSStatusCB7 = false;
    bool UPSStatusCB8 = false;
    std::string UPSStatusCB5Caption = "Standby UPS";
    std::string AVRStateL = "...";   // the label beside "AVR"
    bool AVRStateLEnabled = false;

    std::string UPSModeL = "...";
    std::string IPVoltageMinL = "...";
    std::string IPVoltageMaxL = "...";

    // The battery model: the runtime and the health with the evidence for it as its hint.
    std::string RuntimeL = "...";
    std::string BatteryHealthL = "...";
    std::string BatteryHealthHint;
};

// The reading fields in the order of the reply's fields.
inline constexpr std::string UpsMirror::*kReadingEdits[] = {
    &UpsMirror::IPVoltageE,   &UpsMirror::IPFaultVoltageE, &UpsMirror::OPVoltageE,
    &UpsMirror::OPCurrentE,   &UpsMirror::IPFrequencyE,    &UpsMirror::BatteryVoltageE,
    &UpsMirror::TemperatureE, &UpsMirror::UPSStatusE,
};
static_assert(std::size(kReadingEdits) == link::kStatusFieldCount);

// The flag check boxes in the order of the status bits' characters.
inline constexpr bool UpsMirror::*kFlagBoxes[] = {
    &UpsMirror::UPSStatusCB1, &UpsMirror::UPSStatusCB2, &UpsMirror::UPSStatusCB3,
    &UpsMirror::UPSStatusCB4, &UpsMirror::UPSStatusCB5, &UpsMirror::UPSStatusCB6,
    &UpsMirror::UPSStatusCB7, &UpsMirror::UPSStatusCB8,
};
// clang-format on

// The mirror of `state`: a pure function of the record, so filling it again changes nothing.
UpsMirror MirrorOf(const monitor::UpsState& state);

}  // namespace gw::ui
