#include "monitor/quiet_log.h"

#include <string_view>
#include <utility>

#include "monitor/status_evaluation.h"

namespace gw::monitor {
namespace {

// Only the evaluation writes this text, and only as a whole line after the stamp.
bool IsFailedCycle(std::string_view line) {
    constexpr std::string_view text = kCycleFailedText;
    return line.size() > text.size() && line.substr(line.size() - text.size()) == text &&
           line[line.size() - text.size() - 1] == ' ';
}

}  // namespace

QuietLog::QuietLog(EventLog& log, Clock clock) : log_(log), clock_(std::move(clock)) {
    observer_id_ = log_.AddObserver([this](const std::string& line) { OnLine(line); });
}

QuietLog::~QuietLog() { log_.RemoveObserver(observer_id_); }

void QuietLog::AddObserver(EventLog::LineObserver on_line) {
    observers_.push_back(std::move(on_line));
}

void QuietLog::OnLine(const std::string& line) {
    if (!IsFailedCycle(line)) {
        Emit(line);
        return;
    }
    const auto now = clock_();
    if (!in_run_) {
        in_run_ = true;
        run_length_ = 1;
        untold_ = 0;
        told_at_ = now;
        Emit(line);
        return;
    }
    ++run_length_;
    ++untold_;
    // A clock set back counts as an hour gone: the count must not wait for the clock to return.
    if (now - told_at_ >= kCountPeriod || now < told_at_) WriteCount(false);
}

void QuietLog::OnCycleThrough() {
    if (!in_run_) return;
    // A failure alone was said in full; its end needs no count.
    if (run_length_ > 1) WriteCount(true);
    in_run_ = false;
}

void QuietLog::Flush() {
    if (in_run_ && untold_ > 0) WriteCount(false);
}

void QuietLog::WriteCount(bool ended) {
    const auto now = clock_();
    std::string line = DateTimeText(now) + ' ' + kCycleFailedText + ' ' + std::to_string(untold_) +
                       (untold_ == 1 ? " more time" : " more times") + kRepeatsSince +
                       DateTimeText(told_at_) + " (" + std::to_string(run_length_) +
                       (ended ? kRepeatsEnded : kRepeatsSoFar);
    untold_ = 0;
    told_at_ = now;
    Emit(std::move(line));
}

void QuietLog::Emit(std::string line) {
    pending_.push_back(std::move(line));
    // The outermost call delivers; a line logged by an observer meanwhile waits its turn.
    if (delivering_) return;
    delivering_ = true;
    while (!pending_.empty()) {
        const std::string next = std::move(pending_.front());
        pending_.pop_front();
        for (const auto& observer : observers_) observer(next);
    }
    delivering_ = false;
}

}  // namespace gw::monitor
