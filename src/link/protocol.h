// The words spoken to the UPS: commands, how replies are judged, and how
// their fields are cut out and turned into numbers.
//
// Nothing here does I/O, reads a clock or logs: callers hand in the reply
// and log the exact text of any rejection themselves.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace gw::link {

enum class Command {
    StatusMegatec,  // "Q1"
    StatusMustek,   // "QS"
    Info,           // "I"
    Rating,         // "F"
    Test10s,        // "T"
    TestMinutes,    // "T" + two digits
    TestUntilLow,   // "TL"
    CancelTest,     // "CT"
    ToggleBeeper,   // "Q"
    ShutdownUps,    // "S" + two digits
};

enum class ReplyKind { Status, Info, Rating, None };

struct CommandRow {
    Command Id;
    const char* Text;        // without the trailing CR; "%02d" rows take minutes
    bool TakesMinutes;
    ReplyKind Reply;
    std::size_t EchoLength;  // characters an echo of the command repeats
};

// clang-format off
inline constexpr CommandRow kCommands[] = {
    {Command::StatusMegatec, "Q1", false, ReplyKind::Status, 2},
    {Command::StatusMustek,  "QS", false, ReplyKind::Status, 2},
    {Command::Info,          "I",  false, ReplyKind::Info,   1},
    {Command::Rating,        "F",  false, ReplyKind::Rating, 1},
    {Command::Test10s,       "T",  false, ReplyKind::None,   1},
    {Command::TestMinutes,   "T",  true,  ReplyKind::None,   3},
    {Command::TestUntilLow,  "TL", false, ReplyKind::None,   2},
    {Command::CancelTest,    "CT", false, ReplyKind::None,   2},
    {Command::ToggleBeeper,  "Q",  false, ReplyKind::None,   1},
    {Command::ShutdownUps,   "S",  true,  ReplyKind::None,   3},
};
// clang-format on

const CommandRow& RowOf(Command command);

// The text to send, CR included. Minutes are written as two digits ("T05\r");
// they are clamped to 0..99 so the command never outgrows a HID report.
std::string CommandText(Command command, int minutes = 0);

// How a probe or query reply is accepted: long enough, not an echo of the
// command's first letters, beginning with `Lead`, and holding a CR if asked.
struct AcceptanceRule {
    ReplyKind Kind;
    std::size_t MinLength;
    char Lead;
    bool NeedsCr;
    const char* RejectsEcho;
};

// clang-format off
inline constexpr AcceptanceRule kAcceptanceRules[] = {
    {ReplyKind::Status, 46, '(', false, nullptr},  // echo text depends on the inquiry
    {ReplyKind::Info,   38, '#', true,  "I"},
    {ReplyKind::Rating, 21, '#', true,  "F"},
};
// clang-format on

// Judges the raw reply to an inquiry ("Q1\r"/"QS\r"), "I\r" or "F\r".
bool AcceptsReply(Command command, std::string_view raw_reply);

// True when a user command was sent back unchanged, i.e. is not supported.
// An empty or shorter reply, or any other text, means it was accepted.
bool IsEcho(Command command, std::string_view raw_reply, int minutes = 0);

// A number read from a reply, or the reason it is not one.
struct NumberResult {
    std::optional<long double> Value;
    std::string Error;  // "'%s' is not a valid floating point value"
};

// Blanks and control characters at both ends are ignored; "." and "," both
// mark the decimals. Nothing else is tolerated.
NumberResult ParseNumber(std::string_view text);

// '0'..'9', 'A'..'F' for 0..15.
char HexDigit(unsigned value);
// A 16-bit identifier as four upper-case hexadecimal digits.
std::string HexWord(unsigned value);

// Cuts up to `count` fields from `start` (0-based): a field takes characters
// until the next one is a blank or `end_marker`, and the next field begins
// two places after it. A field is never empty. Scanning stops at the end of
// the text, at the end marker, or after `count` fields, so a short text
// yields fewer fields rather than reading past its end.
std::vector<std::string_view> ScanFields(std::string_view text, std::size_t start,
                                         std::size_t count, char end_marker);

// What an accepted "I" reply says, trailing blanks and controls removed.
struct InfoFields {
    std::string Manufacturer;
    std::string Model;
    std::string Version;
};
//  #Tallowmere      SIM-650    1.0       <CR>
//  123456789012345678901234567890123456789
InfoFields CutInfoFields(std::string_view raw_reply);

// The four numbers of an accepted "F" reply, converted one at a time.
//  #220.0 003 12.00 50.0<CR>
//  1234567890123456789012
struct RatingFields {
    std::vector<long double> Values;  // in order; stops before the first failure
    std::string Error;                // set when a field did not convert or was missing
};
RatingFields CutRatingFields(std::string_view raw_reply);

}  // namespace gw::link
