// The network UPS protocol (TCP port 3493) as a pure exchange: one request line in, the answer
// out, from the copy the main thread last published. Other machines' monitors (upsmon as a
// secondary, upsc, home automation) read the UPS and learn of a forced shutdown through it.
//
// Lines end in LF (a CR before it is dropped). Words are split at blanks; a word may be quoted
// with "..." and a backslash takes the next character as it is. Commands match regardless of
// case; values go out quoted, with " and \ escaped.
//
// Thread rule: plain functions and values; any thread.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace gw::reports {

inline constexpr char kNutUpsName[] = "gridwarden";
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
    // LoginRefused: the credentials were checked and did not match.
    enum class Effect { None, LoggedIn, LoginRefused, Close };
    std::string Text;  // whole lines, each ending in LF
    Effect Then = Effect::None;
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
// USERNAME and PASSWORD. Such lines wait their turn when the address has failed before.
bool ChecksCredentials(std::string_view line, const NutConnection& connection);

}  // namespace gw::reports
