// What the main window's controls hold: the working copy of the readings and of the settings
// that monitoring reads. The window binds its widgets to these members (same names as the
// widgets' objectName); everything else reads and writes them here, so all the logic runs
// without a window.
//
// Thread rule: main thread only. Other threads get copies made on the main thread.
#pragma once

#include <cstdint>
#include <string>

namespace gw::monitor {

// Nearest integer, halves to the even neighbour (12.5 -> 12, 13.5 -> 14).
long double RoundHalfEven(long double value);

// `value` in fixed notation with `decimals` decimals and "." as the mark; "-0.0" comes out as
// "0.0". Independent of the process locale.
std::string FixedText(long double value, int decimals);

// An up-down control: a 16-bit position with a range. The position may stand outside the range
// when code puts it there; the range only limits stepping.
struct UpDown {
    int Position = 0;
    int Min = 0;
    int Max = 0;
    int Increment = 1;

    bool InRange(int position) const { return position >= Min && position <= Max; }
};

struct Rgb {
    std::uint8_t R = 0;
    std::uint8_t G = 0;
    std::uint8_t B = 0;
    bool operator==(const Rgb& other) const { return R == other.R && G == other.G && B == other.B; }
};

// The segmented bar gauge of the battery charge, as a value model: the window paints what
// SegmentColour says, segment 1 at the top.
class TRLed {
public:
    static constexpr Rgb kLowColour{255, 0, 0};   // red, from BreakPos up
    static constexpr Rgb kHighColour{0, 255, 0};  // lime
    static constexpr Rgb kBackground{0, 0, 0};

    int Max = 100;
    int BreakPos = 75;    // percent at which the colour changes
    int SegmentSize = 3;  // pixels per segment, gap included
    int Height = 56;      // pixels; gives the window's 18 segments

    int Position() const { return position_; }
    // Rounds halves to even; a value above Max is ignored and the gauge keeps its position.
    void SetValue(long double value);

    int SegmentCount() const;
    int LitSegments() const;  // counted from the bottom
    bool IsLit(int segment) const;
    bool InHighZone(int segment) const;
    // Lit segments in their zone's colour, unlit ones at half of each component.
    Rgb SegmentColour(int segment) const;

private:
    int position_ = 100;
};

// clang-format off
struct DisplayModel {
    // The data stream row.
    std::string ReportStringE;       // the stored reply, "#" for its CR
    std::string TimeL = "...";       // time of day of the reply
    std::string ProgressL = "-";     // the activity indicator
    int SpinnerStep = 0;             // 0..7, the next caption of ProgressL

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

    // Battery: charge, gauge, nominal voltage and the three thresholds in tenths of a volt.
    std::string BatteryChargeL = "...";
    TRLed BatteryChargeRL;
    std::string NominalBatteryVoltageE = "12";
    UpDown FullBatteryVoltageUD{120, 90, 160};
    std::string FullBatteryVoltageE = "12.0";
    UpDown EmptyBatteryVoltageUD{97, 90, 160};
    std::string EmptyBatteryVoltageE = "9.7";
    UpDown MinVoltageUD{110, 90, 160};
    std::string MinVoltageE = "11.0";

    // Settings the evaluation reads, at their defaults.
    bool DelayCB = true;                 // "Delay Action"
    UpDown DelayUD{600, 10, 10800, 10};  // "Delay", seconds
    bool MinVoltageCB = true;            // "Voltage Action"
    bool BalloonCB = true;               // "Balloon Hints"
    bool PowerFailCB = true;             // "Power Fail": gates power fail / restored notices
    bool BatteryLowCB = true;            // "Battery Low"
    bool AVRCB = true;                   // "AVR"
    bool SMTPWarningsCB = false;         // "SMTP Warnings"
    bool LANWarningsCB = false;          // "LAN Warnings"

    int TrayIconIndex = 0;
};

// The reading edits in the order of the reply's fields.
inline constexpr std::string DisplayModel::*kReadingEdits[] = {
    &DisplayModel::IPVoltageE,   &DisplayModel::IPFaultVoltageE, &DisplayModel::OPVoltageE,
    &DisplayModel::OPCurrentE,   &DisplayModel::IPFrequencyE,    &DisplayModel::BatteryVoltageE,
    &DisplayModel::TemperatureE, &DisplayModel::UPSStatusE,
};

// The flag check boxes in the order of the status bits' characters.
inline constexpr bool DisplayModel::*kFlagBoxes[] = {
    &DisplayModel::UPSStatusCB1, &DisplayModel::UPSStatusCB2, &DisplayModel::UPSStatusCB3,
    &DisplayModel::UPSStatusCB4, &DisplayModel::UPSStatusCB5, &DisplayModel::UPSStatusCB6,
    &DisplayModel::UPSStatusCB7, &DisplayModel::UPSStatusCB8,
};
// clang-format on

}  // namespace gw::monitor
