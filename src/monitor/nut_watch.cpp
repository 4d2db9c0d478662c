#include "monitor/nut_watch.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

#include "link/protocol.h"

namespace gw::monitor {

namespace {

using link::StatusField;
using link::StatusFlag;

// clang-format off
struct NutField { StatusField Field; const char* Variable; };
inline constexpr NutField kNutFields[] = {
    {StatusField::InputVoltage,      "input.voltage"},
    {StatusField::InputFaultVoltage, "input.voltage.fault"},
    {StatusField::OutputVoltage,     "output.voltage"},
    {StatusField::OutputCurrent,     "ups.load"},
    {StatusField::InputFrequency,    "input.frequency"},
    {StatusField::BatteryVoltage,    "battery.voltage"},
    {StatusField::Temperature,       "ups.temperature"},
};

// The words of ups.status that set a flag of our own UPS's status bits.
struct NutWord { const char* Word; StatusFlag Flag; std::optional<AvrMode> Avr; };
inline constexpr NutWord kNutWords[] = {
    {"OB",     StatusFlag::PowerFail,      std::nullopt},
    {"LB",     StatusFlag::BatteryLow,     std::nullopt},
    {"BOOST",  StatusFlag::Avr,            AvrMode::Boost},
    {"TRIM",   StatusFlag::Avr,            AvrMode::Trim},
    {"BYPASS", StatusFlag::Avr,            AvrMode::Bypass},
    {"ALARM",  StatusFlag::UpsFailed,      std::nullopt},
    {"CAL",    StatusFlag::TestInProgress, std::nullopt},
    {"OFF",    StatusFlag::ShutdownActive, std::nullopt},
};

// The tool bar's commands; TestMinutes has no instant command.
struct NutCommand { UserCommand Which; const char* Instant; std::string DisplayModel::*Why; };
inline constexpr NutCommand kNutCommands[] = {
    {UserCommand::ToggleBeeper, "beeper.toggle",            &DisplayModel::UPSBeeperSBWhy},
    {UserCommand::Test10s,      "test.battery.start.quick", &DisplayModel::Test10sSBWhy},
    {UserCommand::TestMinutes,  nullptr,                    &DisplayModel::TestTSBWhy},
    {UserCommand::TestUntilLow, "test.battery.start.deep",  &DisplayModel::TestLowSBWhy},
    {UserCommand::CancelTest,   "test.battery.stop",        &DisplayModel::CancelTestSBWhy},
};
// clang-format on

std::optional<std::string> Variable(const std::map<std::string, std::string>& variables,
                                    const char* name) {
    const auto found = variables.find(name);
    if (found == variables.end()) return std::nullopt;
    return found->second;
}

std::optional<long double> NumberOf(const std::map<std::string, std::string>& variables,
                                    const char* name) {
    const std::optional<std::string> text = Variable(variables, name);
    if (!text) return std::nullopt;
    return link::ParseNumber(*text).Value;
}

std::string Format(const char* pattern, const std::string& a, const std::string& b = {},
                   const std::string& c = {}) {
    char line[512];
    std::snprintf(line, sizeof line, pattern, a.c_str(), b.c_str(), c.c_str());
    return line;
}

}  // namespace

WatchedStatus CutNutVariables(const std::map<std::string, std::string>& variables,
                              const std::string& name, std::chrono::system_clock::time_point time) {
    WatchedStatus watched;
    const std::optional<std::string> status = Variable(variables, "ups.status");
    watched.Known = status.has_value();
    CutStatus& cut = watched.Cut;
    cut.Time = time;
    cut.Text = name + " " + status.value_or(std::string());
    for (const NutField& row : kNutFields) {
        cut.Fields[static_cast<std::size_t>(row.Field)] = Variable(variables, row.Variable);
    }
    cut.Fields[static_cast<std::size_t>(StatusField::StatusBits)] = status;
    std::istringstream words(status.value_or(std::string()));
    for (std::string word; words >> word;) {
        for (const NutWord& row : kNutWords) {
            if (word != row.Word) continue;
            cut.Flags[static_cast<std::size_t>(row.Flag)] = true;
            if (row.Avr) cut.Avr = row.Avr;
        }
        if (word == "FSD") watched.ForcedShutdown = true;
        if (word == "RB") cut.ReplaceBattery = true;
    }
    cut.Flags[static_cast<std::size_t>(StatusFlag::BeeperOn)] =
        Variable(variables, "ups.beeper.status").value_or("") == "enabled";
    cut.Flags[static_cast<std::size_t>(StatusFlag::StandbyUps)] =
        Variable(variables, "ups.type").value_or("").rfind("offline", 0) == 0;
    cut.BatteryCharge = NumberOf(variables, "battery.charge");
    cut.RuntimeSeconds = NumberOf(variables, "battery.runtime");
    watched.Manufacturer =
        Variable(variables, "ups.mfr").value_or(Variable(variables, "device.mfr").value_or(""));
    watched.Model =
        Variable(variables, "ups.model").value_or(Variable(variables, "device.model").value_or(""));
    watched.NominalBatteryVolts = NumberOf(variables, "battery.voltage.nominal");
    return watched;
}

std::string ProblemText(const link::NutReading& reading) {
    switch (reading.Outcome) {
        case link::NutOutcome::Fresh:
            return {};
        case link::NutOutcome::Unreachable:
            return "not reachable (" + reading.Detail + ")";
        case link::NutOutcome::Stale:
            return "no fresh data (" + reading.Detail + ")";
        case link::NutOutcome::UnknownUps:
            return "no such UPS on the server";
        case link::NutOutcome::Refused:
            return "login refused (" + reading.Detail + ")";
        case link::NutOutcome::Failed:
            return "error (" + reading.Detail + ")";
    }
    return {};
}

WatchChoice ChooseWatch(const std::string& option, const std::string& setting, bool service_runs,
                        const std::string& service_watch) {
    WatchChoice choice;
    std::string text = option.empty() ? setting : option;
    if (text.empty() && service_runs) {
        text = service_watch;
        choice.Secondary = false;
    }
    if (!text.empty()) choice.Target = link::ParseNutTarget(text, choice.Error);
    return choice;
}

std::optional<std::string> InstantCommandOf(UserCommand command) {
    for (const NutCommand& row : kNutCommands) {
        if (row.Which == command && row.Instant != nullptr) return std::string(row.Instant);
    }
    return std::nullopt;
}

NutWatch::NutWatch(link::NutTarget target, std::string user, std::string password,
                   link::MainLoop& loop, link::UpsLink& ups, DisplayModel& display,
                   link::LogSink& log, StatusEvaluation& evaluation, Countdown& countdown,
                   OnCycle on_cycle, link::NutTimings timings)
    : target_(std::move(target)),
      name_(target_.Name()),
      user_(std::move(user)),
      password_(std::move(password)),
      loop_(loop),
      ups_(ups),
      display_(display),
      log_(log),
      evaluation_(evaluation),
      countdown_(countdown),
      on_cycle_(std::move(on_cycle)),
      timings_(timings) {}

NutWatch::~NutWatch() { Stop(); }

void NutWatch::Start(std::chrono::milliseconds interval) {
    interval_ = interval;
    if (client_) return;
    log_.AppendLog(Format(kWatchStarted, name_));
    // Shown where the port's name would be.
    display_.COMLCaption = name_;
    display_.COMLEnabled = true;
    display_.ProductNameE = name_;
    display_.StartSBEnabled = false;
    display_.StopSBEnabled = true;
    client_ = std::make_unique<link::NutClient>(
        target_, user_, password_, loop_,
        [this](const link::NutReading& reading) { OnReading(reading); }, timings_);
    client_->SetLogIn(secondary_);
    client_->Start(interval_);
}

void NutWatch::Stop() {
    if (!client_) return;
    client_->Stop();
    client_.reset();
    answering_ = false;
    logged_in_ = false;
    display_.StartSBEnabled = true;
    display_.StopSBEnabled = false;
    ShowCommands();
}

void NutWatch::SetInterval(std::chrono::milliseconds interval) {
    interval_ = interval;
    if (client_) client_->SetInterval(interval);
}

void NutWatch::OnReading(const link::NutReading& reading) {
    logged_in_ = reading.LoggedIn;
    commands_known_ = reading.CommandsKnown;
    commands_ = reading.Commands;
    const WatchedStatus watched = reading.Outcome == link::NutOutcome::Fresh
                                      ? CutNutVariables(reading.Variables, name_, reading.Time)
                                      : WatchedStatus{};
    problem_ = ProblemText(reading);
    if (reading.Outcome == link::NutOutcome::Fresh && !watched.Known) {
        problem_ = "error (no ups.status)";
    }
    // One line per change of what is wrong, not one per try.
    if (problem_ != logged_problem_) {
        if (problem_.empty()) {
            log_.AppendLog(Format(kWatchReached, name_,
                                  logged_in_ ? "logged in as a secondary" : "reading only"));
        } else {
            char retry[64] = "";
            if (reading.RetryIn.count() > 0) {
                std::snprintf(retry, sizeof retry, "; next try in %lld s",
                              static_cast<long long>(reading.RetryIn.count()));
            }
            log_.AppendLog(name_ + ": " + problem_ + retry);
        }
        logged_problem_ = problem_;
    }
    answering_ = problem_.empty();
    if (!answering_) {
        ShowCommands();
        on_cycle_(false);
        return;
    }

    reached_ = true;
    ups_.UpsFound = true;
    ups_.NetworkName = name_;
    ups_.Manufacturer = watched.Manufacturer;
    ups_.Model = watched.Model;
    ups_.IAnswered = !watched.Manufacturer.empty() || !watched.Model.empty();
    display_.MfrE = watched.Manufacturer;
    display_.ModelE = watched.Model;
    if (watched.NominalBatteryVolts && *watched.NominalBatteryVolts > 0) {
        ups_.NominalBatteryVoltage = *watched.NominalBatteryVolts;
    }
    evaluation_.EvaluateCut(watched.Cut);
    const UpsStatus& status = evaluation_.Status();
    // Beside another monitor of this machine (the system service) that one acts, not this.
    if (secondary_) {
        FireOnce(watched.ForcedShutdown, forced_seen_, kWatchForced);
        FireOnce(status.Flag(StatusFlag::PowerFail) && status.Flag(StatusFlag::BatteryLow),
                 low_seen_, kWatchLowOnBattery);
    }
    ShowCommands();
    on_cycle_(true);
}

void NutWatch::ShowCommands() {
    for (const NutCommand& row : kNutCommands) {
        display_.*RowOf(row.Which).Enabled = Enabled(row.Which);
        display_.*row.Why = Why(row.Which);
    }
}

// Once per stretch of the condition: a firing kept behind a running action would act twice.
void NutWatch::FireOnce(bool condition, bool& latched, const char* line) {
    if (!condition) {
        latched = false;
        return;
    }
    if (latched) return;
    latched = true;
    log_.AppendLog(Format(line, name_));
    countdown_.FireNow();
}

void NutWatch::Send(UserCommand command) {
    const std::optional<std::string> instant = InstantCommandOf(command);
    if (!client_ || !instant) return;
    const std::string text = *instant;
    client_->SendInstantCommand(text, [this, text](const std::string& error) {
        if (error.empty()) return;
        log_.AppendLog(Format(kWatchCommandRefused, name_, text, error));
        if (error == "ACCESS-DENIED" || error == "CMD-NOT-SUPPORTED") refused_.push_back(text);
        ShowCommands();
    });
}

bool NutWatch::Enabled(UserCommand command) const { return Why(command).empty(); }

std::string NutWatch::Why(UserCommand command) const {
    const std::optional<std::string> instant = InstantCommandOf(command);
    if (!instant) return "The network UPS protocol has no timed test";
    if (!answering_) return name_ + " does not answer";
    if (std::find(refused_.begin(), refused_.end(), *instant) != refused_.end()) {
        return name_ + " refused " + *instant + " to this login";
    }
    if (commands_known_ &&
        std::find(commands_.begin(), commands_.end(), *instant) == commands_.end()) {
        return name_ + " does not offer " + *instant;
    }
    if (!commands_known_) return name_ + " does not list its commands";
    return {};
}

void NutWatch::LogOutThen(std::function<void()> then, bool for_good) {
    if (!client_) {
        then();
        return;
    }
    client_->LogOut(
        [this, then = std::move(then)] {
            log_.AppendLog(Format(kWatchLoggedOut, name_));
            then();
        },
        for_good);
}

UpsCommandSender UnlessWatching(UpsCommandSender over_wire, NutWatch* const& watch,
                                link::LogSink& log) {
    return [over_wire = std::move(over_wire), &watch, &log,
            told = false](std::string_view command) mutable {
        if (watch == nullptr) {
            over_wire(command);
        } else if (!told) {
            told = true;
            log.AppendLog(kWatchNoUpsShutdown);
        }
    };
}

void SecondaryActions::SystemShutdown() {
    After([this] { actions_.SystemShutdown(); }, true);
}

void SecondaryActions::SystemSuspend() {
    After([this] { actions_.SystemSuspend(); }, false);
}

void SecondaryActions::SystemHibernate() {
    After([this] { actions_.SystemHibernate(); }, true);
}

void SecondaryActions::After(std::function<void()> action, bool for_good) {
    if (watch_ == nullptr || !watch_->Running()) {
        action();
        return;
    }
    watch_->LogOutThen(std::move(action), for_good);
}

}  // namespace gw::monitor
