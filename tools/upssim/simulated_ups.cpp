#include "simulated_ups.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace gw::upssim {

namespace {

// Large time steps are cut into pieces of this size so that a test ends, the
// battery turns low or the output goes off near the moment it should, even
// under a big time scale.
constexpr double kMaxStepSeconds = 1.0;

// Temperature rises a little with the load.
constexpr double kIdleTemperature = 27.0;
constexpr double kTemperatureAtFullLoad = 3.0;

BatteryConfig BatteryFor(const UpsOptions& options) {
    BatteryConfig config;
    config.nominal_voltage = options.nominal_battery_voltage;
    config.capacity_ah = options.capacity_ah;
    config.age = options.age;
    config.rated_va = options.rated_voltage * options.rated_current;
    config.float_volts = options.float_volts;
    config.rest_full_volts = options.rest_full_volts;
    if (options.runtime_seconds) {
        config.capacity_ah = BatteryModel::CapacityForRuntime(config, options.load_percent,
                                                              *options.runtime_seconds);
    }
    return config;
}

std::string MinutesText(double minutes) {
    char text[32];
    std::snprintf(text, sizeof text, "%g min", minutes);
    return text;
}

}  // namespace

SimulatedUps::SimulatedUps(const UpsOptions& options)
    : options_(options),
      battery_(BatteryFor(options)),
      random_(options.seed),
      input_voltage_(options.input_voltage),
      online_(options.online),
      mustek_(options.mustek),
      unsupported_(options.unsupported),
      self_test_left_(options.self_test_every) {
    battery_.SetLoad(options.load_percent);
}

std::string SimulatedUps::Receive(std::string_view bytes) {
    std::string out;
    for (char byte : bytes) {
        if (auto command = framer_.Feed(byte)) {
            if (auto reply = Answer(*command)) {
                out += *reply;
            }
        }
    }
    return out;
}

std::optional<std::string> SimulatedUps::Answer(std::string_view command) {
    if (output_off_ || silent_) {
        return std::nullopt;  // a dead unit or a pulled cable hears nothing
    }
    auto reply = Respond(command);
    if (!reply) {
        return std::nullopt;
    }
    return Shape(std::move(*reply));
}

bool SimulatedUps::Supported(UpsCommand command) const {
    if ((unsupported_ & Bit(command)) != 0) {
        return false;
    }
    if (command == UpsCommand::StatusMegatec) {
        return !mustek_;
    }
    if (command == UpsCommand::StatusMustek) {
        return mustek_;
    }
    return true;
}

std::optional<std::string> SimulatedUps::Respond(std::string_view command) {
    const auto parsed = ParseCommand(command);
    if (echo_all_ || !parsed || !Supported(parsed->command)) {
        return std::string(command) + '\r';
    }
    return Execute(*parsed);
}

std::optional<std::string> SimulatedUps::Execute(const ParsedCommand& parsed) {
    switch (parsed.command) {
        case UpsCommand::StatusMegatec:
        case UpsCommand::StatusMustek:
            return FormatStatusReply(Status());
        case UpsCommand::Info:
            return FormatInfoReply(options_.manufacturer, options_.model, options_.version);
        case UpsCommand::Rating:
            return FormatRatingReply(options_.rated_voltage, options_.rated_current,
                                     options_.nominal_battery_voltage, options_.rated_frequency);
        case UpsCommand::Test10s:
            StartTest(Test::Timed, kShortTestSeconds, "10 s");
            break;
        case UpsCommand::TestMinutes:
            StartTest(Test::Timed, parsed.minutes * 60.0, MinutesText(parsed.minutes));
            break;
        case UpsCommand::TestUntilLow:
            StartTest(Test::UntilLow, 0.0, "until battery low");
            break;
        case UpsCommand::CancelTest:
            if (test_ != Test::None) {
                EndTest("cancelled");
            }
            break;
        case UpsCommand::ToggleBeeper:
            beeper_ = !beeper_;
            Note(beeper_ ? "beeper on" : "beeper off");
            break;
        case UpsCommand::Shutdown:
            shutdown_left_ = parsed.minutes * 60.0;
            Note("shutdown in " + MinutesText(parsed.minutes));
            break;
        case UpsCommand::CancelShutdown:
            if (shutdown_left_) {
                shutdown_left_.reset();
                Note("shutdown cancelled");
            }
            break;
    }
    return std::nullopt;
}

std::string SimulatedUps::Shape(std::string reply) {
    if (garbage_next_) {
        const int length = *garbage_next_;
        garbage_next_.reset();
        return Garbage(static_cast<std::size_t>(length));
    }
    if (garbage_all_) {
        return Garbage(reply.size());
    }
    if (no_cr_ && !reply.empty() && reply.back() == '\r') {
        reply.pop_back();
    }
    if (trailing_) {
        reply += "XYZ";
    }
    return reply;
}

