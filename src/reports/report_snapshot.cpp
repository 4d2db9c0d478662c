#include "reports/report_snapshot.h"

#include <utility>

namespace gw::reports {

namespace {

using monitor::DisplayModel;
using S = ReportSnapshot;
using I = ReportItems;

// Which control each value of a report is read from.
// clang-format off
constexpr std::pair<std::string S::*, std::string DisplayModel::*> kTexts[] = {
    {&S::VidText,           &DisplayModel::VIDE},
    {&S::PidText,           &DisplayModel::PIDE},
    {&S::ProductName,       &DisplayModel::ProductNameE},
    {&S::InputVoltage,      &DisplayModel::IPVoltageE},
    {&S::InputFaultVoltage, &DisplayModel::IPFaultVoltageE},
    {&S::OutputVoltage,     &DisplayModel::OPVoltageE},
    {&S::OutputCurrent,     &DisplayModel::OPCurrentE},
    {&S::InputFrequency,    &DisplayModel::IPFrequencyE},
    {&S::BatteryVoltage,    &DisplayModel::BatteryVoltageE},
    {&S::Temperature,       &DisplayModel::TemperatureE},
    {&S::StatusBits,        &DisplayModel::UPSStatusE},
};

constexpr std::pair<bool S::*, bool DisplayModel::*> kFlags[] = {
    {&S::PowerFail,  &DisplayModel::UPSStatusCB1},
    {&S::BatteryLow, &DisplayModel::UPSStatusCB2},
    {&S::AvrActive,  &DisplayModel::UPSStatusCB3},
    {&S::UpsFailed,  &DisplayModel::UPSStatusCB4},
};

constexpr std::pair<bool I::*, bool DisplayModel::*> kItems[] = {
    {&I::IPVoltageCB,      &DisplayModel::IPVoltageCB},
    {&I::IPFaultVoltageCB, &DisplayModel::IPFaultVoltageCB},
    {&I::OPVoltageCB,      &DisplayModel::OPVoltageCB},
    {&I::OPCurrentCB,      &DisplayModel::OPCurrentCB},
    {&I::IPFrequencyCB,    &DisplayModel::IPFrequencyCB},
    {&I::BatteryVoltageCB, &DisplayModel::BatteryVoltageCB},
    {&I::TemperatureCB,    &DisplayModel::TemperatureCB},
    {&I::UPSStatusCB,      &DisplayModel::UPSStatusCB},
    {&I::PowerFailCB,      &DisplayModel::PowerFailCB},
    {&I::BatteryLowCB,     &DisplayModel::BatteryLowCB},
    {&I::AVRCB,            &DisplayModel::AVRCB},
    {&I::UPSFailCB,        &DisplayModel::UPSFailCB},
};
// clang-format on

}  // namespace

ReportSnapshot TakeReportSnapshot(const DisplayModel& display, const link::UpsLink& ups) {
    ReportSnapshot snapshot;
    for (const auto& [to, from] : kTexts) snapshot.*to = display.*from;
    for (const auto& [to, from] : kFlags) snapshot.*to = display.*from;
    snapshot.UpsFound = ups.UpsFound;
    return snapshot;
}

ReportItems TakeReportItems(const DisplayModel& display) {
    ReportItems items;
    for (const auto& [to, from] : kItems) items.*to = display.*from;
    return items;
}

}  // namespace gw::reports
