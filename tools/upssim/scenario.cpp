#include "scenario.h"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace gw::upssim {

namespace {

enum class Argument : std::uint8_t {
    None,
    Switch,   // on | off
    Percent,  // 0..100
    Volts,    // 0..999
    Seconds,  // 0..86400, fractions allowed
    Garbage,  // on | off | N
    Battery,  // V | N% | auto
    List,     // I,F,Q | none
    Test,     // short | low | off
    Factor,   // above 0, up to kMaxTimeScale
};

struct ScenarioRow {
    std::string_view name;
    Action action;
    Argument argument;
    std::string_view help;
};

// clang-format off
constexpr ScenarioRow kScenarioRows[] = {
    {"fail",        Action::Fail,        Argument::None,    "mains fails: on battery"},
    {"restore",     Action::Restore,     Argument::None,    "mains returns (restarts a switched-off unit)"},
    {"low",         Action::Low,         Argument::None,    "mains fails and the battery drops just below low"},
    {"avr",         Action::Avr,         Argument::Switch,  "on|off: low input boosted, AVR bit"},
    {"upsfail",     Action::UpsFail,     Argument::Switch,  "on|off: UPS-failed bit"},
    {"silent",      Action::Silent,      Argument::Switch,  "on|off: hear and answer nothing"},
    {"garbage",     Action::Garbage,     Argument::Garbage, "N|on|off: next reply (or every reply) as random bytes"},
    {"echo",        Action::Echo,        Argument::Switch,  "on|off: echo every command instead of answering"},
    {"mustek",      Action::Mustek,      Argument::Switch,  "on|off: answer QS instead of Q1"},
    {"nocr",        Action::NoCr,        Argument::Switch,  "on|off: replies without their CR"},
    {"trailing",    Action::Trailing,    Argument::Switch,  "on|off: \"XYZ\" after each reply's CR"},
    {"online",      Action::Online,      Argument::Switch,  "on|off: on-line type (standby bit clear)"},
    {"load",        Action::Load,        Argument::Percent, "N: load in percent, 0..100"},
    {"input",       Action::Input,       Argument::Volts,   "V: mains input voltage"},
    {"battery",     Action::Battery,     Argument::Battery, "V|N%|auto: pin the battery voltage, set the charge, or free it"},
    {"test",        Action::Test,        Argument::Test,    "short|low|off: the unit starts a 10 s test or one until battery low itself, or stops it"},
    {"unsupported", Action::Unsupported, Argument::List,    "I,F,Q,...|none: commands answered with an echo"},
    {"wait",        Action::Wait,        Argument::Seconds, "S: pause a script (real seconds)"},
    {"timescale",   Action::TimeScale,   Argument::Factor,  "X: from now on simulated seconds per real second"},
    {"status",      Action::Status,      Argument::None,    "print the state"},
    {"truth",       Action::Truth,       Argument::None,    "print the true runtime left, charge, voltage, cut-out and sim time"},
    {"help",        Action::Help,        Argument::None,    "list the commands"},
    {"quit",        Action::Quit,        Argument::None,    "end the simulator"},
};
// clang-format on

constexpr double kMaxVolts = 999.0;
constexpr double kMaxWaitSeconds = 86400.0;
constexpr int kMaxGarbageBytes = 4096;
constexpr double kMaxTimeScale = 1e6;

std::string_view Trim(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) {
        return {};
    }
    const auto last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

template <typename T>
std::optional<T> Number(std::string_view text) {
    T value{};
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    if constexpr (std::is_floating_point_v<T>) {
        if (!std::isfinite(value)) {
            return std::nullopt;
        }
    }
    return value;
}

std::optional<bool> Switch(std::string_view text) {
    if (text == "on") return true;
    if (text == "off") return false;
    return std::nullopt;
}

// Fills `command` from the argument text; returns an error text or "".
std::string ParseArgument(const ScenarioRow& row, std::string_view arg, ScenarioCommand& command) {
    const std::string usage = std::string(row.name) + ": " + std::string(row.help);
    if (row.argument == Argument::None) {
        return arg.empty() ? "" : std::string(row.name) + " takes no argument";
    }
    if (arg.empty()) {
        return "missing argument; " + usage;
    }
    switch (row.argument) {
        case Argument::None:
            break;
        case Argument::Switch:
            if (auto on = Switch(arg)) {
                command.on = *on;
                return "";
            }
            break;
        case Argument::Percent:
            if (auto n = Number<int>(arg); n && *n >= 0 && *n <= 100) {
                command.count = *n;
                return "";
            }
            break;
        case Argument::Volts:
            if (auto v = Number<double>(arg); v && *v >= 0.0 && *v <= kMaxVolts) {
                command.value = *v;
                return "";
            }
            break;
        case Argument::Seconds:
            if (auto s = Number<double>(arg); s && *s >= 0.0 && *s <= kMaxWaitSeconds) {
                command.value = *s;
                return "";
            }
            break;
        case Argument::Garbage:
            if (auto on = Switch(arg)) {
                command.on = *on;
                return "";
            }
            if (auto n = Number<int>(arg); n && *n >= 1 && *n <= kMaxGarbageBytes) {
                command.count = *n;
                return "";
            }
            break;
        case Argument::Battery:
            if (arg == "auto") {
                command.battery = BatterySetting::Auto;
                return "";
            }
            if (arg.back() == '%') {
                if (auto p = Number<double>(arg.substr(0, arg.size() - 1));
                    p && *p >= 0.0 && *p <= 100.0) {
                    command.battery = BatterySetting::Percent;
                    command.value = *p;
                    return "";
                }
                break;
            }
            if (auto v = Number<double>(arg); v && *v >= 0.0 && *v <= kMaxVolts) {
                command.battery = BatterySetting::Volts;
                command.value = *v;
                return "";
            }
            break;
        case Argument::Factor:
            if (auto x = Number<double>(arg); x && *x > 0.0 && *x <= kMaxTimeScale) {
                command.value = *x;
                return "";
            }
            break;
        case Argument::Test:
            if (arg == "short" || arg == "low" || arg == "off") {
                command.test = arg == "short" ? TestSetting::Short
                               : arg == "low" ? TestSetting::UntilLow
                                              : TestSetting::Off;
                return "";
            }
            break;
        case Argument::List:
            if (auto set = ParseCommandList(arg)) {
                command.commands = *set;
                return "";
            }
            break;
    }
    return "bad argument '" + std::string(arg) + "'; " + usage;
}

}  // namespace

