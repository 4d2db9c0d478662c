#include "monitor/ups_detection.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>

#include "link/port_map.h"
#include "link/protocol.h"
#include "link/serial_port.h"
#include "link/ups_commands.h"
#include "monitor/battery_charge.h"

namespace gw::monitor {

namespace {

// The two status inquiries in the order Start probes them. When both answer, the rows are
// shown in this order, so the status bar ends with the Mustek text while polling uses Q1.
struct InquiryRow {
    const char* Protocol;
    bool DisplayModel::*Allowed;
    link::Command Inquiry;
    std::atomic<bool> link::UpsLink::*Answered;
    bool DisplayModel::*Label;
};

// clang-format off
const InquiryRow kInquiries[] = {
    {"Megatec", &DisplayModel::Q1_CB, link::Command::StatusMegatec, &link::UpsLink::Q1Answered,
     &DisplayModel::Q1_LEnabled},
    {"Mustek",  &DisplayModel::QS_CB, link::Command::StatusMustek,  &link::UpsLink::QSAnswered,
     &DisplayModel::QS_LEnabled},
};
// clang-format on

constexpr int kBatteryVoltageStep = 12;
constexpr int kMaxBatteryVoltage = 96;

std::string ComName(int port) { return "COM" + std::to_string(port); }

bool ValidBatteryVoltage(int volts) {
    return volts >= kBatteryVoltageStep && volts <= kMaxBatteryVoltage &&
           volts % kBatteryVoltageStep == 0;
}

}  // namespace

HidClass ClassifyHid(const link::HidDeviceInfo& device) {
    for (const KnownHidUps& known : kKnownHidUps) {
        if (known.VendorId == device.VendorId && known.ProductId == device.ProductId) {
            return {true, known.Usable};
        }
    }
    return {device.ProductString == kGenericUpsProduct, false};
}

std::string HidItemText(const link::HidDeviceInfo& device) {
    if (!device.ProductString.empty()) return device.ProductString;
    char text[40];
    std::snprintf(text, sizeof text, "Device VID=%x PID=%x", unsigned{device.VendorId},
                  unsigned{device.ProductId});
    return text;
}

std::string HidIdText(const link::HidDeviceInfo& device) {
    return "Device VID=" + link::HexWord(device.VendorId) +
           " PID=" + link::HexWord(device.ProductId);
}

UpsDetection::UpsDetection(link::Wire& wire, DisplayModel& display, link::LogSink& log,
                           TrayPresenter& tray, link::MainLoop& loop, DetectionPeers peers,
                           std::chrono::milliseconds retry_period)
    : wire_(wire),
      link_(wire.Link()),
      display_(display),
      log_(log),
      tray_(tray),
      loop_(loop),
      peers_(std::move(peers)),
      retry_period_(retry_period),
      prober_(wire, loop) {}

void UpsDetection::StartUpDetection(std::function<void(StartOutcome)> done) {
    OpenLink(Mode::Interactive, [this, done = std::move(done)](bool found) {
        link_.UpsFound = found;
        const StartOutcome outcome = Start(Mode::Interactive);
        const bool missing =
            outcome == StartOutcome::NotFound || outcome == StartOutcome::NoProtocol;
        if (missing && retry_period_.count() > 0) {
            retry_timer_ = loop_.StartTimer(
                retry_period_, [this] { RetryOnce(); }, true);
        }
        if (done) done(outcome);
    });
}

void UpsDetection::RetryOnce() {
    // A modal dialog or a probe of the attempt may still be under way.
    if (retry_running_) return;
    retry_running_ = true;
    held_.clear();
    OpenLink(Mode::Quiet, [this](bool found) {
        link_.UpsFound = found;
        const StartOutcome outcome = Start(Mode::Quiet);
        retry_running_ = false;
        // A unit that cannot be monitored is no reason to stop looking for one that can.
        if (outcome != StartOutcome::Monitoring) {
            held_.clear();
            return;
        }
        retry_timer_.Reset();
        Log(Mode::Interactive, kFoundOnRetryLine);
        auto held = std::move(held_);
        held_.clear();
        for (auto& say : held) say();
    });
}

void UpsDetection::OpenLink(std::function<void(bool found)> done) {
    OpenLink(Mode::Interactive, std::move(done));
}

void UpsDetection::OpenLink(Mode mode, std::function<void(bool found)> done) {
    // A port left open by an earlier attempt is closed first, so a rescan never finds it busy
    // and never leaks it.
    wire_.ForgetComPort();
    link_.HidPresent = false;
    link_.UpsFound = false;
    link_.LinkUsable = false;

    HidEnumerationPass(mode);
    if (link_.HidPresent) {
        FinishOpenLink(mode, done);
        return;
    }
    std::vector<int> found;
    ScanComPorts(found);
    ChooseComPort(mode, found, [this, mode, done](int port) {
        // A HID UPS plugged in while the ports were probed goes first.
        if (port != 0 && !link_.HidPresent) {
            std::string error;
            if (!wire_.OpenComPort(port, &error)) Log(mode, error);
        }
        FinishOpenLink(mode, done);
    });
}

void UpsDetection::FinishOpenLink(Mode mode, const std::function<void(bool)>& done) {
    if ((link_.HidPresent || link_.ComOpen) && link_.LinkUsable) AskRating(mode);
    if (done) done(link_.HidPresent || link_.ComOpen);
}

void UpsDetection::ScanComPorts(std::vector<int>& found) {
    for (int port = link::kFirstComPort; port <= link::kLastComPort; ++port) {
        std::string error;
        // A port counts when it opens and takes the line settings; a failure of either clears
        // it, so a port that went away since the last scan is not offered again.
        const bool available = link::OpenSerialPort(link::ComPortPath(port), error) != nullptr;
        link_.PortAvailable[static_cast<std::size_t>(port - 1)] = available;
        if (available) found.push_back(port);
    }
}

void UpsDetection::ChooseComPort(Mode mode, const std::vector<int>& found,
                                 std::function<void(int port)> chosen) {
    int stored = peers_.Settings.LoadComPort(link_.PortAvailable);
    if (std::find(found.begin(), found.end(), stored) == found.end()) stored = 0;

    if (mode == Mode::Quiet) {
        // Nobody answers a dialog on an unattended machine: take the first port where a UPS
        // answers, the stored one first. A port is opened for good only when it answered, so a
        // silent one costs no rating query and leaves the thresholds alone.
        std::vector<int> candidates;
        if (stored != 0) candidates.push_back(stored);
        for (int port : found) {
            if (port != stored) candidates.push_back(port);
        }
        FirstAnsweringPort(candidates, std::move(chosen));
        return;
    }
    if (stored != 0) {
        chosen(stored);
        return;
    }
    // Built-in serial ports open even with nothing behind them; point the user at the one
    // where a UPS answers.
    FirstAnsweringPort(found, [this, found, chosen = std::move(chosen)](int answering) {
        std::vector<std::string> items;
        for (int port : found) items.push_back(ComName(port));
        int preselected = -1;
        if (answering != 0) {
            preselected =
                static_cast<int>(std::find(found.begin(), found.end(), answering) - found.begin());
        }
        const std::optional<int> choice = peers_.Dialogs.ChooseComPort(items, preselected);
        if (!choice || *choice < 0 || *choice >= static_cast<int>(found.size())) {
            chosen(0);
            return;
        }
        chosen(found[static_cast<std::size_t>(*choice)]);
    });
}

void UpsDetection::FirstAnsweringPort(const std::vector<int>& ports,
                                      std::function<void(int port)> done) {
    std::vector<link::Command> inquiries;
    for (const InquiryRow& row : kInquiries) {
        if (display_.*row.Allowed) inquiries.push_back(row.Inquiry);
    }
    if (inquiries.empty() || ports.empty()) {
        done(0);
        return;
    }
    prober_.Probe(ports, std::move(inquiries), std::move(done));
}

void UpsDetection::AskRating(Mode mode) {
    // Once per run: applying the range again would drop the thresholds the user has edited
    // since, and reading the stored ones again would overwrite them.
    if (nominal_learned_) return;
    const long double known_nominal = link_.NominalBatteryVoltage;
    link_.ResetRating();
    link_.FAnswered = false;
    bool learned = false;
    if (display_.F_CB) {
        const link::RatingOutcome rating = link::QueryRating(wire_);
        if (rating.Error.empty()) {
            link_.FAnswered = rating.Accepted;
            learned = rating.Accepted;
        } else {
            // A garbled rating must not leave the machine unprotected: tell the user, assume
            // the smallest battery and go on to Start.
            link_.ResetRating();
            Error(mode, rating.Error);
            Status(mode, rating.Error);
            Log(mode, kRatingFailedPrefix + rating.Error);
        }
    } else if (mode == Mode::Quiet) {
        // Nobody is there to answer the dialog; keep what was known.
        link_.NominalBatteryVoltage = known_nominal;
    } else {
        const int volts = peers_.Dialogs.ChooseBatteryVoltage();
        if (ValidBatteryVoltage(volts)) link_.NominalBatteryVoltage = volts;
        learned = true;  // the dialog is shown once, whatever was answered
    }
    // A UPS that has not told its rating yet may tell it at a later opening; until it does, a
    // retry leaves the range and the thresholds as they stand.
    if (nominal_applied_ && !learned) {
        link_.NominalBatteryVoltage = known_nominal;
        return;
    }
    nominal_applied_ = true;
    nominal_learned_ = learned;
    ApplyNominalVoltage(display_, link_.NominalBatteryVoltage);
    display_.F_LEnabled = link_.FAnswered;
    peers_.Settings.LoadThresholds(display_);
}

void UpsDetection::HidEnumerationPass() {
    HidEnumerationPass(Mode::Interactive);
    // A unit plugged in while no UPS is monitored is tried at once: the retry period exists for
    // what cannot announce itself (a serial UPS switched on), and waiting it out would leave the
    // machine unprotected for up to a minute.
    if (Retrying() && link_.HidPresent && link_.LinkUsable) RetryOnce();
}

void UpsDetection::HidEnumerationPass(Mode mode) {
    std::lock_guard lock(wire_.Mutex());
    Log(mode, kDevicesChangedLine);

    display_.USBLBItems.clear();
    display_.USBLBItemIndex = -1;
    listed_paths_.clear();

    const bool link_was_hid = link_.HidPresent;
    // A serial UPS being watched is not given up for a HID unit that cannot be monitored.
    const bool com_in_use = !link_was_hid && link_.ComOpen && link_.LinkUsable;
    link_.HidDevicePath.clear();
    link_.HidKnown = false;
    if (link_was_hid) link_.LinkUsable = false;

    bool selected = false;
    const std::vector<link::HidDeviceInfo> devices =
        wire_.Hid() != nullptr ? wire_.Hid()->Enumerate() : std::vector<link::HidDeviceInfo>{};
    for (const link::HidDeviceInfo& device : devices) {
        Log(mode, kHidFoundPrefix + HidIdText(device));
        display_.USBLBItems.push_back(HidItemText(device));
        listed_paths_.push_back(device.Path);

        const HidClass kind = ClassifyHid(device);
        if (!kind.CountsAsUps) continue;
        Log(mode, kUsbUpsFoundLine);
        display_.USBLBItemIndex = static_cast<int>(display_.USBLBItems.size()) - 1;
        link_.HidDevicePath = device.Path;
        link_.VendorId = device.VendorId;
        link_.ProductId = device.ProductId;
        link_.ProductName = device.ProductString;
        link_.HidKnown = kind.Usable;
        display_.VIDNLEnabled = display_.PIDNLEnabled = display_.ProductNameNLEnabled = true;
        display_.VIDEEnabled = display_.PIDEEnabled = display_.ProductNameEEnabled = true;
        display_.VIDE = link::HexWord(device.VendorId);
        display_.PIDE = link::HexWord(device.ProductId);
        display_.ProductNameE = device.ProductString;
        link_.UpsFound = true;
        Status(mode, kUpsFoundStatus);
        selected = true;
    }
    if (selected && !link_.HidKnown && com_in_use) return;
    if (selected) link_.LinkUsable = link_.HidKnown.load();
    link_.HidPresent = selected;
}

bool UpsDetection::HidDevicePresent() const {
    return link_.HidPresent && !link_.HidDevicePath.empty() &&
           std::find(listed_paths_.begin(), listed_paths_.end(), link_.HidDevicePath) !=
               listed_paths_.end();
}

StartOutcome UpsDetection::Start() {
    EndRetrying();
    return Start(Mode::Interactive);
}

void UpsDetection::EndRetrying() {
    retry_timer_.Reset();
    if (retry_running_) {
        prober_.Cancel();
        retry_running_ = false;
        held_.clear();
    }
}

StartOutcome UpsDetection::Start(Mode mode) {
    if (!link_.UpsFound) {
        Status(mode, kUpsNotFoundStatus);
        Balloon(mode, kWarningTitle, kUpsNotFoundBalloon, BalloonIcon::Warning);
        return StartOutcome::NotFound;
    }
    // A retry leaves a pause alone: it was made by someone else (a sleep under way), and the
    // polling thread started below simply waits for its end.
    if (mode == Mode::Interactive && peers_.Polling.PollingPaused()) peers_.Polling.ResumePolling();
    Log(mode, kStartMonitoringLine);
    if (!link_.LinkUsable) return StartOutcome::Unusable;

    if (!ProbeInquiries()) {
        Status(mode, kNoProtocolText);
        wire_.ForgetComPort();
        link_.HidPresent = false;
        link_.LinkUsable = false;
        Balloon(mode, kWarningTitle, kNoProtocolText, BalloonIcon::Warning);
        return StartOutcome::NoProtocol;
    }
    ShowConnection(mode);
    AskInfo();
    EnableButtons();
    if (HidDevicePresent() || link_.ComOpen) {
        peers_.Polling.StartPolling();
        peers_.Timers.Arm();
    }
    return StartOutcome::Monitoring;
}

bool UpsDetection::ProbeInquiries() {
    bool any = false;
    for (const InquiryRow& row : kInquiries) {
        link_.*row.Answered = false;
        if (display_.*row.Allowed) link_.*row.Answered = link::ProbeStatus(wire_, row.Inquiry);
        display_.*row.Label = link_.*row.Answered;
        any = any || link_.*row.Answered;
    }
    return any;
}

void UpsDetection::ShowConnection(Mode mode) {
    const bool hid = link_.HidPresent;
    if (hid ? !link_.HidKnown : !link_.ComOpen) return;
    const std::string where =
        hid ? "USB: VID: 0x" + display_.VIDE + " PID: 0x" + display_.PIDE : ComName(link_.ComPort);
    for (const InquiryRow& row : kInquiries) {
        if (!(link_.*row.Answered)) continue;
        const std::string detected = std::string(row.Protocol) + " protocol UPS detected:";
        Status(mode, detected + " " + where);
        Balloon(mode, kConnectionTitle, detected + "\r" + where, BalloonIcon::Information);
    }
    display_.ConnIImage = hid ? 0 : 1;
    if (hid) {
        display_.USBLEnabled = true;
    } else {
        display_.COMLCaption = ComName(link_.ComPort);
        display_.COMLEnabled = true;
    }
}

void UpsDetection::AskInfo() {
    link_.IAnswered = false;
    if (display_.I_CB) link_.IAnswered = link::QueryInfo(wire_);
    if (link_.IAnswered) {
        display_.MfrNLEnabled = display_.ModelNLEnabled = display_.VerNLEnabled = true;
        display_.MfrEEnabled = display_.ModelEEnabled = display_.VerEEnabled = true;
        display_.MfrE = link_.Manufacturer;
        display_.ModelE = link_.Model;
        display_.VerE = link_.Version;
    }
    display_.I_LEnabled = link_.IAnswered;
}

void UpsDetection::EnableButtons() {
    display_.StopSBEnabled = true;
    display_.StartSBEnabled = false;
    if (peers_.RefreshPowerAllowed) peers_.RefreshPowerAllowed();
    if (!peers_.PowerAllowed) return;
    const bool suspend = peers_.PowerAllowed(PowerAction::Suspend);
    const bool hibernate = peers_.PowerAllowed(PowerAction::Hibernate);
    const bool power_off = peers_.PowerAllowed(PowerAction::PowerOff);
    display_.SleepSBEnabled = display_.SleepRBEnabled = suspend;
    display_.HibernateSBEnabled = display_.HibernateRBEnabled = hibernate;
    display_.ShutdownSBEnabled = display_.ShutdownRBEnabled = power_off;
}

void UpsDetection::Stop() {
    EndRetrying();
    // A second Stop must not take DataMutex a second time: one Start could not give it back.
    if (!peers_.Polling.PollingPaused()) peers_.Polling.PausePolling();
    Log(Mode::Interactive, kStopMonitoringLine);
    peers_.Timers.Stop();
    display_.StartSBEnabled = true;
    display_.StopSBEnabled = false;
}

void UpsDetection::Say(Mode mode, std::function<void()> say) {
    if (mode == Mode::Quiet) {
        held_.push_back(std::move(say));
    } else {
        say();
    }
}

void UpsDetection::Log(Mode mode, std::string text) {
    Say(mode, [this, text = std::move(text)] { log_.AppendLog(text); });
}

void UpsDetection::Status(Mode mode, std::string text) {
    Say(mode, [this, text = std::move(text)] { peers_.Status.ShowStatus(text); });
}

void UpsDetection::Balloon(Mode mode, std::string title, std::string text, BalloonIcon icon) {
    Say(mode, [this, title = std::move(title), text = std::move(text), icon] {
        if (display_.BalloonCB) tray_.ShowTrayBalloon(title, text, icon);
    });
}

void UpsDetection::Error(Mode mode, std::string text) {
    Say(mode, [this, text = std::move(text)] { peers_.Dialogs.ShowError(text); });
}

}  // namespace gw::monitor
