// The durable copy of the event log.
//
// The log matters most when this program shuts the computer down, and the in-memory log dies
// with it. So every line also goes to `journal.log`, synced to disk before Append returns: the
// record of a power failure survives the shutdown it caused. When the file would pass its size
// limit it becomes `journal.log.1` (replacing the older one) and a new file is started.
//
// A line that cannot be written (a full disk, a folder that cannot be made) is kept in memory,
// in order, and written before the next one once the file takes lines again. Only the newest
// kMaxUnwrittenLines are kept; where older ones had to go, a gap line says how many.
//
// Thread rule: main thread only, like the event log. A synced write can take milliseconds on a
// slow disk; that is the price of not losing the last lines before a power-off.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <string_view>

#include "link/main_loop.h"
#include "monitor/event_log.h"

namespace gw::monitor {

// The line written where unwritten lines were dropped:
// "[Lines lost here while the journal could not be written: 12]".
// clang-format off
inline constexpr char kGapLead[] = "[Lines lost here while the journal could not be written: ";
inline constexpr char kGapTail[] = "]";
// clang-format on

// `$XDG_STATE_HOME/gridwarden` when that is an absolute path, else
// `$HOME/.local/state/gridwarden` (the password database's home when HOME is unset).
std::string DefaultJournalDir();

class JournalFile {
public:
    static constexpr std::uintmax_t kDefaultMaxBytes = 1024 * 1024;
    // As many as the event log keeps in memory: a long outage's lines, a megabyte at most.
    static constexpr std::size_t kMaxUnwrittenLines = EventLog::kKeptLines;

    JournalFile() = default;
    ~JournalFile();
    JournalFile(const JournalFile&) = delete;
    JournalFile& operator=(const JournalFile&) = delete;

    // Creates `dir` (mode 0700, with its parents) and opens `dir/journal.log` for appending.
    // On failure the directory is still remembered, so later Appends keep trying to open it.
    bool Open(const std::string& dir, std::string& error,
              std::uintmax_t max_bytes = kDefaultMaxBytes);

    // Writes the unwritten lines, then `line`, each with a newline in one write, and syncs the
    // data before returning true. A line is never dropped for the size limit: it starts the new
    // file, or, when rotation is impossible, the current file grows past the limit. When a
    // write fails, `line` and every line after the failed one stay unwritten, the file is
    // reopened on the next call, and the error comes back in `error` with the system's text.
    // After Close nothing is kept.
    bool Append(std::string_view line, std::string& error);
    // Writes the unwritten lines, if any; false with `error` while they still cannot be.
    bool Flush(std::string& error);
    bool HasUnwritten() const { return !unwritten_.empty() || lost_ > 0; }

    // Tries the unwritten lines a last time; what still cannot be written is lost.
    void Close();
    bool IsOpen() const { return fd_ >= 0; }
    const std::string& Path() const { return path_; }
    // For tests: how many unwritten lines are kept.
    void SetMaxUnwrittenLines(std::size_t lines) { max_unwritten_ = lines; }

private:
    bool Reopen(std::string& error);
    bool WriteLine(std::string_view line, std::string& error);
    void RotateIfNeeded(std::uintmax_t next_bytes);
    void DropFile();

    std::string dir_;
    std::string path_;
    std::string rotated_path_;
    std::uintmax_t max_bytes_ = kDefaultMaxBytes;
    int fd_ = -1;
    std::uintmax_t size_ = 0;
    // A torn earlier write left the file without a final newline; the next line starts with
    // one so that it stays a line of its own.
    bool needs_newline_ = false;
    std::deque<std::string> unwritten_;
    std::uint64_t lost_ = 0;  // dropped from unwritten_ since the last gap line
    std::size_t max_unwritten_ = kMaxUnwrittenLines;
};

// Sends every new line of `log` to `journal`. A failure is reported through `on_error` once,
// and again only after the journal has caught up in between. With `retry_loop`, unwritten
// lines are tried again every kJournalRetryPeriod, so that they reach the file soon after space
// returns even when nothing new is logged. `journal` (and the loop) must outlive the returned
// observer; remove it with `log.RemoveObserver` to detach. `on_error` may log.
inline constexpr std::chrono::seconds kJournalRetryPeriod{10};
EventLog::ObserverId AttachJournal(EventLog& log, JournalFile& journal,
                                   std::function<void(const std::string& error)> on_error,
                                   link::MainLoop* retry_loop = nullptr);
// The same observer, for another source of lines than the event log itself.
EventLog::LineObserver JournalWriter(JournalFile& journal,
                                     std::function<void(const std::string& error)> on_error,
                                     link::MainLoop* retry_loop = nullptr);

}  // namespace gw::monitor