// Line noise: any byte but CR, always with a NUL and a 0xB0 when there is
// room, and never opening like a real reply.
std::string SimulatedUps::Garbage(std::size_t length) {
    std::uniform_int_distribution<int> byte(0, 255);
    std::string text(length, '\0');
    for (std::size_t i = 0; i < length; ++i) {
        char c;
        do {
            c = static_cast<char>(byte(random_));
        } while (c == '\r' || (i == 0 && (c == '(' || c == '#')));
        text[i] = c;
    }
    if (length >= 3) {
        std::uniform_int_distribution<std::size_t> position(1, length - 1);
        const std::size_t nul = position(random_);
        std::size_t degree = position(random_);
        while (degree == nul) {
            degree = position(random_);
        }
        text[nul] = '\0';
        text[degree] = static_cast<char>(0xB0);
    }
    return text;
}

StatusFields SimulatedUps::Status() const {
    StatusFields fields;
    const bool inverter = mains_failed_ || test_ != Test::None;
    if (!mains_failed_) {
        // AVR boosts a sagging mains; a mains set above the trim threshold
        // (command "input") is trimmed instead.
        const bool trims = input_voltage_ > kAvrTrimAbove;
        fields.input_voltage = avr_ && !trims ? kAvrInputVoltage : input_voltage_;
        fields.input_frequency = options_.rated_frequency;
    }
    fields.input_fault_voltage = fields.input_voltage;
    if (online_ || inverter) {
        fields.output_voltage = kInverterVoltage;
    } else {
        const double factor = fields.input_voltage > kAvrTrimAbove ? kAvrTrim : kAvrBoost;
        fields.output_voltage = avr_ ? fields.input_voltage * factor : fields.input_voltage;
    }
    fields.load_percent = battery_.Load();
    fields.battery_per_cell = options_.per_cell;
    fields.battery_voltage = options_.per_cell ? battery_.CellVoltage() : battery_.Voltage();
    fields.temperature = kIdleTemperature + kTemperatureAtFullLoad * battery_.Load() / 100.0;

    using namespace status_bit;
    std::uint8_t bits = 0;
    if (mains_failed_) bits |= kUtilityFailed;
    if (battery_.IsLow()) bits |= kBatteryLow;
    if (avr_ && !mains_failed_) bits |= kAvrActive;
    if (ups_failed_) bits |= kUpsFailed;
    if (!online_) bits |= kStandbyType;
    if (test_ != Test::None) bits |= kTestInProgress;
    if (shutdown_left_) bits |= kShutdownActive;
    if (beeper_) bits |= kBeeperOn;
    fields.bits = bits;
    return fields;
}

void SimulatedUps::StartTest(Test kind, double seconds, const std::string& what) {
    if (mains_failed_) {
        return;  // no self-test without mains to fall back on
    }
    test_ = kind;
    test_left_ = seconds;
    UpdateDrain();
    Note("test started: " + what);
}

void SimulatedUps::PressTest(bool until_low) {
    if (output_off_) {
        return;
    }
    if (until_low) {
        StartTest(Test::UntilLow, 0.0, "until battery low (own button)");
    } else {
        StartTest(Test::Timed, kShortTestSeconds, "10 s (own button)");
    }
}

void SimulatedUps::StopTest() {
    if (test_ != Test::None) {
        EndTest("cancelled");
    }
}

void SimulatedUps::EndTest(const std::string& why) {
    test_ = Test::None;
    UpdateDrain();
    Note("test ended: " + why);
}

void SimulatedUps::SwitchOff(const std::string& why) {
    output_off_ = true;
    shutdown_left_.reset();
    test_ = Test::None;
    // Only the mains coming back (a `restore`) starts the unit again, even
    // when it is switched off with the mains present.
    restart_left_.reset();
    UpdateDrain();
    Note("output off: " + why);
}

void SimulatedUps::UpdateDrain() {
    using Flow = BatteryModel::Flow;
    if (output_off_) {
        battery_.SetFlow(mains_failed_ ? Flow::Rest : Flow::Charge);
    } else {
        battery_.SetFlow(mains_failed_ || test_ != Test::None ? Flow::Discharge : Flow::Charge);
    }
}

void SimulatedUps::FailMains() {
    mains_failed_ = true;
    battery_.ReleaseVoltage();
    restart_left_.reset();
    if (test_ != Test::None) {
        EndTest("mains failed");
    }
    UpdateDrain();
}

void SimulatedUps::RestoreMains() {
    mains_failed_ = false;
    cut_out_ = false;
    battery_.ReleaseVoltage();
    if (output_off_) {
        restart_left_ = kRestartDelaySeconds;
    }
    UpdateDrain();
}

