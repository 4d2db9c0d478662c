// The values every report is composed from, copied in one piece: the readings and flags out
// of the record of the UPS's state, the device's identity out of the detection's fields.
//
// Thread rule: Take* run on the main thread (the model is the main thread's); the copies they
// return are plain values that any thread may keep and read.
#pragma once

#include <string>

#include "link/ups_link.h"
#include "monitor/display_model.h"
#include "monitor/ups_state.h"

namespace gw::reports {

// The reply's fields as the UPS sent them and the device as detected: no value is
// re-formatted for a report.
struct ReportSnapshot {
    std::string VidText;      // VIDE: four upper-case hex digits, or empty
    std::string PidText;      // PIDE
    std::string ProductName;  // ProductNameE
    std::string InputVoltage;
    std::string InputFaultVoltage;
    std::string OutputVoltage;
    std::string OutputCurrent;
    std::string InputFrequency;
    std::string BatteryVoltage;
    std::string Temperature;
    std::string StatusBits;
    bool PowerFail = false;
    bool BatteryLow = false;
    bool AvrActive = false;
    bool UpsFailed = false;
    bool UpsFound = false;
};

// The check boxes that pick the status page's lines; named after them.
struct ReportItems {
    bool IPVoltageCB = true;
    bool IPFaultVoltageCB = true;
    bool OPVoltageCB = true;
    bool OPCurrentCB = true;
    bool IPFrequencyCB = true;
    bool BatteryVoltageCB = true;
    bool TemperatureCB = true;
    bool UPSStatusCB = true;
    bool PowerFailCB = true;
    bool BatteryLowCB = true;
    bool AVRCB = true;
    bool UPSFailCB = true;
};

// The device line's values alone: all an event notice carries.
ReportSnapshot TakeDeviceSnapshot(const monitor::DisplayModel& display, const link::UpsLink& ups);
// The device's values as TakeDeviceSnapshot, the readings and flags of `state`'s latest reply.
ReportSnapshot TakeReportSnapshot(const monitor::UpsState& state,
                                  const monitor::DisplayModel& display, const link::UpsLink& ups);
ReportItems TakeReportItems(const monitor::DisplayModel& display);

}  // namespace gw::reports
