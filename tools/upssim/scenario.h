// Scenario commands: what an operator, a control-socket client or a script
// tells the simulated unit ("fail", "load 40", "garbage 12", ...).
//
// Parsing and applying are pure; the script runner is driven by the caller's
// clock. One owner, not thread-safe.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "simulated_ups.h"
#include "ups_replies.h"

namespace gw::upssim {

enum class Action : std::uint8_t {
    Fail,
    Restore,
    Low,
    Avr,
    UpsFail,
    Silent,
    Garbage,  // on/off, or `count` bytes for the next reply
    Echo,
    Mustek,
    NoCr,
    Trailing,
    Online,
    Load,
    Input,
    Battery,  // volts, "N%" or "auto"
    Test,     // the unit's own test button: "short", "low" or "off"
    Unsupported,
    Wait,       // scripts only
    TimeScale,  // the program's clock, not the unit
    Status,
    Truth,  // what the unit knows and never reports: the runtime left
    Help,
    Quit,
};

enum class BatterySetting : std::uint8_t { Volts, Percent, Auto };
enum class TestSetting : std::uint8_t { Short, UntilLow, Off };

struct ScenarioCommand {
    Action action = Action::Status;
    bool on = false;           // on/off switches
    std::optional<int> count;  // garbage N, load N
    double value = 0.0;        // volts, percent or seconds
    BatterySetting battery = BatterySetting::Volts;
    TestSetting test = TestSetting::Short;
    CommandSet commands = 0;  // unsupported
    std::string text;         // the command as written, trimmed
};

// A blank or "#" comment line gives neither a command nor an error.
struct ParsedLine {
    std::optional<ScenarioCommand> command;
    std::string error;
};
ParsedLine ParseScenarioLine(std::string_view line);

struct ScenarioOutcome {
    bool ok = true;
    std::string detail;  // error text, or what `status`/`help` report
};

// Applies everything but `wait`, `timescale` and `quit`, which belong to the
// caller.
ScenarioOutcome ApplyScenario(SimulatedUps& ups, const ScenarioCommand& command);

// One line per command with its arguments.
std::string ScenarioHelp();

struct ScriptLine {
    int line_number;
    ScenarioCommand command;
};

// Parses a whole script up front so that a typo is reported before anything
// runs; `error` names the line.
std::optional<std::vector<ScriptLine>> ParseScript(std::string_view text, std::string& error);

// Runs a script against the caller's clock: `wait S` lines (real seconds)
// hold back the lines after them.
class ScriptRunner {
public:
    using Clock = std::chrono::steady_clock;

    ScriptRunner(std::vector<ScriptLine> lines, Clock::time_point start);

    // The commands due at `now`, in order; waits are consumed, not returned.
    std::vector<ScenarioCommand> TakeDue(Clock::time_point now);
    // When the next command falls due; nullopt once the script has ended.
    std::optional<Clock::time_point> NextDue() const;

private:
    std::vector<ScriptLine> lines_;
    std::size_t next_ = 0;
    Clock::time_point due_;
};

}  // namespace gw::upssim
