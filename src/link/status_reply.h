// The status reply: the filtered text the polling thread stores, and its
// eight fields and eight status bits.
//
//  (228.6 228.6 228.6 012 50.0 13.6 27.0 00001001#
//  123456789012345678901234567890123456789012345678
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace gw::link {

constexpr std::size_t kMaxStatusText = 255;
constexpr std::size_t kStatusFieldCount = 8;

// Filters received bytes into the status text: NUL and bytes 128..255 are
// dropped, the first CR becomes "#" and ends the text, at most 255
// characters are kept.
std::string BuildStatusText(std::string_view bytes);

enum class StatusField {
    InputVoltage = 0,
    InputFaultVoltage,
    OutputVoltage,
    OutputCurrent,
    InputFrequency,
    BatteryVoltage,
    Temperature,
    StatusBits,
};

enum class StatusFlag {
    PowerFail,
    BatteryLow,
    Avr,
    UpsFailed,
    StandbyUps,
    TestInProgress,
    ShutdownActive,
    BeeperOn,
};

struct StatusBitRow {
    std::size_t Character;  // 1-based position in field 8 (b7 is character 1)
    StatusFlag Flag;
    const char* Caption;
};

// clang-format off
inline constexpr StatusBitRow kStatusBits[] = {
    {1, StatusFlag::PowerFail,      "Power Fail"},
    {2, StatusFlag::BatteryLow,     "Battery Low"},
    {3, StatusFlag::Avr,            "AVR"},
    {4, StatusFlag::UpsFailed,      "UPS Failed"},
    {5, StatusFlag::StandbyUps,     "Standby UPS"},
    {6, StatusFlag::TestInProgress, "Test in Progress"},
    {7, StatusFlag::ShutdownActive, "Shutdown Active"},
    {8, StatusFlag::BeeperOn,       "Beeper On"},
};
// clang-format on

// The fields of a status text. A text that is empty or does not begin with
// "(" yields none; one that ends early yields the fields it holds, so the
// caller can tell a complete reply (eight fields) from a cut-off one.
std::vector<std::string_view> SplitStatusText(std::string_view status_text);

// A bit is set only when its character is "1"; a missing one reads clear.
bool StatusBit(std::string_view bits_field, StatusFlag flag);

}  // namespace gw::link
