// The network UPS protocol (TCP port 3493) as a pure exchange: one request line in, the answer
// out, from the copy the main thread last published. Other machines' monitors (upsmon as a
// secondary, upsc, home automation) read the UPS and learn of a forced shutdown through it.
//
// Lines end in LF (a CR before it is dropped). Words are split at blanks; a word may be quoted
// with "..." and a backslash takes the next character as it is. Commands match regardless of
// case; values go out quoted, with " and \ escaped.
//
// Reading is open to anyone who can connect. The instant commands run the tool bar's commands
// (the self-tests and the beeper) for a connection that gave the configured login; nothing here
// switches the UPS off or changes it otherwise.
//
// Thread rule: plain functions and values; any thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "monitor/user_commands.h"

namespace gw::reports {

inline constexpr char kNutUpsName[] = "gridwarden";
inline constexpr std::uint16_t kNutPort = 3493;
inline constexpr char kNutProtocolVersion[] = "1.3";
// No reply from the UPS for this long makes its values stale.
inline constexpr std::chrono::seconds kNutStaleAfter{15};

struct NutVariable {
    std::string Name;
    std::string Value;
    bool Number = false;  // a decimal number, else a text
};

// What the server answers from.
struct NutState {
    bool UpsFound = false;
    // The last poll whose reply was evaluated in full; none yet: the epoch.
    std::chrono::steady_clock::time_point LastGoodReply{};
    std::string Description = "Unavailable";
    std::vector<NutVariable> Variables;  // sorted by name
    std::string User;                    // the login of the secondaries; empty: LOGIN is refused
    std::string Password;
    std::string Version;  // of the program, for VER and driver.version
    // The instant commands served: those of kNutCommands the UPS has not refused.
    std::vector<monitor::UserCommand> Commands;
};

// The instant commands and the tool bar's commands they run, sorted by name. The names and
// texts are those of Network UPS Tools, so that its clients (upscmd) and their users know them.
// test.battery.start takes the test's length in seconds, as NUT's drivers for this protocol do:
// whole minutes, 1 to 99 (60 to 5940 s, a value beyond is held to the bound), 10 minutes when
// none is given.
struct NutCommandRow {
    const char* Name;
    const char* Description;
    monitor::UserCommand Which;
};
// clang-format off
inline constexpr NutCommandRow kNutCommands[] = {
    {"beeper.toggle",            "Toggle the UPS beeper",      monitor::UserCommand::ToggleBeeper},
    {"test.battery.start",       "Start a battery test",       monitor::UserCommand::TestMinutes},
    {"test.battery.start.deep",  "Start a deep battery test",  monitor::UserCommand::TestUntilLow},
    {"test.battery.start.quick", "Start a quick battery test", monitor::UserCommand::Test10s},
    {"test.battery.stop",        "Stop the battery test",      monitor::UserCommand::CancelTest},
};
// clang-format on
inline constexpr int kNutTestMinutesByDefault = 10;

// An instant command accepted: the tool bar's command to run, and the name it came by.
struct NutCommand {
    monitor::UserCommand Which = monitor::UserCommand::ToggleBeeper;
    int Minutes = 0;  // TestMinutes only
    std::string Name;
};

// The words of one line; none when a quote is left open or the line ends in a backslash.
std::optional<std::vector<std::string>> SplitNutLine(std::string_view line);
// `value` in double quotes, its quotes and backslashes escaped.
std::string QuoteNutValue(std::string_view value);

// What one connection has said about itself so far.
struct NutConnection {
    std::optional<std::string> User;
    std::optional<std::string> Password;
    bool LoggedIn = false;
};

struct NutAnswer {
    // LoginRefused: the credentials were checked and did not match. Command: an instant command
    // was accepted (its credentials checked and matching); it is in Command.
    enum class Effect { None, LoggedIn, LoginRefused, Close, Command };
    std::string Text;  // whole lines, each ending in LF
    Effect Then = Effect::None;
    std::optional<NutCommand> Command{};
    // A command this server knows, with the words it needs: only such a line shows that the
    // client is still there and means it (a blank line or noise does not).
    bool Valid = false;
};

// What the protocol may ask about the server's other connections. Called on the answering
// thread; implementations are safe for that.
class NutClients {
public:
    virtual ~NutClients() = default;
    // Connections logged in right now.
    virtual int Logins() const = 0;
    // Their peers' addresses, one per connection.
    virtual std::vector<std::string> Addresses() const = 0;
};

// The answer to one line (without its LF).
NutAnswer AnswerNutLine(std::string_view line, NutConnection& connection, const NutState& state,
                        const NutClients& clients, std::chrono::steady_clock::time_point now);

// Whether answering `line` compares the connection's credentials with the login: a LOGIN after
// USERNAME and PASSWORD, and an INSTCMD once both are given (checked at every command, so that
// a changed password holds at once). Such lines wait their turn when the address has failed
// before.
bool ChecksCredentials(std::string_view line, const NutConnection& connection);

}  // namespace gw::reports
