// The UPS's state as one typed record, made once per poll cycle from what the program knows:
// the readings as numbers with their units, the flags and modes as enums, how fresh the
// readings are, what the protection is doing and what the battery model knows. Every surface
// that tells the state reads this record instead of reading the reply's text again, so they
// all tell the same facts, and none of them tells a reading that is no longer true without
// saying how old it is.
//
// Thread rule: UpsState is a plain value, any thread. UpsStateKeeper lives on the main thread;
// it hands copies to its listeners there.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "link/status_reply.h"
#include "monitor/power_control.h"
#include "monitor/power_fail_response.h"
#include "monitor/status_evaluation.h"

namespace gw::monitor {

// How much the readings are worth now.
enum class Contact {
    NoUps,      // no UPS was found: nothing to tell
    NoContact,  // a UPS was found but no reply was evaluated in full yet
    Stale,      // the latest good reply is older than kStaleAfter
    Fresh,
};
// "no-ups", "no-contact", "stale", "fresh"
const char* ContactName(Contact contact);

// Older than this, a reply no longer tells the present (the network UPS server's DATA-STALE
// has the same limit).
inline constexpr std::chrono::seconds kStaleAfter{15};

enum class BatteryVerdict { Unknown, Good, Weak, Replace };
BatteryVerdict BatteryVerdictOf(const std::string& verdict);
// The verdict in the words the battery watch uses; `unknown` for none.
const char* BatteryVerdictText(BatteryVerdict verdict, const char* unknown);

// A reading as a number, with as many decimals as the UPS sent, so that it can be told again
// as it came ("021" is 21 with none, "50.0" is 50 with one).
struct Quantity {
    double Value = 0;
    int Decimals = 0;
};

struct UpsReadings {
    std::optional<Quantity> InputVolts;
    std::optional<Quantity> InputFaultVolts;
    std::optional<Quantity> OutputVolts;
    std::optional<Quantity> LoadPercent;
    std::optional<Quantity> InputHertz;
    std::optional<Quantity> TemperatureCelsius;
    // The whole battery's volts (what the charge is judged by) and one cell's: units that
    // report per cell give the second, the first is multiplied up; for the others the cell's
    // share is the whole divided by the nominal's 2 V cells.
    std::optional<double> BatteryVolts;
    std::optional<double> BatteryCellVolts;
    bool UnitReportsPerCell = false;
    // The input's extremes on mains since the program started; none before the first.
    std::optional<double> InputMinVolts;
    std::optional<double> InputMaxVolts;
};

// The latest stored reply as the UPS sent it, for the texts that quote it (the reports, the
// page at "/", the window's reading fields) and never reformat it: "012" stays "012", a
// temperature sent as "--.-" stays that. Unlike the readings it also follows a reply that was
// cut short or held a non-number: the fields cut from it are new, the others as they were.
struct UpsReceived {
    std::string Reply;  // "#" for its CR; empty before the first
    std::optional<std::chrono::system_clock::time_point> Time;
    std::array<std::string, link::kStatusFieldCount> Fields;

    const std::string& Field(link::StatusField field) const {
        return Fields[static_cast<std::size_t>(field)];
    }
};

struct UpsProtection {
    ResponseState State = ResponseState::Idle;
    // While counting: the whole seconds left and what happens then.
    std::optional<std::chrono::seconds> Left;
    // What the protection does when it acts; none when the user chose to do nothing.
    std::optional<PowerAction> Action;
    bool Acting() const {
        return State == ResponseState::Acting || State == ResponseState::Imminent;
    }
};

struct UpsBattery {
    std::optional<double> ChargePercent;   // 0..100
    std::optional<double> RuntimeSeconds;  // to the cut-out at the present load
    bool RuntimeLearned = false;
    bool RuntimeReported = false;             // the watched UPS's server told it; not our estimate
    std::optional<double> RuntimeLowSeconds;  // what the shutdown needs: the protection acts there
    BatteryVerdict Health = BatteryVerdict::Unknown;
    std::string HealthEvidence;  // what the verdict rests on, in words
};

struct UpsState {
    Contact Link = Contact::NoUps;
    // A UPS watched over the network: its name ("ups@nas"); empty for our own port's UPS.
    std::string Source;
    // Why the latest try to reach a watched UPS failed, in words; empty while it answers.
    std::string Problem;
    // The latest reply evaluated in full: its time and its age at the record's making.
    std::optional<std::chrono::system_clock::time_point> LastReply;
    std::optional<double> LastReplyAgeSeconds;

    // Whether a reply was ever evaluated in full: the readings, flags and modes below are the
    // latest such reply's, kept also while it grows stale.
    bool Known = false;
    // The readings came with this cycle's reply.
    bool NewReply = false;
    // Stored replies evaluated so far, whatever they held: the window's activity indicator
    // turns with it.
    unsigned long Evaluations = 0;
    UpsReadings Readings;
    UpsReceived Received;
    std::array<bool, link::kStatusFieldCount> Flags{};
    UpsMode Mode = UpsMode::OnLine;
    AvrMode Avr = AvrMode::Inactive;

    UpsProtection Protection;
    UpsBattery Battery;

    std::string Manufacturer;  // as the UPS named itself; empty when it did not
    std::string Model;
    std::string Firmware;

    bool Flag(link::StatusFlag flag) const { return Flags[static_cast<std::size_t>(flag)]; }
    bool OnBattery() const { return Flag(link::StatusFlag::PowerFail); }
    bool BatteryLow() const { return Flag(link::StatusFlag::BatteryLow); }
    // The readings tell the present.
    bool Up() const { return Link == Contact::Fresh; }
};

// What the record is made of, gathered by the caller each cycle.
struct UpsStateInputs {
    const UpsStatus* Status = nullptr;  // the evaluation's record; null before any full reply
    bool Evaluated = false;             // this cycle's stored reply was evaluated
    bool UpsFound = false;
    std::string Source;  // see UpsState
    std::string Problem;
    long double NominalBatteryVolts = 0;
    UpsProtection Protection;
    std::string HealthEvidence;
    std::string Manufacturer;
    std::string Model;
    std::string Firmware;
};

// The power action the settings choose (the "Action" buttons); none for "nothing".
std::optional<PowerAction> ChosenAction(const DisplayModel& display);

// `last_good` is when the latest reply evaluated in full arrived by `now`'s clock.
UpsState MakeUpsState(const UpsStateInputs& inputs,
                      std::optional<std::chrono::steady_clock::time_point> last_good,
                      std::chrono::steady_clock::time_point now);

// Keeps the time of the latest good reply, makes the record after every poll cycle and hands
// it to each listener, in the order they subscribed.
class UpsStateKeeper {
public:
    using Clock = std::chrono::steady_clock;
    using Listener = std::function<void(const UpsState&)>;

    void Subscribe(Listener listener) { listeners_.push_back(std::move(listener)); }

    // After each poll cycle; `good` when its reply was evaluated in full.
    void OnCycle(bool good, const UpsStateInputs& inputs, Clock::time_point now = Clock::now());

    // The latest record, its contact and age brought up to `now`: the record also goes stale
    // while no cycle runs.
    UpsState Current(Clock::time_point now = Clock::now()) const;

private:
    std::vector<Listener> listeners_;
    std::optional<Clock::time_point> last_good_;
    unsigned long evaluations_ = 0;
    UpsState latest_;
};

}  // namespace gw::monitor
