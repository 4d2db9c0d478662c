// The history answers' own thread. "/history" and "/history.json" read a file that holds up to a
// year, which takes a good part of a second; composed here, one at a time, they never hold up
// the status server's pool threads, so "/" and "/metrics" keep their pace whatever the history
// costs, and the history never takes more than this one thread.
//
// An answer is kept for kFreshFor under the key of the request that asked for it (the caller
// makes it from everything the answer depends on but the time), so that many asking for the
// same page cost one composition. At most kMaxWaiting requests wait; beyond them a newcomer is
// refused and answered BusyAnswer. A request still waiting when its deadline passes is dropped
// unanswered rather than composed for a client that has gone.
//
// Thread rule: Submit from any thread; Stop (and the destructor) on the owner's thread. Compose
// runs on the worker's thread, done there or in Submit: it must only hand the answer on.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "reports/http_handler.h"
#include "reports/page_source.h"

namespace gw::reports {

// The worker thread's name (at most 15 characters).
inline constexpr char kHistoryWorkerThreadName[] = "gw-http-history";

class HistoryWorker {
public:
    using Clock = std::chrono::steady_clock;
    // The answers wait in the pool's sessions; this many at most, a few browsers' worth.
    static constexpr std::size_t kMaxWaiting = 16;
    // A year's chart has a bucket a day and an hour's one of ten seconds: a page this old still
    // shows what a new one would, give or take its last bucket.
    static constexpr std::chrono::seconds kFreshFor{10};
    // An older answer still goes while its successor is being composed, so that a page many
    // ask for is never refused; a composition stuck longer than this stops it.
    static constexpr std::chrono::seconds kStaleFor{60};
    // Answers kept at once; an answer is a few hundred kilobytes at most.
    static constexpr std::size_t kKept = 8;

    using Compose = std::function<std::optional<HttpResponse>()>;
    // Nothing: the connection is to be closed unanswered.
    using Done = std::function<void(std::optional<HttpResponse>)>;

    // `now` is the clock of the kept answers and the deadlines; tests pass their own.
    explicit HistoryWorker(std::function<Clock::time_point()> now = Clock::now);
    ~HistoryWorker();
    HistoryWorker(const HistoryWorker&) = delete;
    HistoryWorker& operator=(const HistoryWorker&) = delete;

    // `done` gets the kept answer of `key` at once, on this thread, when it is fresh (or not
    // stale and a new one is being composed); else the
    // request is queued and `done` gets what `compose` makes (kept for the next), or nothing
    // once `deadline` has passed. False, and `done` is never called, when kMaxWaiting wait
    // already or the worker stopped.
    bool Submit(std::string key, Clock::time_point deadline, Compose compose, Done done);
    // Drops what waits (without calling its done), lets the answer in hand finish, and ends
    // the thread. Once; Submit is refused after it.
    void Stop();

    // Compositions run so far; for tests and benchmarks.
    std::size_t Composed() const;

private:
    struct Job {
        std::string Key;
        Clock::time_point Deadline;
        Compose Make;
        Done Finish;
    };
    struct KeptAnswer {
        std::string Key;
        Clock::time_point Made;
        HttpResponse Answer;
    };

    void Run();
    // The kept answer of `key` younger than `age`; under the lock.
    const HttpResponse* Kept(const std::string& key, Clock::time_point now,
                             Clock::duration age) const;
    const HttpResponse* Fresh(const std::string& key, Clock::time_point now) const {
        return Kept(key, now, kFreshFor);
    }
    // An answer to `key` waits or is being composed; under the lock.
    bool Composing(const std::string& key) const;

    const std::function<Clock::time_point()> now_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Job> waiting_;
    std::vector<KeptAnswer> kept_;
    std::string composing_;  // the key of the answer in hand; empty when none
    std::size_t composed_ = 0;
    bool stopping_ = false;
    std::thread thread_;
};

// The request asks for "/history" or "/history.json": the worker's to answer.
bool IsHistoryRequest(const HttpRequest& request);
// What a history answer depends on besides the time: the request's method, target and
// credentials, and the state's credentials and file.
std::string HistoryAnswerKey(const HttpRequest& request, const PageState& state);

// The answer to a request the worker refused: 503 with Retry-After, no body, closed.
HttpResponse BusyAnswer(const HttpRequest& request);

}  // namespace gw::reports
