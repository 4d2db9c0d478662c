// The simulated unit: its state, what it does with each command and how its
// state moves on with (simulated) time.
//
// Bytes from the line go in through Receive() and the bytes it would send
// come out; scenario controls change the state in between. Time passes only
// through Advance(). No I/O, no clock; one owner, not thread-safe.
#pragma once

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "battery_model.h"
#include "ups_replies.h"

namespace gw::upssim {

struct UpsOptions {
    int nominal_battery_voltage = 12;  // 12, 24, 36 or 48
    bool online = false;               // clears the standby-type bit
    bool per_cell = false;             // report the battery voltage per cell
    bool mustek = false;               // answer QS instead of Q1
    int load_percent = 12;
    double capacity_ah = 7.0;  // of the battery when new
    BatteryAge age;
    double float_volts = 13.62;      // per 12 V block: the charger's float voltage
    double rest_full_volts = 12.85;  // per 12 V block: a full one at rest
    // When set, the capacity is chosen so that a full new battery lasts this
    // long at the starting load (capacity_ah is then ignored).
    std::optional<double> runtime_seconds;
    // When set, the unit starts a 10-second self-test this often on mains.
    std::optional<double> self_test_every;
    CommandSet unsupported = 0;  // answered with an echo
    std::uint32_t seed = 1;      // for garbage bytes
    std::string manufacturer = "Tallowmere";
    std::string model = "SIM-650";
    std::string version = "1.0";
    double input_voltage = 228.6;
    double rated_voltage = 220.0;
    int rated_current = 3;
    double rated_frequency = 50.0;
};

class SimulatedUps {
public:
    // After its output was switched off the unit comes back this long after
    // the mains returns.
    static constexpr double kRestartDelaySeconds = 5.0;
    static constexpr double kShortTestSeconds = 10.0;
    static constexpr double kAvrInputVoltage = 195.0;
    static constexpr double kInverterVoltage = 230.0;
    static constexpr double kAvrBoost = 1.15;
    static constexpr double kAvrTrimAbove = 240.0;
    static constexpr double kAvrTrim = 0.9;

    explicit SimulatedUps(const UpsOptions& options);

    // Bytes written by the client; returns the bytes the unit sends back
    // (possibly none). Never fails, whatever the bytes.
    std::string Receive(std::string_view bytes);
    // One framed command (without its CR); the reply as sent, if any.
    std::optional<std::string> Answer(std::string_view command);

    void Advance(double seconds);

    // Scenario controls.
    void FailMains();
    void RestoreMains();
    void DropToLow();  // fails the mains too
    void SetAvr(bool on) { avr_ = on; }
    void SetUpsFailed(bool on) { ups_failed_ = on; }
    void SetSilent(bool on) { silent_ = on; }
    void SetEchoAll(bool on) { echo_all_ = on; }
    void SetGarbageNext(int bytes) { garbage_next_ = bytes; }
    void SetGarbageAll(bool on) { garbage_all_ = on; }
    void SetMustek(bool on) { mustek_ = on; }
    void SetNoCr(bool on) { no_cr_ = on; }
    void SetTrailing(bool on) { trailing_ = on; }
    void SetOnline(bool on) { online_ = on; }
    void SetLoad(int percent) { battery_.SetLoad(percent); }
    void SetInputVoltage(double volts) { input_voltage_ = volts; }
    void SetUnsupported(CommandSet set) { unsupported_ = set; }
    void PinBatteryVoltage(double volts) { battery_.PinVoltage(volts); }
    void SetBatteryCharge(double soc) { battery_.SetStateOfCharge(soc); }
    void ReleaseBatteryVoltage() { battery_.ReleaseVoltage(); }
    // The unit's own test button: a 10-second test or one until battery
    // low, as if the client had sent T or TL (nothing on battery).
    void PressTest(bool until_low);
    void StopTest();

    // What a status inquiry would report now.
    StatusFields Status() const;
    bool OutputOn() const { return !output_off_; }
    const BatteryModel& Battery() const { return battery_; }
    // One line: mains, output, battery, bits, mode and faults.
    std::string Describe() const;
    // What the unit itself knows and never reports: "runtime 123.4 soc 0.520
    // voltage 11.93 cutoff no time 812.3" (runtime left at the present load,
    // charge, battery volts, whether the battery emptied and cut the output,
    // simulated seconds since start).
    std::string Truth() const;
    double Clock() const { return clock_; }
    // Seconds the battery would hold the present load from now (0 once it
    // has cut the output).
    double TrueRuntime() const;

    // State changes since the last call ("test ended", "output off: ..."),
    // for the operator's console.
    std::vector<std::string> TakeEvents();

private:
    enum class Test : std::uint8_t { None, Timed, UntilLow };

    std::optional<std::string> Respond(std::string_view command);
    std::optional<std::string> Execute(const ParsedCommand& parsed);
    bool Supported(UpsCommand command) const;
    std::string Shape(std::string reply);
    std::string Garbage(std::size_t length);
    void StartTest(Test kind, double seconds, const std::string& what);
    void EndTest(const std::string& why);
    void SwitchOff(const std::string& why);
    void Step(double seconds);
    void UpdateDrain();
    void RunSchedule(double seconds);
    void Note(std::string event) { events_.push_back(std::move(event)); }

    UpsOptions options_;
    BatteryModel battery_;
    CommandFramer framer_;
    std::mt19937 random_;
    std::vector<std::string> events_;

    double input_voltage_;
    bool mains_failed_ = false;
    bool avr_ = false;
    bool ups_failed_ = false;
    bool online_;
    bool beeper_ = true;
    bool mustek_;
    CommandSet unsupported_;

    Test test_ = Test::None;
    double test_left_ = 0.0;
    std::optional<double> shutdown_left_;
    bool output_off_ = false;
    std::optional<double> restart_left_;
    bool was_low_ = false;
    bool cut_out_ = false;  // the battery ran empty; until the mains returns
    double clock_ = 0.0;    // simulated seconds since start
    std::optional<double> self_test_left_;

    bool silent_ = false;
    bool echo_all_ = false;
    std::optional<int> garbage_next_;
    bool garbage_all_ = false;
    bool no_cr_ = false;
    bool trailing_ = false;
};

}  // namespace gw::upssim
