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
    std::string User;      // the login of the secondaries; empty: LOGIN is refused
    std::string Password;
    std::string Version;   // of the program, for VER and driver.version
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
    enum class Effect { None, LoggedIn, Close };
    std::string Text;  // whole lines, each ending in LF
    Effect Then = Effect::None;
};

// The answer to one line (without its LF). `logins` is how many connections are logged in.
NutAnswer AnswerNutLine(std::string_view line, NutConnection& connection, const NutState& state,
                        int logins, std::chrono::steady_clock::time_point now);

}  // namespace gw::reports
