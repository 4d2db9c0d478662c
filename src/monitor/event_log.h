// The event log: the running record of what happened, oldest line first.
//
// Memory holds only the latest kKeptLines lines: a UPS left unplugged for a month at a 1 s
// refresh logs over a million lines. Observers still get every line, so the journal file has
// what memory dropped, as far back as its own size limit reaches; a saved log says how many
// lines it lacks and where to look for them.
//
// Thread rule: every method runs on the main thread. Work on other threads posts to the main
// loop before it logs. There is no locking.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "link/log_sink.h"

namespace gw::monitor {

// Local time as "YYYY-MM-DD hh:nn:ss"; at exactly midnight only "YYYY-MM-DD". This is the one
// date-time form of log lines, reports and notices.
std::string DateTimeText(std::chrono::system_clock::time_point t);

// The file name offered when the log is saved: "Log_" + local "yymmddhhnnsszzz" + ".txt".
std::string ProposedLogName(std::chrono::system_clock::time_point t);

// The first line of a saved log that lacks its oldest lines:
// "Earlier lines left out of this file: 12345 (the log keeps its last 10000 lines); older lines
// are in the journal /home/u/.local/state/gridwarden/journal.log".
// clang-format off
inline constexpr char kDroppedLead[]    = "Earlier lines left out of this file: ";
inline constexpr char kDroppedKept[]    = " (the log keeps its last ";
inline constexpr char kDroppedWhere[]   = " lines); older lines are in ";
inline constexpr char kJournalLead[]    = "the journal ";
inline constexpr char kJournalUnnamed[] = "the journal file";
// clang-format on

class EventLog : public gw::link::LogSink {
public:
    using Clock = std::function<std::chrono::system_clock::time_point()>;
    using LineObserver = std::function<void(const std::string& line)>;
    using ClearObserver = std::function<void()>;
    using ObserverId = std::uint64_t;

    static constexpr std::size_t kKeptLines = 10000;

    explicit EventLog(Clock clock = std::chrono::system_clock::now);

    // Stamps `text` with the clock's time, appends the line and hands it to every line observer
    // in the order they were added. An observer may append or clear in turn: that event is
    // queued and delivered after the current one has reached every observer, so all observers
    // see the same sequence. Observers must not throw.
    void AppendLog(std::string_view text) override;

    // Empties the log at once, then tells the clear observers (queued like lines).
    void Clear();

    // The latest kKeptLines lines at most.
    const std::deque<std::string>& Lines() const { return lines_; }
    // Lines appended since the last Clear that Lines() no longer holds.
    std::uint64_t DroppedLines() const { return dropped_; }
    // The journal file that keeps what memory drops, named in a saved log; empty for none.
    void SetJournalPath(std::string path) { journal_path_ = std::move(path); }

    ObserverId AddObserver(LineObserver on_line);
    ObserverId AddClearObserver(ClearObserver on_clear);
    // Safe from inside an observer; the removed observer gets no further events.
    void RemoveObserver(ObserverId id);

    // Writes every line followed by CR LF, bytes unchanged, replacing `path`; when lines were
    // dropped, the notice above comes first, as a line of its own. The file is
    // written beside the target and renamed over it, so a failed save leaves an existing file
    // as it was. Returns false with `error` set to a message for the user.
    bool Save(const std::string& path, std::string& error) const;

private:
    struct Observer {
        ObserverId id;
        LineObserver on_line;
        ClearObserver on_clear;
        bool removed = false;
    };

    ObserverId Add(Observer observer);
    void Deliver(const std::optional<std::string>& event);
    void DrainPending();

    Clock clock_;
    std::deque<std::string> lines_;
    std::uint64_t dropped_ = 0;
    std::string journal_path_;
    // Shared so that an observer list snapshot stays valid while observers are added or removed.
    std::vector<std::shared_ptr<Observer>> observers_;
    ObserverId next_id_ = 1;
    // A line, or nullopt for a clear, waiting for delivery.
    std::deque<std::optional<std::string>> pending_;
    bool delivering_ = false;
};

}  // namespace gw::monitor
