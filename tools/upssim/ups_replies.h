// The simulated unit's side of the wire: which commands it knows, how it cuts
// commands out of the byte stream, and how it prints its replies.
//
// Written independently of the monitor's parser on purpose: the simulator is
// the other party, and a shared bug would pass on both sides. Pure functions
// and one small value class; no I/O.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace gw::upssim {

enum class UpsCommand : std::uint8_t {
    StatusMegatec,   // Q1
    StatusMustek,    // QS
    Info,            // I
    Rating,          // F
    Test10s,         // T
    TestMinutes,     // Tnn
    TestUntilLow,    // TL
    CancelTest,      // CT
    ToggleBeeper,    // Q
    Shutdown,        // Snn or S.n
    CancelShutdown,  // C
};

constexpr int kCommandCount = 11;

// One bit per UpsCommand.
using CommandSet = std::uint16_t;
constexpr CommandSet Bit(UpsCommand command) {
    return static_cast<CommandSet>(1u << static_cast<unsigned>(command));
}

// A command as the unit understood it. `minutes` holds the argument of Tnn
// and Snn (tenths allowed for S.n).
struct ParsedCommand {
    UpsCommand command;
    double minutes = 0.0;
};

// Recognises one framed command (without its CR); nullopt for anything the
// unit has never heard of.
std::optional<ParsedCommand> ParseCommand(std::string_view text);

// The short names used in `unsupported` lists: "Q1", "Tnn", "S", ...
std::string_view CommandName(UpsCommand command);
std::optional<UpsCommand> CommandFromName(std::string_view name);

// Parses "I,F,Q" (comma or blank separated, case-insensitive) or "none".
std::optional<CommandSet> ParseCommandList(std::string_view list);
std::string CommandListText(CommandSet set);

// Cuts CR-terminated commands out of the bytes a client writes. LF and NUL
// are ignored anywhere, control and 8-bit bytes and blanks before a command
// starts are dropped (line noise), and a command that runs past
// kMaxCommandLength without a CR is thrown away up to its CR.
class CommandFramer {
public:
    static constexpr std::size_t kMaxCommandLength = 16;

    // Feeds one byte; returns a complete command when `byte` ends one. An
    // empty line yields nothing.
    std::optional<std::string> Feed(char byte);

private:
    std::string pending_;
    bool discarding_ = false;
};

// Eight status bits, b7 first on the wire.
namespace status_bit {
constexpr std::uint8_t kUtilityFailed = 1u << 7;
constexpr std::uint8_t kBatteryLow = 1u << 6;
constexpr std::uint8_t kAvrActive = 1u << 5;
constexpr std::uint8_t kUpsFailed = 1u << 4;
constexpr std::uint8_t kStandbyType = 1u << 3;
constexpr std::uint8_t kTestInProgress = 1u << 2;
constexpr std::uint8_t kShutdownActive = 1u << 1;
constexpr std::uint8_t kBeeperOn = 1u << 0;
}  // namespace status_bit

struct StatusFields {
    double input_voltage = 0.0;
    double input_fault_voltage = 0.0;
    double output_voltage = 0.0;
    int load_percent = 0;
    double input_frequency = 0.0;
    double battery_voltage = 0.0;
    bool battery_per_cell = false;  // print as "2.25" rather than "13.6"
    double temperature = 0.0;
    std::uint8_t bits = 0;
};

// (228.6 228.6 228.6 012 50.0 13.6 27.0 00001001<CR>
//  12345678901234567890123456789012345678901234567
// Values are clamped to what their field can show.
std::string FormatStatusReply(const StatusFields& fields);

// #Tallowmere      SIM-650    1.0       <CR>
//  123456789012345678901234567890123456789
std::string FormatInfoReply(std::string_view manufacturer, std::string_view model,
                            std::string_view version);

// #220.0 003 12.00 50.0<CR>
//  123456789012345678901
std::string FormatRatingReply(double rated_voltage, int rated_current, double battery_voltage,
                              double rated_frequency);

std::string BitsText(std::uint8_t bits);

}  // namespace gw::upssim
