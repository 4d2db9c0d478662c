#include "history/history_writer.h"

#include <pthread.h>

#include <filesystem>

#include "history/history_store.h"

namespace gw::history {

struct HistoryWriter::Shared {
    Options options;
    ProblemSink on_problem;

    std::mutex mutex;
    std::condition_variable wake;
    std::condition_variable finished;
    std::vector<Reading> readings;
    std::vector<Event> events;
    bool flush = false;
    bool stop = false;
    bool done = false;
    std::uint64_t dropped = 0;
    std::uint64_t commits = 0;
    // When the queue was last taken; the next commit is one period after it.
    std::chrono::steady_clock::time_point taken = std::chrono::steady_clock::now();
    // The last reading added was on battery.
    bool on_battery = false;
    // A battery reading or a power action waits in the queue: it must not wait out the mains
    // period, which would lose the start of an outage to a crash in it.
    bool urgent = false;

    // Under the lock.
    std::chrono::steady_clock::time_point NextCommit() const {
        return taken + (on_battery || urgent ? options.BatteryCommitPeriod : options.CommitPeriod);
    }

    void Run();
};

namespace {

template <typename Row>
void Bounded(std::vector<Row>& queue, Row row, std::size_t limit, std::uint64_t& dropped) {
    if (queue.size() >= limit) {
        queue.erase(queue.begin());
        ++dropped;
    }
    queue.push_back(std::move(row));
}

}  // namespace

void HistoryWriter::Shared::Run() {
    // By this name the footprint benchmark (and top -H) tells the writer's time from the rest.
    pthread_setname_np(pthread_self(), kHistoryThreadName);
    const auto now = [this] { return ToMillis(options.Clock()); };
    HistoryStore store;
    const std::filesystem::path dir = std::filesystem::path(options.Path).parent_path();
    std::error_code ignored;
    if (!dir.empty()) std::filesystem::create_directories(dir, ignored);

    bool failing = false;
    const auto report = [&](const HistoryStore::Opened& opened) {
        if (!opened.SetAside.empty() || !opened.Reason.empty()) {
            on_problem("History: " + store.Path() + " " + opened.Reason +
                       (opened.SetAside.empty() ? "; it was removed"
                                                : "; it was set aside as " + opened.SetAside) +
                       (opened.Ok ? " and a new history started" : ""));
        }
        if (!opened.Ok && !failing) {
            on_problem("History: cannot write " + store.Path() + ": " + opened.Error);
        }
        failing = !opened.Ok;
    };
    report(store.Open(options.Path, now()));
    std::string error;
    if (store.IsOpen() && !store.Thin(now(), error)) on_problem("History: " + error);
    auto next_thin = std::chrono::steady_clock::now() + options.ThinPeriod;

    std::vector<Reading> batch;
    std::vector<Event> batch_events;
    for (;;) {
        bool stopping = false;
        bool sync = false;
        {
            std::unique_lock<std::mutex> lock(mutex);
            // Add moves the commit forward and wakes this wait, so each turn reads it anew.
            while (!stop && !flush && std::chrono::steady_clock::now() < NextCommit()) {
                wake.wait_until(lock, NextCommit());
            }
            // A flush comes before a power action: that commit must reach the disk too.
            sync = on_battery || urgent || flush;
            flush = false;
            urgent = false;
            stopping = stop;
            taken = std::chrono::steady_clock::now();
            batch.swap(readings);
            batch_events.swap(events);
        }
        if (!batch.empty() || !batch_events.empty()) {
            if (!store.IsOpen()) report(store.Open(options.Path, now()));
            bool damaged = false;
            bool written = store.IsOpen() && store.Write(batch, batch_events, error, damaged, sync);
            if (!written && damaged) {
                report(store.Restart(error, now()));
                written = store.IsOpen() && store.Write(batch, batch_events, error, damaged, sync);
            }
            const std::lock_guard<std::mutex> lock(mutex);
            if (written) {
                ++commits;
                failing = false;
            } else {
                dropped += batch.size() + batch_events.size();
            }
            if (!written && !failing) {
                failing = true;
                on_problem("History: rows not written: " +
                           (store.IsOpen() ? error : std::string("the file is not open")));
            }
        }
        batch.clear();
        batch_events.clear();
        if (stopping) break;
        if (std::chrono::steady_clock::now() >= next_thin) {
            next_thin = std::chrono::steady_clock::now() + options.ThinPeriod;
            if (store.IsOpen() && !store.Thin(now(), error)) on_problem("History: " + error);
        }
    }
    store.Close();
    const std::lock_guard<std::mutex> lock(mutex);
    done = true;
    finished.notify_all();
}

HistoryWriter::HistoryWriter(Options options, ProblemSink on_problem)
    : shared_(std::make_shared<Shared>()) {
    shared_->options = std::move(options);
    shared_->on_problem = std::move(on_problem);
    // The thread holds its own reference: when Stop gives up on it, what it uses stays alive.
    thread_ = std::thread([shared = shared_] { shared->Run(); });
}

HistoryWriter::~HistoryWriter() { Stop(); }

void HistoryWriter::Add(Reading reading) {
    const std::lock_guard<std::mutex> lock(shared_->mutex);
    if (shared_->stop) return;
    shared_->on_battery = (reading.Bits & kPowerFailBit) != 0;
    if (shared_->on_battery && !shared_->urgent) {
        shared_->urgent = true;
        shared_->wake.notify_one();
    }
    Bounded(shared_->readings, std::move(reading), shared_->options.MaxQueuedReadings,
            shared_->dropped);
}

void HistoryWriter::Add(Event event) {
    const std::lock_guard<std::mutex> lock(shared_->mutex);
    if (shared_->stop) return;
    if (event.Kind == EventKind::PowerAction && !shared_->urgent) {
        shared_->urgent = true;
        shared_->wake.notify_one();
    }
    Bounded(shared_->events, std::move(event), shared_->options.MaxQueuedEvents, shared_->dropped);
}

void HistoryWriter::Flush() {
    const std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->flush = true;
    shared_->wake.notify_one();
}

void HistoryWriter::Stop(std::chrono::milliseconds bound) {
    if (!thread_.joinable()) return;
    std::unique_lock<std::mutex> lock(shared_->mutex);
    shared_->stop = true;
    shared_->wake.notify_one();
    const bool done = shared_->finished.wait_for(lock, bound, [this] { return shared_->done; });
    lock.unlock();
    if (done) {
        thread_.join();
    } else {
        thread_.detach();
    }
}

std::uint64_t HistoryWriter::Dropped() const {
    const std::lock_guard<std::mutex> lock(shared_->mutex);
    return shared_->dropped;
}

std::uint64_t HistoryWriter::Commits() const {
    const std::lock_guard<std::mutex> lock(shared_->mutex);
    return shared_->commits;
}

std::chrono::steady_clock::time_point HistoryWriter::NextCommit() const {
    const std::lock_guard<std::mutex> lock(shared_->mutex);
    return shared_->NextCommit();
}

}  // namespace gw::history
