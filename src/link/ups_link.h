// The open connection to the UPS and what detection learned about it, and
// the two exchanges that carry one command over it.
//
// One UpsLink exists per program. The main thread fills it (link opening,
// detection, HID changes); the polling thread reads the flags marked atomic
// at the start of every cycle, so those may change under it.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace gw::link {

class HidBus;
class LogSink;
class SerialPort;

// Guards every exchange with the UPS, StoredReply and RefreshInterval. The
// main thread holds it to pause polling and may take it again meanwhile for
// its own exchanges, hence recursive.
using DataMutex = std::recursive_mutex;

// How the link waits its fixed pauses; tests pass one that returns at once.
using SleepFor = std::function<void(std::chrono::milliseconds)>;
void RealSleep(std::chrono::milliseconds duration);

struct UpsLink {
    // HID: a UPS was selected among the HID devices (the link is HID).
    std::atomic<bool> HidPresent{false};
    std::string HidDevicePath;          // the hidapi path of the selected device
    std::atomic<bool> HidKnown{false};  // one of the known vendor/product pairs
    std::uint16_t VendorId = 0;
    std::uint16_t ProductId = 0;
    std::string ProductName;

    // COM: a port is open and configured (the link is COM when not HID).
    std::atomic<bool> ComOpen{false};
    std::uint8_t ComPort = 0;  // 1..9; 0 = none
    std::unique_ptr<SerialPort> ComHandle;
    std::array<bool, 9> PortAvailable{};  // COM1..COM9, from the port scan

    // A UPS watched through a network UPS server instead: its name ("ups@nas"); empty for ours.
    std::string NetworkName;

    std::atomic<bool> LinkUsable{false};
    bool UpsFound = false;

    std::atomic<bool> Q1Answered{false};
    std::atomic<bool> QSAnswered{false};
    bool IAnswered = false;
    bool FAnswered = false;

    std::string Manufacturer;  // at most 15 characters
    std::string Model;         // at most 10
    std::string Version;       // at most 10

    long double RatedVoltage = 220;
    long double RatedCurrent = 0;
    long double NominalBatteryVoltage = 12;
    long double RatedFrequency = 50;

    UpsLink();
    ~UpsLink();
    UpsLink(const UpsLink&) = delete;
    UpsLink& operator=(const UpsLink&) = delete;

    // The four rating numbers as they stand before any rating reply.
    void ResetRating();
};

// What became of the serial port in one poll cycle. A loss is told once, however often the
// port is opened again meanwhile without the UPS answering there.
struct LinkChange {
    std::string Lost;       // the device went away, and why; set in the cycle it went
    bool Restored = false;  // after a loss, the UPS answered a status inquiry again
};

// What one polling exchange produced.
struct PollResult {
    bool ExchangeFailed = true;
    std::optional<std::string> StatusText;  // set when there is a text to store
    LinkChange Change;
};

// Opens COMn at `path` (where the port map leads it) and readies the line for the link, or
// gives the reason why not; tests put fake ports in its place. Holds no state: any thread.
using ComOpener = std::function<std::unique_ptr<SerialPort>(int port, const std::string& path,
                                                            std::string& error)>;

// Carries commands over whichever transport the link has, HID first.
// ExchangeCommand, OpenComPort and CloseLink belong to the main thread;
// PollExchange to the polling thread. Both exchanges hold DataMutex for their
// whole run, so only one is ever on the wire.
class Wire {
public:
    // `hid_bus` may be null on a machine without a HID layer.
    // `open` empty: the ports of the port map.
    Wire(UpsLink& link, DataMutex& data_mutex, LogSink& log, HidBus* hid_bus,
         SleepFor sleep = RealSleep, ComOpener open = {});

    // The raw reply (every byte received, CR included); empty when nothing
    // came, the link is closed, or a logged transport failure happened.
    std::string ExchangeCommand(std::string_view command);

    // A COM port whose device went away (unplugged, reset, the port map now pointing
    // elsewhere) is closed, and opened again at each later poll where the port map leads now
    // until it opens; the link keeps its port and settings meanwhile. A port found through its
    // link keeps to the link: without it there is nothing to open.
    PollResult PollExchange(std::string_view inquiry);

    // Opens and configures COMn through the port map. On success the link is
    // COM and usable. `error` receives the reason of a failure.
    bool OpenComPort(int port, std::string* error = nullptr);

    // Drops DTR and closes the COM port, if one is open. ComOpen and ComPort keep their
    // values: the close of the program still saves the port as the one in use.
    void CloseLink();
    // CloseLink, and the link no longer is that port: for a port only probed, or one that
    // turned out not to be the UPS.
    void ForgetComPort();

    // A handle on COMn that the link does not take: for probing a port. Any thread; the
    // caller holds DataMutex while it exchanges over it.
    std::unique_ptr<SerialPort> OpenPortHandle(int port, std::string& error) const;

    UpsLink& Link() { return link_; }
    DataMutex& Mutex() { return data_mutex_; }
    HidBus* Hid() { return hid_bus_; }
    const SleepFor& Sleep() const { return sleep_; }

private:
    UpsLink& link_;
    DataMutex& data_mutex_;
    LogSink& log_;
    HidBus* hid_bus_;
    SleepFor sleep_;
    ComOpener open_;
    // Under DataMutex.
    bool com_lost_ = false;    // ComHandle was dropped because the device went
    bool com_down_ = false;    // lost, and the UPS has not answered since
    bool com_linked_ = false;  // the port was found through its link of the port map
};

}  // namespace gw::link
