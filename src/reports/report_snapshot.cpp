#include "reports/report_snapshot.h"

#include <utility>

namespace gw::reports {

namespace {

using monitor::DisplayModel;
using S = ReportSnapshot;
using I = ReportItems;

using link::StatusField;
using link::StatusFlag;

// Which control or field of the reply each value of a report is read from.
// clang-format off
constexpr std::pair<std::string S::*, std::string DisplayModel::*> kDevice[] = {
    {&S::VidText,     &DisplayModel::VIDE},
    {&S::PidText,     &DisplayModel::PIDE},
    {&S::ProductName, &DisplayModel::ProductNameE},
};

constexpr std::pair<std::string S::*, StatusField> kTexts[] = {
    {&S::InputVoltage,      StatusField::InputVoltage},
    {&S::InputFaultVoltage, StatusField::InputFaultVoltage},
    {&S::OutputVoltage,     StatusField::OutputVoltage},
    {&S::OutputCurrent,     StatusField::OutputCurrent},
    {&S::InputFrequency,    StatusField::InputFrequency},
    {&S::BatteryVoltage,    StatusField::BatteryVoltage},
    {&S::Temperature,       StatusField::Temperature},
    {&S::StatusBits,        StatusField::StatusBits},
};

constexpr std::pair<bool S::*, StatusFlag> kFlags[] = {
    {&S::PowerFail,  StatusFlag::PowerFail},
    {&S::BatteryLow, StatusFlag::BatteryLow},
    {&S::AvrActive,  StatusFlag::Avr},
    {&S::UpsFailed,  StatusFlag::UpsFailed},
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

ReportSnapshot TakeDeviceSnapshot(const DisplayModel& display, const link::UpsLink& ups) {
    ReportSnapshot snapshot;
    for (const auto& [to, from] : kDevice) snapshot.*to = display.*from;
    snapshot.UpsFound = ups.UpsFound;
    return snapshot;
}

ReportSnapshot TakeReportSnapshot(const monitor::UpsState& state, const DisplayModel& display,
                                  const link::UpsLink& ups) {
    ReportSnapshot snapshot = TakeDeviceSnapshot(display, ups);
    for (const auto& [to, from] : kTexts) snapshot.*to = state.Received.Field(from);
    for (const auto& [to, from] : kFlags) snapshot.*to = state.Flag(from);
    return snapshot;
}

ReportItems TakeReportItems(const DisplayModel& display) {
    ReportItems items;
    for (const auto& [to, from] : kItems) items.*to = display.*from;
    return items;
}

}  // namespace gw::reports