ParsedLine ParseScenarioLine(std::string_view line) {
    ParsedLine result;
    line = Trim(line);
    if (line.empty() || line.front() == '#') {
        return result;
    }
    const auto space = line.find_first_of(" \t");
    const std::string_view name = line.substr(0, space);
    const std::string_view arg =
        space == std::string_view::npos ? std::string_view{} : Trim(line.substr(space));
    const auto row = std::find_if(std::begin(kScenarioRows), std::end(kScenarioRows),
                                  [name](const ScenarioRow& r) { return r.name == name; });
    if (row == std::end(kScenarioRows)) {
        result.error = "unknown command '" + std::string(name) + "' (try help)";
        return result;
    }
    ScenarioCommand command;
    command.action = row->action;
    command.text = std::string(line);
    result.error = ParseArgument(*row, arg, command);
    if (result.error.empty()) {
        result.command = std::move(command);
    }
    return result;
}

ScenarioOutcome ApplyScenario(SimulatedUps& ups, const ScenarioCommand& command) {
    ScenarioOutcome outcome;
    switch (command.action) {
        case Action::Fail:
            ups.FailMains();
            break;
        case Action::Restore:
            ups.RestoreMains();
            break;
        case Action::Low:
            ups.DropToLow();
            break;
        case Action::Avr:
            ups.SetAvr(command.on);
            break;
        case Action::UpsFail:
            ups.SetUpsFailed(command.on);
            break;
        case Action::Silent:
            ups.SetSilent(command.on);
            break;
        case Action::Echo:
            ups.SetEchoAll(command.on);
            break;
        case Action::Mustek:
            ups.SetMustek(command.on);
            break;
        case Action::NoCr:
            ups.SetNoCr(command.on);
            break;
        case Action::Trailing:
            ups.SetTrailing(command.on);
            break;
        case Action::Online:
            ups.SetOnline(command.on);
            break;
        case Action::Load:
            ups.SetLoad(command.count.value_or(0));
            break;
        case Action::Input:
            ups.SetInputVoltage(command.value);
            break;
        case Action::Unsupported:
            ups.SetUnsupported(command.commands);
            break;
        case Action::Garbage:
            if (command.count) {
                ups.SetGarbageNext(*command.count);
            } else {
                ups.SetGarbageAll(command.on);
            }
            break;
        case Action::Battery:
            switch (command.battery) {
                case BatterySetting::Volts:
                    ups.PinBatteryVoltage(command.value);
                    break;
                case BatterySetting::Percent:
                    ups.SetBatteryCharge(command.value / 100.0);
                    break;
                case BatterySetting::Auto:
                    ups.ReleaseBatteryVoltage();
                    break;
            }
            break;
        case Action::Test:
            switch (command.test) {
                case TestSetting::Short:
                    ups.PressTest(false);
                    break;
                case TestSetting::UntilLow:
                    ups.PressTest(true);
                    break;
                case TestSetting::Off:
                    ups.StopTest();
                    break;
            }
            break;
        case Action::Status:
            outcome.detail = ups.Describe();
            break;
        case Action::Truth:
            outcome.detail = ups.Truth();
            break;
        case Action::Help:
            outcome.detail = ScenarioHelp();
            break;
        case Action::Wait:
            outcome = {false, "wait is for scripts only"};
            break;
        case Action::TimeScale:
        case Action::Quit:
            break;  // the caller's clock, the caller's end
    }
    return outcome;
}

