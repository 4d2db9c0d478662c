#include "link/protocol.h"

#include <algorithm>
#include <charconv>
#include <cstdio>

namespace gw::link {

namespace {

constexpr char kCr = '\r';

bool IsBlankOrControl(char c) { return static_cast<unsigned char>(c) <= 32; }

std::string_view Trim(std::string_view text) {
    while (!text.empty() && IsBlankOrControl(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsBlankOrControl(text.back())) text.remove_suffix(1);
    return text;
}

std::string TrimTrailing(std::string_view text) {
    while (!text.empty() && IsBlankOrControl(text.back())) text.remove_suffix(1);
    return std::string(text);
}

// Characters [first, first + length) of the reply, 0-based; what lies past
// the end is simply absent.
std::string_view Slice(std::string_view text, std::size_t first, std::size_t length) {
    if (first >= text.size()) return {};
    return text.substr(first, length);
}

const AcceptanceRule& RuleOf(ReplyKind kind) {
    for (const auto& rule : kAcceptanceRules) {
        if (rule.Kind == kind) return rule;
    }
    return kAcceptanceRules[0];
}

bool IsDecimalNumber(std::string_view s) {
    std::size_t i = 0;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    std::size_t digits = 0;
    bool mark = false;
    for (; i < s.size(); ++i) {
        const char c = s[i];
        if (c >= '0' && c <= '9') {
            ++digits;
        } else if (c == '.' && !mark) {
            mark = true;
        } else {
            break;
        }
    }
    if (digits == 0) return false;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
        std::size_t exponent_digits = 0;
        while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
            ++i;
            ++exponent_digits;
        }
        if (exponent_digits == 0) return false;
    }
    return i == s.size();
}

}  // namespace

const CommandRow& RowOf(Command command) {
    for (const auto& row : kCommands) {
        if (row.Id == command) return row;
    }
    return kCommands[0];
}

std::string CommandText(Command command, int minutes) {
    const CommandRow& row = RowOf(command);
    std::string text = row.Text;
    if (row.TakesMinutes) {
        char digits[3];
        std::snprintf(digits, sizeof digits, "%02d", std::clamp(minutes, 0, 99));
        text += digits;
    }
    text += kCr;
    return text;
}

bool AcceptsReply(Command command, std::string_view raw_reply) {
    const CommandRow& row = RowOf(command);
    const AcceptanceRule& rule = RuleOf(row.Reply);
    if (row.Reply == ReplyKind::None) return false;
    if (raw_reply.size() < rule.MinLength) return false;
    const std::string_view echo = rule.RejectsEcho != nullptr ? rule.RejectsEcho : row.Text;
    if (raw_reply.substr(0, echo.size()) == echo) return false;
    if (raw_reply.front() != rule.Lead) return false;
    if (rule.NeedsCr && raw_reply.find(kCr) == std::string_view::npos) return false;
    return true;
}

bool IsEcho(Command command, std::string_view raw_reply, int minutes) {
    const CommandRow& row = RowOf(command);
    std::string sent = CommandText(command, minutes);
    sent.pop_back();  // the CR
    const std::size_t n = std::min(row.EchoLength, sent.size());
    return raw_reply.size() >= n && raw_reply.substr(0, n) == std::string_view(sent).substr(0, n);
}

NumberResult ParseNumber(std::string_view text) {
    std::string number(Trim(text));
    std::replace(number.begin(), number.end(), ',', '.');
    NumberResult result;
    long double value = 0;
    if (IsDecimalNumber(number)) {
        const char* first = number.data() + (number.front() == '+' ? 1 : 0);
        const char* last = number.data() + number.size();
        const auto [end, ec] = std::from_chars(first, last, value);
        if (ec == std::errc() && end == last) {
            result.Value = value;
            return result;
        }
    }
    result.Error = "'" + std::string(Trim(text)) + "' is not a valid floating point value";
    return result;
}

char HexDigit(unsigned value) {
    value &= 0xF;
    return static_cast<char>(value < 10 ? '0' + value : 'A' + (value - 10));
}

std::string HexWord(unsigned value) {
    std::string text;
    for (int shift = 12; shift >= 0; shift -= 4) text += HexDigit(value >> shift);
    return text;
}

std::vector<std::string_view> ScanFields(std::string_view text, std::size_t start,
                                         std::size_t count, char end_marker) {
    std::vector<std::string_view> fields;
    std::size_t pos = start;
    while (fields.size() < count && pos < text.size()) {
        std::size_t last = pos;  // the first character is always taken
        while (last + 1 < text.size() && text[last + 1] != ' ' && text[last + 1] != end_marker) {
            ++last;
        }
        fields.push_back(text.substr(pos, last - pos + 1));
        // Only a blank separates fields: past the end marker or the text's
        // end there is nothing more to cut.
        if (last + 1 >= text.size() || text[last + 1] != ' ') break;
        pos = last + 2;
    }
    return fields;
}

InfoFields CutInfoFields(std::string_view raw_reply) {
    // "#", 15 characters, a blank, 10, a blank, 10: the fields start at
    // characters 2, 18 and 29.
    return InfoFields{TrimTrailing(Slice(raw_reply, 1, 15)), TrimTrailing(Slice(raw_reply, 17, 10)),
                      TrimTrailing(Slice(raw_reply, 28, 10))};
}

RatingFields CutRatingFields(std::string_view raw_reply) {
    RatingFields rating;
    for (std::string_view field : ScanFields(raw_reply, 1, 4, kCr)) {
        NumberResult number = ParseNumber(field);
        if (!number.Value) {
            rating.Error = number.Error;
            break;
        }
        rating.Values.push_back(*number.Value);
    }
    return rating;
}

}  // namespace gw::link
