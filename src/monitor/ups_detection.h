// Finding the UPS and starting and stopping its monitoring: the HID devices first, else a
// serial port (stored, probed or chosen); the rating; then the probes of Start, which pick the
// status inquiry, show the connection and start polling.
//
// Unattended machines: when start-up ends without a UPS ("UPS not found!" or "Supported
// protocol UPS not detected!"), detection is tried again every retry period without asking or
// announcing anything, until a UPS is monitored or the user presses Start or Stop. A retry
// that starts monitoring logs kFoundOnRetry and then everything the attempt would have said.
// A HID change that selects a UPS able to carry the protocol runs that retry at once.
//
// Probing serial ports for a UPS runs on a worker thread (link::PortProber), so finding the UPS
// completes later, through a callback, whenever ports had to be probed.
//
// Thread rule: main thread only. The HID pass holds DataMutex so that no exchange sees the
// selection change under it.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "link/hid_device.h"
#include "link/log_sink.h"
#include "link/main_loop.h"
#include "link/port_probe.h"
#include "link/ups_link.h"
#include "monitor/detection_seams.h"
#include "monitor/display_model.h"
#include "monitor/evaluation_seams.h"
#include "monitor/power_control.h"

namespace gw::monitor {

// clang-format off
inline constexpr char kDevicesChangedLine[]  = "Device(s) changed";
inline constexpr char kHidFoundPrefix[]      = "HID found: ";
inline constexpr char kUsbUpsFoundLine[]     = "USB UPS found";
inline constexpr char kUpsFoundStatus[]      = "UPS found";
inline constexpr char kStartMonitoringLine[] = "Start Monitoring";
inline constexpr char kStopMonitoringLine[]  = "Stop Monitoring";
inline constexpr char kUpsNotFoundStatus[]   = "UPS not found!";
inline constexpr char kUpsNotFoundBalloon[]  = "UPS not found";
inline constexpr char kNoProtocolText[]      = "Supported protocol UPS not detected!";
inline constexpr char kWarningTitle[]        = "Warning!";
inline constexpr char kConnectionTitle[]     = "UPS";
inline constexpr char kRatingFailedPrefix[]  = "Rating reply: ";
inline constexpr char kFoundOnRetryLine[]    = "UPS found on retry";

// The USB identifiers of the UPSes that speak the text protocol over HID reports, and one that
// counts as a UPS without speaking it. Any device whose product string is kGenericUpsProduct
// counts too, unusable unless its pair is listed usable.
struct KnownHidUps {
    std::uint16_t VendorId;
    std::uint16_t ProductId;
    bool Usable;
};

inline constexpr KnownHidUps kKnownHidUps[] = {
    {0x06DA, 0x0003, true},
    {0x0F03, 0x0001, true},
    {0x0665, 0x5161, true},
    {0x0925, 0x1234, false},
};
inline constexpr char kGenericUpsProduct[] = "USB UPS";
// clang-format on

struct HidClass {
    bool CountsAsUps = false;
    bool Usable = false;  // HidKnown: the link can carry the protocol
};
HidClass ClassifyHid(const link::HidDeviceInfo& device);

// The device's item in USBLB: its product string, else "Device VID=46d PID=c077".
std::string HidItemText(const link::HidDeviceInfo& device);
// "Device VID=046D PID=C077", as the "HID found: " log line shows it.
std::string HidIdText(const link::HidDeviceInfo& device);

enum class StartOutcome {
    NotFound,    // "UPS not found!"
    Unusable,    // a UPS that cannot carry the protocol: "Start Monitoring" and nothing more
    NoProtocol,  // "Supported protocol UPS not detected!"; the link was closed
    Monitoring,
};

// The other ends detection talks to; all outlive the UpsDetection.
struct DetectionPeers {
    DetectionDialogs& Dialogs;
    StatusBar& Status;
    DetectionSettings& Settings;
    ReportTimers& Timers;
    PollingControl& Polling;
    // Whether the system allows each power action, as last heard; empty leaves the buttons
    // alone.
    std::function<bool(PowerAction)> PowerAllowed;
    // Asks the system again; the answers come later. May be empty.
    std::function<void()> RefreshPowerAllowed;
};

class UpsDetection {
public:
    static constexpr std::chrono::milliseconds kRetryPeriod{60000};

