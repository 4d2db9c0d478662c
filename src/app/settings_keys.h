// The stored settings as one table: name, kind, where the value lives, when it is saved, its
// default and its range. Load, save, clamping and the tests loop over it; rows stand in the
// order of the start-up load. A number once stored never changes meaning: positions in the
// controls' own units (seconds, minutes, tenths of a volt), booleans as 0 and 1.
//
// In the INI file every kind is text: an integer as its decimal digits ("Delay=600"), a boolean
// as 0 or 1, a string as QSettings writes a text (quoted when it holds a comma or blanks at its
// ends, a leading "@" doubled, UTF-8). Names are the setting names, their blanks written as
// "%20" ("Refresh%20Interval=3"), all under [General].
#pragma once

#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

#include "app/settings_store.h"
#include "monitor/display_model.h"

namespace gw::app {

enum class SettingKind { Integer, Boolean, String };

// Where a value lives, and so which rules its load and save follow.
enum class Binding {
    Control,          // the row's member, loaded at start-up, clamped into the row's range
    ActionGroup,      // the radio group: 1..4 selects kActionButtons[n - 1], others are ignored
    ExternalProgram,  // ExternalProgramPath and its label; deleted when the path is empty
    ComPort,          // the link's port: read at link opening, written while the link is COM
    Threshold,        // a battery threshold: read at link opening, within the nominal range
};

enum class SavedWhen {
    Always,
    Link,             // only while a UPS link is open
    LinkOldPlatform,  // as Link, and only where the force options apply (never read otherwise)
    ComLink,          // written while the link is a COM port, deleted otherwise
};

using monitor::DisplayModel;

struct SettingRow {
    const char* Name;
    SettingKind Kind;
    Binding Where;
    SavedWhen Saved;
    bool DisplayModel::*Check = nullptr;
    monitor::UpDown DisplayModel::*Position = nullptr;
    std::string DisplayModel::*Text = nullptr;
    int Default = 0;               // integer rows; boolean rows 0 or 1
    const char* DefaultText = "";  // string rows
    int Min = 0;                   // integer rows
    int Max = 0;
};

constexpr SettingRow BoolRow(const char* name, bool DisplayModel::*check, bool on,
                             SavedWhen saved) {
    SettingRow row{name, SettingKind::Boolean, Binding::Control, saved};
    row.Check = check;
    row.Default = on ? 1 : 0;
    return row;
}

constexpr SettingRow IntRow(const char* name, monitor::UpDown DisplayModel::*position, int value,
                            int min, int max, SavedWhen saved, Binding where = Binding::Control) {
    SettingRow row{name, SettingKind::Integer, where, saved};
    row.Position = position;
    row.Default = value;
    row.Min = min;
    row.Max = max;
    return row;
}

constexpr SettingRow TextRow(const char* name, std::string DisplayModel::*text, const char* value,
                             SavedWhen saved, Binding where = Binding::Control) {
    SettingRow row{name, SettingKind::String, where, saved};
    row.Text = text;
    row.DefaultText = value;
    return row;
}

constexpr SettingRow NumberRow(const char* name, Binding where, int value, int min, int max,
                               SavedWhen saved) {
    SettingRow row{name, SettingKind::Integer, where, saved};
    row.Default = value;
    row.Min = min;
    row.Max = max;
    return row;
}

// The thresholds' defaults and range hold until a nominal battery voltage replaces them.
// "LAN Server" defaults to the host name, which the app puts in before the load.
namespace rows {

using S = SavedWhen;
using B = Binding;
using M = DisplayModel;

// clang-format off
inline constexpr SettingRow kSettings[] = {
    IntRow("Refresh Interval",        &M::RefreshUD,      3,  1,    60, S::Link),
    BoolRow("Force Shutdown",         &M::ForceShutdownCB, false, S::LinkOldPlatform),
    BoolRow("Force Suspend",          &M::ForceSuspendCB,  false, S::LinkOldPlatform),
    BoolRow("Delay Action",           &M::DelayCB,         true,  S::Link),
    BoolRow("Voltage Action",         &M::MinVoltageCB,    true,  S::Link),
    IntRow("Delay",                   &M::DelayUD,      600, 10, 10800, S::Link),
    NumberRow("Action",               B::ActionGroup,     1,  1,     4, S::Link),
    BoolRow("Balloon Hints",          &M::BalloonCB,       true,  S::Always),
    BoolRow("UPS Shutdown",           &M::UPSShutdownCB,   false, S::Link),
    IntRow("UPS Shutdown Delay",      &M::UPSShutdownUD,  5,  1,    60, S::Link),
    BoolRow("External Program Run",   &M::ExCB,            false, S::Link),
    TextRow("External Program Name",  &M::ExternalProgramPath, "", S::Link, B::ExternalProgram),
    BoolRow("IP Voltage",             &M::IPVoltageCB,      true, S::Link),
    BoolRow("IP Fault Voltage",       &M::IPFaultVoltageCB, true, S::Link),
    BoolRow("OP Voltage",             &M::OPVoltageCB,      true, S::Link),
    BoolRow("OP Current",             &M::OPCurrentCB,      true, S::Link),
    BoolRow("IP Frequency",           &M::IPFrequencyCB,    true, S::Link),
    BoolRow("Battery Voltage",        &M::BatteryVoltageCB, true, S::Link),
    BoolRow("Temperature",            &M::TemperatureCB,    true, S::Link),
    BoolRow("UPS Status",             &M::UPSStatusCB,      true, S::Link),
    BoolRow("Power Fail",             &M::PowerFailCB,      true, S::Link),
    BoolRow("Battery Low",            &M::BatteryLowCB,     true, S::Link),
    BoolRow("AVR",                    &M::AVRCB,            true, S::Link),
    BoolRow("UPS Fail",               &M::UPSFailCB,        true, S::Link),
    BoolRow("Runtime Action",         &M::RuntimeActionCB,  true, S::Always),
    IntRow("Shutdown Time",           &M::ShutdownTimeUD, 120, 10, 3600, S::Always),
    IntRow("Battery Test Days",       &M::BatteryTestDaysUD, 0, 0,  365, S::Always),
    TextRow("SMTP Host",              &M::SMTPHostE,      "",     S::Always),
    TextRow("SMTP Login",             &M::SMTPLoginE,     "",     S::Always),
    TextRow("SMTP From",              &M::SMTPFromE,      "",     S::Always),
    TextRow("SMTP Mail",              &M::SMTPMailE,      "",     S::Always),
    TextRow("SMTP Port",              &M::SMTPPortE,      "25",   S::Always),
    TextRow("SMTP Password",          &M::SMTPPswE,       "",     S::Always),
    BoolRow("SMTP Auth",              &M::SMTPAuthCB,       true,  S::Always),
    BoolRow("SMTP Reports",           &M::SMTPReportsCB,    false, S::Always),
    BoolRow("SMTP Warnings",          &M::SMTPWarningsCB,   false, S::Always),
    IntRow("SMTP Delay",              &M::SMTPDelayUD,   20,  5,   180, S::Always),
    IntRow("SMTP TLS",                &M::SMTPTLSCombo,   1,  0,     2, S::Always),
    TextRow("LAN Server",             &M::LANServerNameE, "",     S::Always),
    BoolRow("LAN Reports",            &M::LANReportsCB,     false, S::Always),
    BoolRow("LAN Warnings",           &M::LANWarningsCB,    false, S::Always),
    IntRow("LAN Delay",               &M::LANDelayUD,    20,  5,   180, S::Always),
    TextRow("HTTP Port",              &M::HTTPPortE,      "8080", S::Always),
    BoolRow("HTTP Server",            &M::HTTPCB,           false, S::Always),
    TextRow("HTTP User",              &M::HTTPUserE,      "",     S::Always),
    TextRow("HTTP Password",          &M::HTTPPasswordE,  "",     S::Always),
    BoolRow("HTTP Authentication",    &M::HTTPAuthCB,       false, S::Always),
    BoolRow("NUT Server",             &M::NUTServerCB,      false, S::Always),
    TextRow("NUT Address",            &M::NUTAddressE,    "127.0.0.1", S::Always),
    TextRow("NUT Port",               &M::NUTPortE,       "3493", S::Always),
    TextRow("NUT User",               &M::NUTUserE,       "",     S::Always),
    TextRow("NUT Password",           &M::NUTPasswordE,   "",     S::Always),
    TextRow("Watch UPS",              &M::WatchUpsE,      "",     S::Always),
    TextRow("Watch User",             &M::WatchUserE,     "",     S::Always),
    TextRow("Watch Password",         &M::WatchPasswordE, "",     S::Always),
    BoolRow("Q1",                     &M::Q1_CB,            true,  S::Always),
    BoolRow("QS",                     &M::QS_CB,            true,  S::Always),
    BoolRow("F",                      &M::F_CB,             true,  S::Always),
    BoolRow("I",                      &M::I_CB,             false, S::Always),
    NumberRow("COM Port",             B::ComPort,         0,  1,     9, S::ComLink),
    IntRow("Min Voltage",   &M::MinVoltageUD,          110, 90, 160, S::Link, B::Threshold),
    IntRow("Full Voltage",  &M::FullBatteryVoltageUD,  120, 90, 160, S::Link, B::Threshold),
    IntRow("Empty Voltage", &M::EmptyBatteryVoltageUD,  97, 90, 160, S::Link, B::Threshold),
};

// "Action" 1 to 4.
inline constexpr bool DisplayModel::*kActionButtons[] = {
    &M::ShutdownRB, &M::SleepRB, &M::HibernateRB, &M::NothingRB,
};
// clang-format on

}  // namespace rows

using rows::kActionButtons;
using rows::kSettings;

// The texts the settings show to the user (and the log); each %s takes one argument in turn.
enum class SettingsText {
    InvalidDataType,
    FailedToGet,
    FailedToSet,
    FileUnreadable,
    FileDamaged,
    SaveFailed,
    BackupFailed,
    AutostartFailed,
    OutOfRange,
    NotANumber,
};

struct SettingsTextRow {
    SettingsText Id;
    const char* Format;
};

// clang-format off
inline constexpr SettingsTextRow kSettingsTexts[] = {
    {SettingsText::InvalidDataType, "Invalid data type for '%s'"},
    {SettingsText::FailedToGet,     "Failed to get data for '%s'"},
    {SettingsText::FailedToSet,     "Failed to set data for '%s'"},
    {SettingsText::FileUnreadable,  "The settings file '%s' cannot be read (%s). The defaults are "
                                    "in use; the file is left as it is."},
    {SettingsText::FileDamaged,     "The settings file '%s' is damaged. The values that could be "
                                    "read are in use; the file is copied to '%s.bak' before the "
                                    "next save."},
    {SettingsText::SaveFailed,      "The settings could not be saved to '%s' (%s)."},
    {SettingsText::BackupFailed,    "The settings were not saved: no copy of '%s' could be kept "
                                    "(%s)."},
    {SettingsText::AutostartFailed, "The auto-start entry '%s' could not be changed (%s)."},
    // For the log alone: what the user wrote and what is used instead.
    {SettingsText::OutOfRange,      "Settings: %s=%s is out of range; using %s"},
    {SettingsText::NotANumber,      "Settings: %s=%s is not a whole number; using %s"},
};
// clang-format on

std::string FormatText(SettingsText id, std::initializer_list<std::string_view> args);

const SettingRow* FindSetting(std::string_view name);

// The whole number a stored value holds: an integer, or a text that is one in decimal (out of
// range texts go to the nearest end). None for anything else.
std::optional<long long> StoredInteger(const StoredValue& value);

// The message for a stored value that is not of `row`'s kind.
std::string StoredKindError(const SettingRow& row, const StoredValue& value);

// A stored value as a line of the log may show it: its digits, or its text cut short with
// anything but printable ASCII as "?".
std::string ShownValue(const StoredValue& value);

// Puts one stored value of a start-up or threshold row into `model` by the row's rules. Empty,
// or the message when the value is not of the row's kind (the model is then left as it was).
// A number out of the row's range, or a text where a number belongs, also gets `note`: the
// line for the log with what the model holds instead. Never for a string row (a password).
std::string ApplyStored(DisplayModel& model, const SettingRow& row, const StoredValue& value,
                        std::string& note);

// What a save writes for a row whose condition holds: a value, a deletion (empty Value), or
// nothing at all (no action button selected).
std::optional<StoreWrite> WriteFor(const DisplayModel& model, const SettingRow& row);

}  // namespace gw::app
