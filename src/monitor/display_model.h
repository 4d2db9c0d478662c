// What the main window's controls hold: the working copy of the settings that monitoring
// reads, the battery's labels and what detection shows. The window binds its widgets to these
// members (same names as the widgets' objectName); everything else reads and writes them here,
// so all the logic runs without a window.
//
// Thread rule: main thread only. Other threads get copies made on the main thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

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
    // The readings' own controls (data stream, fields, flags, mode, AVR, extremes) mirror the
    // record of the UPS's state on the window's side (ui::UpsMirror).

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

    // The battery model: what it rests on on the information page, and its settings (the
    // runtime and health on the status page mirror the record: ui::UpsMirror).
    std::string BatteryCapacityL = "...";
    std::string BatteryResistanceL = "...";
    std::string BatteryDischargesL = "0";
    std::string BatteryLastTestL = "...";
    bool RuntimeActionCB = true;               // "Runtime Action"
    UpDown ShutdownTimeUD{120, 10, 3600, 10};  // "Shutdown Time", seconds the computer needs
    UpDown BatteryTestDaysUD{0, 0, 365};       // "Battery Test Days"; 0: no scheduled tests

    // The About group and the platform's say over the force options.
    std::string OSL;                       // the OS label, filled once at start-up
    std::string VersionL;                  // the program's version
    bool ForceShutdownCBEnabled = true;
    bool ForceSuspendCBEnabled = true;

    // The other stored settings, at their defaults.
    UpDown RefreshUD{3, 1, 60};            // "Refresh Interval", seconds
    bool ForceShutdownCB = false;          // "Force Shutdown"
    bool ForceSuspendCB = false;           // "Force Suspend"
    bool ShutdownRB = true;                // "Action" 1; the four buttons form one group
    bool SleepRB = false;                  // "Action" 2, suspend
    bool HibernateRB = false;              // "Action" 3
    bool NothingRB = false;                // "Action" 4
    bool UPSShutdownCB = false;            // "UPS Shutdown"
    UpDown UPSShutdownUD{5, 1, 60};        // "UPS Shutdown Delay", minutes
    bool ExCB = false;                     // "External Program Run"
    std::string ExternalProgramPath;       // "External Program Name"; empty = none
    std::string ExL = "...";               // its label: the path, cut at 25 characters
    std::string ExLHint;                   // the label's hint: the full path
    bool IPVoltageCB = true;               // status page lines: "IP Voltage" ...
    bool IPFaultVoltageCB = true;
    bool OPVoltageCB = true;
    bool OPCurrentCB = true;
    bool IPFrequencyCB = true;
    bool BatteryVoltageCB = true;
    bool TemperatureCB = true;
    bool UPSStatusCB = true;
    bool UPSFailCB = true;                 // ... "UPS Fail"
    std::string SMTPHostE;                 // "SMTP Host"
    std::string SMTPLoginE;                // "SMTP Login"
    std::string SMTPFromE;                 // "SMTP From"
    std::string SMTPMailE;                 // "SMTP Mail"
    std::string SMTPPortE = "25";          // "SMTP Port", kept as text
    std::string SMTPPswE;                  // "SMTP Password"
    bool SMTPAuthCB = true;                // "SMTP Auth"
    bool SMTPReportsCB = false;            // "SMTP Reports"
    UpDown SMTPDelayUD{20, 5, 180, 5};     // "SMTP Delay", minutes
    UpDown SMTPTLSCombo{1, 0, 2};          // "SMTP TLS": 0 plain, 1 STARTTLS if offered, 2 needed
    std::string LANServerNameE;            // "LAN Server"; the app puts the host name here
    bool LANReportsCB = false;             // "LAN Reports"
    UpDown LANDelayUD{20, 5, 180, 5};      // "LAN Delay", minutes
    std::string HTTPPortE = "8080";        // "HTTP Port", kept as text
    bool HTTPCB = false;                   // "HTTP Server"
    std::string HTTPUserE;                 // "HTTP User"
    std::string HTTPPasswordE;             // "HTTP Password"
    bool HTTPAuthCB = false;               // "HTTP Authentication"
    bool NUTServerCB = false;              // "NUT Server": the network UPS protocol server
    std::string NUTAddressE = "127.0.0.1"; // "NUT Address"; "0.0.0.0" serves the LAN
    std::string NUTPortE = "3493";         // "NUT Port", kept as text
    std::string NUTUserE;                  // "NUT User": the secondaries' login; empty: none
    std::string NUTPasswordE;              // "NUT Password"
    std::string WatchUpsE;                 // "Watch UPS": UPS@HOST[:PORT]; empty: our own port
    std::string WatchUserE;                // "Watch User": the login as a secondary
    std::string WatchPasswordE;            // "Watch Password"
    bool Q1_CB = true;                     // "Q1"
    bool QS_CB = true;                     // "QS"
    bool F_CB = true;                      // "F"
    bool I_CB = false;                     // "I"
    bool AutoRunCB = false;                // the auto-start entry

    // Detection: what finding the UPS and starting monitoring show.
    std::vector<std::string> USBLBItems;   // "HID(s):", one item per HID device listed
    int USBLBItemIndex = -1;               // the UPS's item; -1 none
    std::string VIDE;                      // four upper-case hex digits
    std::string PIDE;
    std::string ProductNameE;
    bool VIDNLEnabled = false;
    bool PIDNLEnabled = false;
    bool ProductNameNLEnabled = false;
    bool VIDEEnabled = false;
    bool PIDEEnabled = false;
    bool ProductNameEEnabled = false;
    std::string MfrE;
    std::string ModelE;
    std::string VerE;
    bool MfrNLEnabled = false;
    bool ModelNLEnabled = false;
    bool VerNLEnabled = false;
    bool MfrEEnabled = false;
    bool ModelEEnabled = false;
    bool VerEEnabled = false;
    bool Q1_LEnabled = false;              // the UPS answered that command
    bool QS_LEnabled = false;
    bool F_LEnabled = false;
    bool I_LEnabled = false;
    int ConnIImage = -1;                   // ConnIL image: 0 USB, 1 COM; -1 none yet
    bool USBLEnabled = false;
    bool COMLEnabled = false;
    std::string COMLCaption = "COM";
    bool StartSBEnabled = true;
    bool StopSBEnabled = false;
    bool SleepSBEnabled = true;            // the platform's answers decide these two groups
    bool HibernateSBEnabled = true;
    bool ShutdownSBEnabled = true;
    bool SleepRBEnabled = true;
    bool HibernateRBEnabled = true;
    bool ShutdownRBEnabled = true;

    // The user's commands to the UPS: one the UPS refused stays off for the rest of the run.
    bool UPSBeeperSBEnabled = true;
    bool Test10sSBEnabled = true;
    bool TestTSBEnabled = true;
    bool TestLowSBEnabled = true;
    bool CancelTestSBEnabled = true;
    // Why one is off while the UPS is watched over the network; empty: nothing to tell.
    std::string UPSBeeperSBWhy;
    std::string Test10sSBWhy;
    std::string TestTSBWhy;
    std::string TestLowSBWhy;
    std::string CancelTestSBWhy;
};

// clang-format on

}  // namespace gw::monitor
