// The history's own thread: the main thread hands each reading and event to a bounded queue and
// goes on; this thread wakes every ten seconds (not once per poll cycle; every two and syncing
// each commit while the UPS runs on battery), writes what came in one transaction, and thins
// the file once an hour. The first reading on battery, or a power action, brings the commit
// forward to two seconds after the last one at most, so a crash early in an outage still
// leaves its start in the file. It opens the file itself, so a slow disk or
// a long check never holds up start-up, the polls or the power-fail response.
//
// When the file cannot be written, rows are dropped and one line says so (again only after it
// worked in between); a damaged or foreign file is set aside with one line and a new one
// started. Nothing else in the program notices.
//
// Thread rule: Add, Flush and Stop on the owner's thread (the main thread); the problem callback
// runs on the writer's thread and must only hand the text on (post it to the main loop).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "history/history_rows.h"

namespace gw::history {

// The writer thread's name (at most 15 characters).
inline constexpr char kHistoryThreadName[] = "gw-history";

class HistoryWriter {
public:
    struct Options {
        std::string Path;
        // On mains, and while on battery or after a power action, when every commit is synced.
        std::chrono::milliseconds CommitPeriod{10000};
        std::chrono::milliseconds BatteryCommitPeriod{2000};
        std::chrono::milliseconds ThinPeriod{3600 * 1000};
        // Rows beyond these wait nowhere: the oldest are dropped (a stuck disk must not grow
        // the program without bound). At a 1 s refresh this is over an hour of readings.
        std::size_t MaxQueuedReadings = 4096;
        std::size_t MaxQueuedEvents = 4096;
        std::function<std::chrono::system_clock::time_point()> Clock =
            std::chrono::system_clock::now;
    };
    using ProblemSink = std::function<void(const std::string& line)>;

    HistoryWriter(Options options, ProblemSink on_problem);
    // Stop with its default bound.
    ~HistoryWriter();
    HistoryWriter(const HistoryWriter&) = delete;
    HistoryWriter& operator=(const HistoryWriter&) = delete;

    void Add(Reading reading);
    void Add(Event event);
    // Writes what is queued now instead of at the next period (before a power action).
    void Flush();
    // Writes what is queued and closes the file, waiting at most `bound`; a thread stuck on a
    // dead disk is left behind rather than holding up the program's end.
    void Stop(std::chrono::milliseconds bound = std::chrono::milliseconds(3000));

    // Rows dropped because the queue was full or the write failed; for tests and benchmarks.
    std::uint64_t Dropped() const;
    // Batches committed so far; for tests.
    std::uint64_t Commits() const;
    // When the writer commits next unless flushed; for tests.
    std::chrono::steady_clock::time_point NextCommit() const;

private:
    struct Shared;
    std::shared_ptr<Shared> shared_;
    std::thread thread_;
};

}  // namespace gw::history
