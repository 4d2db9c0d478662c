#include "reports/report_snapshot.h"

namespace gw::reports {

ReportSnapshot TakeReportSnapshot(const monitor::DisplayModel& display, const link::UpsLink& ups) {
    ReportSnapshot s;
    s.VidText = display.VIDE;
    s.PidText = display.PIDE;
    s.ProductName = display.ProductNameE;
    s.InputVoltage = display.IPVoltageE;
    s.InputFaultVoltage = display.IPFaultVoltageE;
    s.OutputVoltage = display.OPVoltageE;
    s.OutputCurrent = display.OPCurrentE;
    s.InputFrequency = display.IPFrequencyE;
    s.BatteryVoltage = display.BatteryVoltageE;
    s.Temperature = display.TemperatureE;
    s.StatusBits = display.UPSStatusE;
    s.PowerFail = display.UPSStatusCB1;
    s.BatteryLow = display.UPSStatusCB2;
    s.AvrActive = display.UPSStatusCB3;
    s.UpsFailed = display.UPSStatusCB4;
    s.UpsFound = ups.UpsFound;
    return s;
}

ReportItems TakeReportItems(const monitor::DisplayModel& display) {
    ReportItems items;
    items.IPVoltageCB = display.IPVoltageCB;
    items.IPFaultVoltageCB = display.IPFaultVoltageCB;
    items.OPVoltageCB = display.OPVoltageCB;
    items.OPCurrentCB = display.OPCurrentCB;
    items.IPFrequencyCB = display.IPFrequencyCB;
    items.BatteryVoltageCB = display.BatteryVoltageCB;
    items.TemperatureCB = display.TemperatureCB;
    items.UPSStatusCB = display.UPSStatusCB;
    items.PowerFailCB = display.PowerFailCB;
    items.BatteryLowCB = display.BatteryLowCB;
    items.AVRCB = display.AVRCB;
    items.UPSFailCB = display.UPSFailCB;
    return items;
}

}  // namespace gw::reports
