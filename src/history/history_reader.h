// Queries on the history file for the status server, the window and the command line. Each
// query opens its own read-only connection, so readers on any thread never share the writer's
// connection and, in write-ahead-log mode, neither waits for the other.
//
// Thread rule: any thread; the object holds only the path.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "history/history_rows.h"

namespace gw::history {

class HistoryReader {
public:
    // Queries return at most this many buckets: a wider step is taken instead.
    static constexpr std::int64_t kMaxBuckets = 2000;

    explicit HistoryReader(std::string path) : path_(std::move(path)) {}
    const std::string& Path() const { return path_; }

    // The stored rows with from <= time < to in buckets of `step` ms from `from` (a step below
    // one that fits kMaxBuckets is widened); buckets without rows are left out. Here and below,
    // times outside kEarliestTime..kLatestTime are taken as the nearer end, so any two times
    // make a bounded query. Empty, with
    // `error` set, when the file cannot be read; a file that does not exist yet is no error.
    std::vector<Bucket> Buckets(Millis from, Millis to, Millis& step, std::string& error) const;
    // The events with from <= time < to, oldest first, at most `limit`.
    std::vector<Event> Events(Millis from, Millis to, std::size_t limit, std::string& error) const;
    // Every stored row with from <= time < to, oldest first: a reading as it is, a minute as
    // its means (`minute` true). False with `error` set when the file cannot be read.
    bool Rows(Millis from, Millis to,
              const std::function<void(const Reading& row, bool minute)>& each,
              std::string& error) const;

private:
    std::string path_;
};

// The step of a range drawn with about `points` buckets, rounded up to a whole number of
// seconds, a minute at least when the range reaches past the full-resolution week.
Millis StepFor(Millis from, Millis to, int points, Millis now);

}  // namespace gw::history
