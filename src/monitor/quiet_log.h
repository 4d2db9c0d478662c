// The event log as the journal file and the console get it. With the UPS unplugged or silent
// every poll cycle logs "I/O Thread failed": with a 1 s refresh that is 86,000 lines a day,
// which would push the record of earlier power failures out of a rotating journal (ours and the
// system's) within days. So here a run of failed cycles is written once when it begins, then as
// a count: once an hour while it lasts and once when a cycle gets through again. Every other
// line goes through as it comes. The event log itself, the window's view, keeps every line.
//
// Thread rule: main thread only, like the event log.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "monitor/event_log.h"

namespace gw::monitor {

// The count of a run, stamped like any line:
// "I/O Thread failed 3600 more times since 2026-12-09 11:00:00 (3601 in a row so far)", and at
// its end "... (3611 in a row); the exchange works again".
// clang-format off
inline constexpr char kRepeatsSince[]  = " since ";
inline constexpr char kRepeatsSoFar[]  = " in a row so far)";
inline constexpr char kRepeatsEnded[]  = " in a row); the exchange works again";
// clang-format on

class QuietLog {
public:
    using Clock = EventLog::Clock;
    static constexpr std::chrono::hours kCountPeriod{1};

    // Observes `log`, which must outlive this.
    explicit QuietLog(EventLog& log, Clock clock = std::chrono::system_clock::now);
    ~QuietLog();
    QuietLog(const QuietLog&) = delete;
    QuietLog& operator=(const QuietLog&) = delete;

    // Gets every line that is written. An observer may log in turn: that line comes after the
    // current one has reached every observer. Observers stay for the life of this.
    void AddObserver(EventLog::LineObserver on_line);

    // A cycle whose exchange got through: a run of failures ends, with its count.
    void OnCycleThrough();
    // Writes the count of a run not yet told, as before the program closes; the run goes on.
    void Flush();

private:
    void OnLine(const std::string& line);
    void WriteCount(bool ended);
    void Emit(std::string line);

    EventLog& log_;
    Clock clock_;
    EventLog::ObserverId observer_id_;
    std::vector<EventLog::LineObserver> observers_;
    std::deque<std::string> pending_;
    bool delivering_ = false;

    bool in_run_ = false;
    std::uint64_t run_length_ = 0;
    std::uint64_t untold_ = 0;  // failures since the last line about the run
    std::chrono::system_clock::time_point told_at_{};
};

}  // namespace gw::monitor