std::string ScenarioHelp() {
    std::string text;
    for (const ScenarioRow& row : kScenarioRows) {
        std::string name(row.name);
        name.resize(std::max<std::size_t>(name.size() + 1, 12), ' ');
        text += name + std::string(row.help) + "\n";
    }
    return text;
}

std::optional<std::vector<ScriptLine>> ParseScript(std::string_view text, std::string& error) {
    std::vector<ScriptLine> lines;
    int line_number = 0;
    std::size_t pos = 0;
    while (pos <= text.size()) {
        const std::size_t end = std::min(text.find('\n', pos), text.size());
        ++line_number;
        ParsedLine parsed = ParseScenarioLine(text.substr(pos, end - pos));
        if (!parsed.error.empty()) {
            error = "line " + std::to_string(line_number) + ": " + parsed.error;
            return std::nullopt;
        }
        if (parsed.command) {
            lines.push_back({line_number, std::move(*parsed.command)});
        }
        pos = end + 1;
    }
    return lines;
}

ScriptRunner::ScriptRunner(std::vector<ScriptLine> lines, Clock::time_point start)
    : lines_(std::move(lines)), due_(start) {}

std::vector<ScenarioCommand> ScriptRunner::TakeDue(Clock::time_point now) {
    std::vector<ScenarioCommand> due;
    while (next_ < lines_.size() && due_ <= now) {
        const ScenarioCommand& command = lines_[next_++].command;
        if (command.action == Action::Wait) {
            // Counted from when the wait was due, so lateness does not add up.
            due_ += std::chrono::duration_cast<Clock::duration>(
                std::chrono::duration<double>(command.value));
        } else {
            due.push_back(command);
        }
    }
    return due;
}

std::optional<ScriptRunner::Clock::time_point> ScriptRunner::NextDue() const {
    if (next_ >= lines_.size()) {
        return std::nullopt;
    }
    return due_;
}

}  // namespace gw::upssim
