// The history file itself: opening it (or setting a damaged or foreign one aside and starting
// anew), writing a batch of readings and events in one transaction, and thinning what is older
// than a week to one row per minute and dropping what is older than a year.
//
// The file runs in write-ahead-log mode. A commit on mains power is not synced (the kernel writes
// it back within half a minute, and a sync every few seconds costs more than the rest of a poll
// cycle); a commit while on battery, when the power may really go, is synced, so that then at
// most the rows not yet committed are lost.
//
// Thread rule: one thread at a time — the history writer's thread, or a benchmark. Readers open
// their own connections (HistoryReader) and never touch this one.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "history/history_rows.h"
#include "history/sqlite_db.h"

namespace gw::history {

// The file's name in the state folder, beside the journal.
inline constexpr char kHistoryFileName[] = "history.sqlite";
std::string HistoryPathIn(const std::string& dir);

class HistoryStore {
public:
    static constexpr Millis kFullResolution = 7LL * 24 * 3600 * 1000;
    static constexpr Millis kKept = 366LL * 24 * 3600 * 1000;
    // At most this much of the readings is folded in one transaction, so that a long backlog
    // (the program was off for weeks) never holds the file for long.
    static constexpr Millis kFoldChunk = 24LL * 3600 * 1000;

    struct Opened {
        bool Ok = false;
        std::string Error;     // why nothing could be opened at all
        std::string SetAside;  // where a damaged or foreign file went; empty when none
        std::string Reason;    // why it was set aside
    };
    // Opens or creates `path`. A file that is not a sound history of this program is renamed to
    // `path` + ".set-aside-<time>" (with its log files) and a new one is started.
    Opened Open(const std::string& path, Millis now);
    void Close();
    bool IsOpen() const { return db_.IsOpen(); }
    const std::string& Path() const { return path_; }

    // One transaction, synced to the disk before it returns when `sync`. On failure nothing of
    // the batch is kept; `damaged` says the file went bad under us, and the caller may Restart.
    bool Write(const std::vector<Reading>& readings, const std::vector<Event>& events,
               std::string& error, bool& damaged, bool sync = false);
    // Folds readings older than kFullResolution into minutes, at most kFoldChunk per
    // transaction until done, and drops minutes and events older than kKept.
    bool Thin(Millis now, std::string& error);
    // Sets the file aside and starts a new one (after damage found while writing).
    Opened Restart(const std::string& reason, Millis now);

private:
    bool Prepare(std::string& error);
    bool Check(std::string& reason);
    std::string SetAside(Millis now);
    bool Fold(Millis from, Millis to, std::string& error);

    std::string path_;
    Database db_;
    bool synced_ = false;
    Statement insert_reading_;
    Statement insert_event_;
    Statement fold_;
    Statement delete_readings_;
    Statement oldest_reading_;
    Statement drop_minutes_;
    Statement drop_events_;
};

}  // namespace gw::history
