#include "monitor/battery_watch.h"

#include <cmath>
#include <cstdio>
#include <ctime>

#include "link/protocol.h"
#include "monitor/battery_health.h"
#include "monitor/event_log.h"
#include "monitor/power_fail_response.h"

namespace gw::monitor {

namespace {

using link::StatusFlag;

constexpr double kDaySeconds = 86400;
// How far the runtime may run long (the voltage's steps, a battery unlike the generic one, a
// poll cycle that takes longer than its interval): the trigger acts that much early, so that
// the shutdown still gets its time.
constexpr double kDoubt = 0.2;
// A scheduled test waits until the battery has had this long on mains since it last worked.
constexpr double kRechargedForTest = 8 * 3600;
// Quiet hours, local time: [from, to). A test overdue by a day more runs at any hour.
constexpr int kQuietFrom = 3;
constexpr int kQuietTo = 5;
// A scheduled test is asked for at most this often, whatever the UPS made of the last one.
constexpr double kTestRetrySeconds = 3600;
// The longer scheduled test: the surface charge gone, and a worn battery at the low bit.
constexpr int kLongTestMinutes = 2;

double Seconds(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double>(t.time_since_epoch()).count();
}

double Seconds(std::chrono::system_clock::time_point t) {
    return std::chrono::duration<double>(t.time_since_epoch()).count();
}

int LocalHour(double wall) {
    const std::time_t t = static_cast<std::time_t>(wall);
    std::tm local{};
    localtime_r(&t, &local);
    return local.tm_hour;
}

std::string Format(const char* format, int value) {
    char line[96];
    std::snprintf(line, sizeof line, format, value);
    return line;
}

const HealthRow* HealthRowOf(const std::string& verdict) {
    for (const HealthRow& row : kHealthRows) {
        if (verdict == row.Verdict) return &row;
    }
    return nullptr;
}

std::string Basis(const BatteryFigure& figure) {
    if (!figure.Learned) return "assumed";
    return "learned from " + std::to_string(figure.Discharges) +
           (figure.Discharges == 1 ? " discharge" : " discharges");
}

}  // namespace

std::string RuntimeText(double seconds) {
    const long total = std::lround(std::max(0.0, seconds));
    char text[48];
    if (total < 60) {
        std::snprintf(text, sizeof text, "%ld s", total);
    } else {
        std::snprintf(text, sizeof text, "%ld min %02ld s", total / 60, total % 60);
    }
    return text;
}

std::chrono::seconds ResponseAllowance(const DisplayModel& display) {
    using std::chrono::duration_cast;
    using std::chrono::seconds;
    seconds allowance{display.RefreshUD.Position};
    if (display.NUTServerCB) {
        allowance += duration_cast<seconds>(PowerFailResponse::kSecondariesWait);
    }
    if (display.ExCB) allowance += duration_cast<seconds>(PowerFailResponse::kImminentProgramWait);
    return allowance + seconds(1);  // the 100 ms firing, rounded up
}

BatteryWatch::BatteryWatch(const link::UpsLink& ups, DisplayModel& display, link::LogSink& log,
                           TrayPresenter& tray, EventNotices& notices, Countdown& countdown,
                           BatteryStore& store, std::function<void(int minutes)> start_test,
                           Now now, WallNow wall)
    : ups_(ups),
      display_(display),
      log_(log),
      tray_(tray),
      notices_(notices),
      countdown_(countdown),
      store_(store),
      start_test_(std::move(start_test)),
      now_(std::move(now)),
      wall_(std::move(wall)) {}

std::chrono::seconds BatteryWatch::NeededSeconds() const {
    const double allowance = static_cast<double>(ResponseAllowance(display_).count()) * scale_;
    return std::chrono::seconds(
        std::lround((display_.ShutdownTimeUD.Position + allowance) * (1 + kDoubt)));
}

void BatteryWatch::Adopt(const std::string& identity) {
    if (model_ && identity == identity_) return;
    identity_ = identity;
    BatteryStore::Loaded loaded = store_.Load(identity);
    if (!loaded.Problem.empty()) log_.AppendLog(loaded.Problem);
    model_.emplace(static_cast<double>(ups_.NominalBatteryVoltage), std::move(loaded.Knowledge));
}

void BatteryWatch::OnEvaluated(UpsStatus& status) {
    Adopt(BatteryIdentity(ups_));
    // Read once when the reply was cut.
    const std::optional<long double>& load =
        status.FieldNumber[static_cast<std::size_t>(link::StatusField::OutputCurrent)];
    const bool on_battery = status.Flag(StatusFlag::PowerFail);
    if (load && status.BatteryVoltage) {
        BatterySample sample;
        sample.Time = Seconds(now_()) * scale_;
        sample.WallTime = Seconds(wall_());
        sample.LoadPercent = static_cast<double>(*load);
        sample.Volts = static_cast<double>(*status.BatteryVoltage);
        sample.Test = status.Flag(StatusFlag::TestInProgress);
        sample.OnInverter = on_battery || sample.Test;
        sample.Low = status.Flag(StatusFlag::BatteryLow);
        const StretchEnd end = model_->Feed(sample);
        if (end.Ended) AfterStretch(end);
    }

    std::optional<double> runtime = model_->Runtime();
    // A server that publishes the runtime knows its UPS better than our estimate from afar.
    status.RuntimeReported = status.ReportedRuntimeSeconds.has_value();
    if (status.RuntimeReported) runtime = static_cast<double>(*status.ReportedRuntimeSeconds);
    // Shown, 0 would read as a fault; to the trigger it is the plainest reason to act.
    const std::optional<double> left = runtime;
    if (runtime && !(*runtime > 0)) runtime.reset();
    status.RuntimeSeconds.reset();
    if (runtime) status.RuntimeSeconds = *runtime;
    status.RuntimeLearned = !status.RuntimeReported && model_->RuntimeLearned();
    status.RuntimeLowSeconds = static_cast<long double>(NeededSeconds().count());
    status.BatteryHealth = model_->Knowledge().Verdict;

    if (on_battery && !power_fail_seen_) {
        power_fail_seen_ = true;
        fired_ = false;
        if (runtime) {
            log_.AppendLog(Format(kRuntimeAtFailure, static_cast<int>(std::lround(*runtime / 60))));
        }
    } else if (!on_battery) {
        power_fail_seen_ = false;
        fired_ = false;
    }
    CheckTrigger(status, left);
    ScheduleTest(status);
    Show();
}

void BatteryWatch::CheckTrigger(const UpsStatus& status, std::optional<double> runtime) {
    if (fired_ || !display_.RuntimeActionCB || !status.Flag(StatusFlag::PowerFail)) return;
    if (!runtime || (!status.RuntimeReported && !model_->Settled())) return;
    if (*runtime > static_cast<double>(NeededSeconds().count())) return;
    fired_ = true;
    log_.AppendLog(Format(kRuntimeActing, static_cast<int>(std::lround(*runtime))));
    countdown_.FireNow();
}

void BatteryWatch::AfterStretch(const StretchEnd& end) {
    if (end.Learned) {
        const HealthVerdict verdict = JudgeBattery(*model_);
        BatteryKnowledge& k = model_->Knowledge();
        const std::string before = k.Verdict;
        if (!verdict.Verdict.empty()) {
            k.Verdict = verdict.Verdict;
            k.Evidence = verdict.Evidence;
        }
        // A first verdict of "Good" is no change: the battery was taken as good all along.
        const bool first = before.empty() || before == kHealthUnknown;
        if (!verdict.Verdict.empty() && verdict.Verdict != before &&
            !(first && verdict.Verdict == kHealthGood)) {
            Announce(verdict.Verdict, verdict.Evidence);
        }
    }
    Save();
}

void BatteryWatch::Announce(const std::string& verdict, const std::string& evidence) {
    const HealthRow* row = HealthRowOf(verdict);
    if (row == nullptr) return;
    const auto event_time = wall_();
    log_.AppendLog(std::string(row->Text) + (evidence.empty() ? "" : ": " + evidence));
    if (display_.BalloonCB) tray_.ShowTrayBalloon(kBalloonTitle, row->Text, row->Icon);
    const NoticeChannels channels{display_.SMTPWarningsCB, display_.LANWarningsCB};
    // Battery events share the "Battery Low" box.
    if (display_.BatteryLowCB && (channels.Mail || channels.Lan)) {
        notices_.Notify(row->Kind, event_time, channels);
    }
}

void BatteryWatch::Save() {
    const std::string error = store_.Save(identity_, model_->Knowledge());
    if (!error.empty()) log_.AppendLog(kKnowledgeNotSaved + error);
}

void BatteryWatch::ScheduleTest(const UpsStatus& status) {
    const int days = display_.BatteryTestDaysUD.Position;
    if (days <= 0 || !start_test_ || model_->OnInverter()) return;
    if (status.Flag(StatusFlag::PowerFail) || status.Flag(StatusFlag::TestInProgress) ||
        status.Flag(StatusFlag::BatteryLow) || status.Flag(StatusFlag::ShutdownActive)) {
        return;
    }
    const BatteryKnowledge& k = model_->Knowledge();
    const double wall = Seconds(wall_());
    const double since_test = wall - k.LastTest;  // huge when never tested
    if (since_test < days * kDaySeconds) return;
    if (k.LastDischarge > 0 && wall - k.LastDischarge < kRechargedForTest) return;
    const int hour = LocalHour(wall);
    const bool quiet = hour >= kQuietFrom && hour < kQuietTo;
    const bool overdue = k.LastTest > 0 && since_test >= (days + 1) * kDaySeconds;
    if (!quiet && !overdue) return;
    if (wall - test_requested_ < kTestRetrySeconds) return;
    test_requested_ = wall;
    log_.AppendLog(Format(kScheduledTest, days));
    // Ten seconds tell a battery from the one it was when new; until there is such a one on
    // record, or while it is worn, the test runs long enough to show what the battery holds.
    start_test_(k.Verdict == kHealthGood ? 0 : kLongTestMinutes);
}

void BatteryWatch::Show() {
    const BatteryKnowledge& k = model_->Knowledge();
    const BatteryFigure capacity = model_->Capacity();
    display_.BatteryCapacityL =
        RuntimeText(model_->FullRuntime(GenericBattery::kReferenceDrain * 100)) +
        " at 30 % load (" + Basis(capacity) + ")";
    const BatteryFigure resistance = model_->Resistance();
    display_.BatteryResistanceL =
        "sag " + FixedText(model_->SagAt(30), 2) + " V at 30 % load (" + Basis(resistance) + ")";
    display_.BatteryDischargesL = std::to_string(k.Discharges);
    display_.BatteryLastTestL =
        k.LastTest > 0 ? DateTimeText(std::chrono::system_clock::time_point(
                             std::chrono::duration_cast<std::chrono::system_clock::duration>(
                                 std::chrono::duration<double>(k.LastTest))))
                       : "never";
}

}  // namespace gw::monitor
