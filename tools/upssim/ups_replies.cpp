#include "ups_replies.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace gw::upssim {

namespace {

enum class Argument : std::uint8_t {
    None,
    TwoDigits,      // "05"
    ShutdownDelay,  // "05" or ".5" (tenths of a minute)
};

struct CommandRow {
    UpsCommand command;
    std::string_view name;  // as written in `unsupported` lists
    std::string_view text;  // the letters before any argument
    Argument argument;
};

// Rows with an argument come after the plain row of the same letters, so an
// exact match is found first.
// clang-format off
constexpr CommandRow kCommandRows[kCommandCount] = {
    {UpsCommand::StatusMegatec,  "Q1",  "Q1", Argument::None},
    {UpsCommand::StatusMustek,   "QS",  "QS", Argument::None},
    {UpsCommand::Info,           "I",   "I",  Argument::None},
    {UpsCommand::Rating,         "F",   "F",  Argument::None},
    {UpsCommand::Test10s,        "T",   "T",  Argument::None},
    {UpsCommand::TestMinutes,    "Tnn", "T",  Argument::TwoDigits},
    {UpsCommand::TestUntilLow,   "TL",  "TL", Argument::None},
    {UpsCommand::CancelTest,     "CT",  "CT", Argument::None},
    {UpsCommand::ToggleBeeper,   "Q",   "Q",  Argument::None},
    {UpsCommand::Shutdown,       "S",   "S",  Argument::ShutdownDelay},
    {UpsCommand::CancelShutdown, "C",   "C",  Argument::None},
};
// clang-format on

constexpr bool RowsFollowTheEnum() {
    for (int i = 0; i < kCommandCount; ++i) {
        if (static_cast<int>(kCommandRows[i].command) != i) return false;
    }
    return true;
}
static_assert(RowsFollowTheEnum(), "CommandName() indexes the rows by UpsCommand");

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

std::optional<double> ParseArgument(Argument argument, std::string_view text) {
    if (text.size() != 2) {
        return std::nullopt;
    }
    if (IsDigit(text[0]) && IsDigit(text[1])) {
        const int value = (text[0] - '0') * 10 + (text[1] - '0');
        if (value == 0 && argument == Argument::TwoDigits) {
            return std::nullopt;  // a test of no minutes is no command
        }
        return value;
    }
    if (argument == Argument::ShutdownDelay && text[0] == '.' && IsDigit(text[1])) {
        return (text[1] - '0') / 10.0;
    }
    return std::nullopt;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::toupper(static_cast<unsigned char>(x)) ==
                      std::toupper(static_cast<unsigned char>(y));
           });
}

// Clamps into what a printf field of the given width and precision shows, so
// an absurd value never widens the reply.
double Fit(double value, double max) { return std::clamp(value, 0.0, max); }

}  // namespace

std::optional<ParsedCommand> ParseCommand(std::string_view text) {
    for (const CommandRow& row : kCommandRows) {
        if (row.argument == Argument::None) {
            if (text == row.text) {
                return ParsedCommand{row.command, 0.0};
            }
            continue;
        }
        if (text.size() > row.text.size() && text.substr(0, row.text.size()) == row.text) {
            if (auto minutes = ParseArgument(row.argument, text.substr(row.text.size()))) {
                return ParsedCommand{row.command, *minutes};
            }
        }
    }
    return std::nullopt;
}

std::string_view CommandName(UpsCommand command) {
    return kCommandRows[static_cast<int>(command)].name;
}

std::optional<UpsCommand> CommandFromName(std::string_view name) {
    for (const CommandRow& row : kCommandRows) {
        if (EqualsIgnoringCase(row.name, name)) {
            return row.command;
        }
    }
    return std::nullopt;
}

std::optional<CommandSet> ParseCommandList(std::string_view list) {
    CommandSet set = 0;
    if (EqualsIgnoringCase(list, "none") || list.empty()) {
        return set;
    }
    std::size_t pos = 0;
    while (pos < list.size()) {
        const std::size_t end = std::min(list.find_first_of(", ", pos), list.size());
        const std::string_view name = list.substr(pos, end - pos);
        if (!name.empty()) {
            const auto command = CommandFromName(name);
            if (!command) {
                return std::nullopt;
            }
            set |= Bit(*command);
        }
        pos = end + 1;
    }
    return set;
}

std::string CommandListText(CommandSet set) {
    std::string text;
    for (const CommandRow& row : kCommandRows) {
        if ((set & Bit(row.command)) != 0) {
            if (!text.empty()) {
                text += ',';
            }
            text += row.name;
        }
    }
    return text.empty() ? "none" : text;
}

std::optional<std::string> CommandFramer::Feed(char byte) {
    const auto value = static_cast<unsigned char>(byte);
    if (value == '\n' || value == 0) {
        return std::nullopt;
    }
    if (value == '\r') {
        const bool was_discarding = discarding_;
        discarding_ = false;
        std::string command;
        command.swap(pending_);
        if (was_discarding || command.empty()) {
            return std::nullopt;
        }
        return command;
    }
    if (discarding_) {
        return std::nullopt;
    }
    if (pending_.empty() && (value <= ' ' || value >= 0x7F)) {
        return std::nullopt;  // noise before a command starts
    }
    if (pending_.size() >= kMaxCommandLength) {
        pending_.clear();
        discarding_ = true;
        return std::nullopt;
    }
    pending_ += byte;
    return std::nullopt;
}

std::string BitsText(std::uint8_t bits) {
    std::string text(8, '0');
    for (int i = 0; i < 8; ++i) {
        if ((bits & (0x80u >> i)) != 0) {
            text[i] = '1';
        }
    }
    return text;
}

std::string FormatStatusReply(const StatusFields& fields) {
    char battery[16];
    if (fields.battery_per_cell) {
        std::snprintf(battery, sizeof battery, "%4.2f", Fit(fields.battery_voltage, 9.99));
    } else {
        std::snprintf(battery, sizeof battery, "%04.1f", Fit(fields.battery_voltage, 99.9));
    }
    char text[96];
    std::snprintf(text, sizeof text, "(%05.1f %05.1f %05.1f %03d %04.1f %s %04.1f %s\r",
                  Fit(fields.input_voltage, 999.9), Fit(fields.input_fault_voltage, 999.9),
                  Fit(fields.output_voltage, 999.9), std::clamp(fields.load_percent, 0, 999),
                  Fit(fields.input_frequency, 99.9), battery, Fit(fields.temperature, 99.9),
                  BitsText(fields.bits).c_str());
    return text;
}

std::string FormatInfoReply(std::string_view manufacturer, std::string_view model,
                            std::string_view version) {
    char text[64];
    std::snprintf(text, sizeof text, "#%-15.15s %-10.10s %-10.10s\r",
                  std::string(manufacturer).c_str(), std::string(model).c_str(),
                  std::string(version).c_str());
    return text;
}

std::string FormatRatingReply(double rated_voltage, int rated_current, double battery_voltage,
                              double rated_frequency) {
    char text[64];
    std::snprintf(text, sizeof text, "#%05.1f %03d %05.2f %04.1f\r", Fit(rated_voltage, 999.9),
                  std::clamp(rated_current, 0, 999), Fit(battery_voltage, 99.99),
                  Fit(rated_frequency, 99.9));
    return text;
}

}  // namespace gw::upssim