void SimulatedUps::DropToLow() {
    FailMains();
    // Far enough below the threshold that the one decimal of the reply
    // shows it.
    constexpr double kJustBelowPerBlock = 0.08;
    const double block_volts = BatteryModel::kLowBlockVolts - kJustBelowPerBlock;
    battery_.SetStateOfCharge(
        battery_.SocForDischargeCellVoltage(block_volts * battery_.Blocks() / battery_.Cells()));
}

void SimulatedUps::Advance(double seconds) {
    while (seconds > 0.0) {
        const double step = std::min(seconds, kMaxStepSeconds);
        clock_ += step;
        Step(step);
        RunSchedule(step);
        seconds -= step;
    }
}

void SimulatedUps::RunSchedule(double seconds) {
    if (!self_test_left_) {
        return;
    }
    *self_test_left_ -= seconds;
    if (*self_test_left_ > 0.0) {
        return;
    }
    *self_test_left_ += *options_.self_test_every;
    // A unit tests itself only on mains, with its output on and no test of
    // its own or the client's running; otherwise it waits for the next turn.
    if (!mains_failed_ && !output_off_ && test_ == Test::None) {
        StartTest(Test::Timed, kShortTestSeconds, "10 s (own schedule)");
    }
}

void SimulatedUps::Step(double seconds) {
    if (output_off_ && mains_failed_) {
        return;  // neither charged nor drained
    }
    battery_.Advance(seconds);
    if (output_off_) {
        if (restart_left_) {
            *restart_left_ -= seconds;
            if (*restart_left_ <= 0.0) {
                restart_left_.reset();
                output_off_ = false;
                Note("output on: mains back");
            }
        }
        UpdateDrain();
        return;
    }
    const bool low = battery_.IsLow();
    if (low && !was_low_) {
        Note("battery low");
    }
    was_low_ = low;
    if (test_ == Test::Timed) {
        test_left_ -= seconds;
        if (test_left_ <= 0.0) {
            EndTest("done");
        }
    }
    if (test_ != Test::None && low) {
        EndTest("battery low");
    }
    if (shutdown_left_) {
        *shutdown_left_ -= seconds;
        if (*shutdown_left_ <= 0.0) {
            SwitchOff("shutdown command");
        }
    }
    if (!output_off_ && mains_failed_ && battery_.Exhausted()) {
        cut_out_ = true;
        char text[64];
        std::snprintf(text, sizeof text, "battery empty at sim time %.1f s", clock_);
        SwitchOff(text);
    }
}

std::string SimulatedUps::Describe() const {
    std::string faults;
    const auto add = [&faults](bool on, const char* name) {
        if (on) {
            faults += faults.empty() ? "" : ",";
            faults += name;
        }
    };
    add(silent_, "silent");
    add(echo_all_, "echo");
    add(garbage_all_, "garbage");
    add(garbage_next_.has_value() && !garbage_all_, "garbage-next");
    add(no_cr_, "nocr");
    add(trailing_, "trailing");
    add(ups_failed_, "upsfail");
    const std::string shutdown =
        shutdown_left_ ? std::to_string(std::lround(*shutdown_left_)) + "s" : "none";

    char text[512];
    std::snprintf(text, sizeof text,
                  "mains=%s output=%s battery=%.2fV%s charge=%.0f%% load=%d%% runtime=%.0fs "
                  "bits=%s mode=%s test=%s shutdown=%s faults=%s unsupported=%s",
                  mains_failed_ ? "failed" : (avr_ ? "avr" : "ok"),
                  output_off_ ? (restart_left_ ? "restarting" : "off") : "on", battery_.Voltage(),
                  battery_.VoltagePinned() ? "(pinned)" : "", battery_.StateOfCharge() * 100.0,
                  battery_.Load(), TrueRuntime(), BitsText(Status().bits).c_str(),
                  mustek_ ? "mustek" : "megatec",
                  test_ == Test::None ? "none" : (test_ == Test::Timed ? "timed" : "until-low"),
                  shutdown.c_str(), faults.empty() ? "none" : faults.c_str(),
                  CommandListText(unsupported_).c_str());
    return text;
}

double SimulatedUps::TrueRuntime() const { return cut_out_ ? 0.0 : battery_.RuntimeLeft(); }

std::string SimulatedUps::Truth() const {
    char text[160];
    std::snprintf(text, sizeof text, "runtime %.1f soc %.3f voltage %.2f cutoff %s time %.1f",
                  TrueRuntime(), battery_.StateOfCharge(), battery_.Voltage(),
                  cut_out_ ? "yes" : "no", clock_);
    return text;
}

std::vector<std::string> SimulatedUps::TakeEvents() {
    std::vector<std::string> events;
    events.swap(events_);
    return events;
}

}  // namespace gw::upssim
