// The durable copy of the event log.
//
// The log matters most when this program shuts the computer down, and the in-memory log dies
// with it. So every line also goes to `journal.log`, synced to disk before Append returns: the
// record of a power failure survives the shutdown it caused. When the file would pass its size
// limit it becomes `journal.log.1` (replacing the older one) and a new file is started.
//
// Thread rule: main thread only, like the event log. A synced write can take milliseconds on a
// slow disk; that is the price of not losing the last lines before a power-off.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "monitor/event_log.h"

namespace gw::monitor {

// `$XDG_STATE_HOME/gridwarden` when that is an absolute path, else
// `$HOME/.local/state/gridwarden` (the password database's home when HOME is unset).
std::string DefaultJournalDir();

class JournalFile {
public:
    static constexpr std::uintmax_t kDefaultMaxBytes = 1024 * 1024;

    JournalFile() = default;
    ~JournalFile();
    JournalFile(const JournalFile&) = delete;
    JournalFile& operator=(const JournalFile&) = delete;

    // Creates `dir` (mode 0700, with its parents) and opens `dir/journal.log` for appending.
    // On failure the directory is still remembered, so later Appends keep trying to open it.
    bool Open(const std::string& dir, std::string& error,
              std::uintmax_t max_bytes = kDefaultMaxBytes);

    // Appends `line` and a newline in one write and syncs the data before returning true.
    // A line is never dropped for the size limit: it starts the new file, or, when rotation
    // is impossible, the current file grows past the limit. After a failure the file is
    // reopened on the next call. Errors come back in `error` with the system's text.
    bool Append(std::string_view line, std::string& error);

    void Close();
    bool IsOpen() const { return fd_ >= 0; }
    const std::string& Path() const { return path_; }

private:
    bool Reopen(std::string& error);
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
};

// Sends every new line of `log` to `journal`. A failure is reported through `on_error` once,
// and again only after the journal has worked in between. `journal` must outlive the
// returned observer; remove it with `log.RemoveObserver` to detach. `on_error` may log.
EventLog::ObserverId AttachJournal(EventLog& log, JournalFile& journal,
                                   std::function<void(const std::string& error)> on_error);

}  // namespace gw::monitor