    // A zero `retry_period` turns retrying off.
    UpsDetection(link::Wire& wire, DisplayModel& display, link::LogSink& log, TrayPresenter& tray,
                 link::MainLoop& loop, DetectionPeers peers,
                 std::chrono::milliseconds retry_period = kRetryPeriod);
    UpsDetection(const UpsDetection&) = delete;
    UpsDetection& operator=(const UpsDetection&) = delete;

    // What the start timer runs once: OpenLink (its result becomes UpsFound), Start, and the
    // retrying when Start found no UPS. `done` gets Start's outcome.
    void StartUpDetection(std::function<void(StartOutcome)> done = {});

    // Looks for a HID UPS, else a serial port, and asks the UPS for its rating. `done` runs
    // with true when a link was found: at once, or from the main loop once the ports probed
    // have answered or not. May show the COM port and battery voltage dialogs.
    void OpenLink(std::function<void(bool found)> done);

    // Rebuilds the HID device list and selects the UPS among it again; the handler of every
    // change in the set of HID devices.
    void HidEnumerationPass();

    // The Start and Stop actions. Both end the retrying.
    StartOutcome Start();
    void Stop();

    bool Retrying() const { return retry_timer_.Armed(); }
    // The selected HID device was listed by the latest pass: it is plugged in.
    bool HidDevicePresent() const;

private:
    // Quiet: no dialog is shown, and what would be said is held back until the attempt is
    // known to have found a UPS.
    enum class Mode { Interactive, Quiet };

    void OpenLink(Mode mode, std::function<void(bool found)> done);
    void FinishOpenLink(Mode mode, const std::function<void(bool found)>& done);
    void HidEnumerationPass(Mode mode);
    StartOutcome Start(Mode mode);
    void RetryOnce();
    // Stops the retry timer and drops an attempt under way.
    void EndRetrying();

    void ScanComPorts(std::vector<int>& found);
    void ChooseComPort(Mode mode, const std::vector<int>& found,
                       std::function<void(int port)> chosen);
    // `done` gets the first of `ports` that answers a status inquiry allowed by Q1_CB/QS_CB;
    // 0 for none. Each port is opened for the probe and closed again, on the prober's thread.
    void FirstAnsweringPort(const std::vector<int>& ports, std::function<void(int port)> done);
    void AskRating(Mode mode);
    bool ProbeInquiries();
    void ShowConnection(Mode mode);
    void AskInfo();
    void EnableButtons();

    void Log(Mode mode, std::string text);
    void Status(Mode mode, std::string text);
    void Balloon(Mode mode, std::string title, std::string text, BalloonIcon icon);
    void Error(Mode mode, std::string text);
    void Say(Mode mode, std::function<void()> say);

    link::Wire& wire_;
    link::UpsLink& link_;
    DisplayModel& display_;
    link::LogSink& log_;
    TrayPresenter& tray_;
    link::MainLoop& loop_;
    DetectionPeers peers_;
    std::chrono::milliseconds retry_period_;

    std::vector<std::string> listed_paths_;  // the latest pass, in USBLB order
    std::vector<std::function<void()>> held_;
    link::TimerHandle retry_timer_;
    bool retry_running_ = false;
    bool nominal_applied_ = false;  // a range and the stored thresholds are in the model
    bool nominal_learned_ = false;  // from a rating reply or the dialog: not asked again
    link::PortProber prober_;       // last: it goes first, before anything its result would touch
};

}  // namespace gw::monitor
