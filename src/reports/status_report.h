// The plain-text reports: the periodic status report and the five event notices, as subject and
// body. Pure functions of a snapshot and a time; the line tables are shared with the status
// page, so every channel speaks the same labels and units.
//
// Thread rule: any thread; the main thread composes reports and notices.
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "monitor/evaluation_seams.h"
#include "reports/report_snapshot.h"

namespace gw::reports {

// One reading line: label, the snapshot's text, unit; and the check box that puts it on the
// page. "I/P Voltage = 230.0 V".
struct ReadingLine {
    const char* Label;
    std::string ReportSnapshot::*Value;
    const char* Unit;  // with its leading blank; empty for the status bits
    bool ReportItems::*Item;
};

// clang-format off
inline constexpr ReadingLine kReadingLines[] = {
    {"I/P Voltage = ",       &ReportSnapshot::InputVoltage,      " V",     &ReportItems::IPVoltageCB},
    {"I/P Fault Voltage = ", &ReportSnapshot::InputFaultVoltage, " V",     &ReportItems::IPFaultVoltageCB},
    {"O/P Voltage = ",       &ReportSnapshot::OutputVoltage,     " V",     &ReportItems::OPVoltageCB},
    {"O/P Current = ",       &ReportSnapshot::OutputCurrent,     " %",     &ReportItems::OPCurrentCB},
    {"I/P Frequency = ",     &ReportSnapshot::InputFrequency,    " Hz",    &ReportItems::IPFrequencyCB},
    {"Battery Voltage = ",   &ReportSnapshot::BatteryVoltage,    " V",     &ReportItems::BatteryVoltageCB},
    {"Temperature = ",       &ReportSnapshot::Temperature,       " \260C", &ReportItems::TemperatureCB},
    {"UPS Status = ",        &ReportSnapshot::StatusBits,        "",       &ReportItems::UPSStatusCB},
};

// One line per set flag, in this order, after the readings.
struct FlagLine {
    const char* Text;
    bool ReportSnapshot::*Flag;
    bool ReportItems::*Item;
};

inline constexpr FlagLine kFlagLines[] = {
    {"Power fail",  &ReportSnapshot::PowerFail,  &ReportItems::PowerFailCB},
    {"Battery Low", &ReportSnapshot::BatteryLow, &ReportItems::BatteryLowCB},
    {"AVR On",      &ReportSnapshot::AvrActive,  &ReportItems::AVRCB},
    {"UPS failed",  &ReportSnapshot::UpsFailed,  &ReportItems::UPSFailCB},
};

// The battery-low notice's subject is the bare prefix, unlike the other four.
struct NoticeText {
    monitor::NoticeKind Kind;
    const char* Subject;
    const char* Prefix;
    const char* Words;
};

inline constexpr NoticeText kNoticeTexts[] = {
    {monitor::NoticeKind::PowerFail,     "Warning - Power fail",     "Warning - ",     "Power fail"},
    {monitor::NoticeKind::PowerRestored, "Information - Power O.K.", "Information - ", "Power O.K."},
    {monitor::NoticeKind::AvrOn,         "Warning - AVR On",         "Warning - ",     "AVR On"},
    {monitor::NoticeKind::AvrOff,        "Information - AVR Off",    "Information - ", "AVR Off"},
    {monitor::NoticeKind::BatteryLow,    "Warning - ",               "Warning - ",     "Battery Low"},
    {monitor::NoticeKind::BatteryGood,   "Information - Battery Good", "Information - ", "Battery Good"},
    {monitor::NoticeKind::BatteryWeak,   "Warning - Battery Weak",   "Warning - ",     "Battery Weak"},
    {monitor::NoticeKind::BatteryReplace, "Warning - Battery Replace", "Warning - ",   "Battery Replace"},
};
// clang-format on

inline constexpr char kReportLead[] = "Report - ";
inline constexpr char kLineEnd[] = "\r\n";

const NoticeText& NoticeTextOf(monitor::NoticeKind kind);

// What a channel sends. Notice is empty for the status report.
struct ComposedReport {
    std::string Subject;
    std::string Body;
    std::optional<monitor::NoticeKind> Notice;
};

// "VID: 0x0665 PID: 0x5161 Product: USB UPS"; the "0x" stays when an identifier is empty.
std::string DeviceLine(const ReportSnapshot& snapshot);

// Subject "Report - T"; ten lines and one per set flag, each ending in CR LF. The page's check
// boxes and UpsFound play no part: the report goes out with whatever the window shows.
ComposedReport ComposeStatusReport(const ReportSnapshot& snapshot,
                                   std::chrono::system_clock::time_point now);

// `event_time` is the instant the change was detected and logged.
ComposedReport ComposeEventNotice(monitor::NoticeKind kind, const ReportSnapshot& snapshot,
                                  std::chrono::system_clock::time_point event_time);

}  // namespace gw::reports
