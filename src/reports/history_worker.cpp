#include "reports/history_worker.h"

#include <pthread.h>

#include <algorithm>
#include <boost/beast/http/field.hpp>

namespace gw::reports {

namespace http = boost::beast::http;

HistoryWorker::HistoryWorker(std::function<Clock::time_point()> now) : now_(std::move(now)) {
    thread_ = std::thread([this] {
        // By this name top -H tells the history's time from the pool's.
        pthread_setname_np(pthread_self(), kHistoryWorkerThreadName);
        Run();
    });
}

HistoryWorker::~HistoryWorker() { Stop(); }

bool HistoryWorker::Submit(std::string key, Clock::time_point deadline, Compose compose,
                           Done done) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (stopping_) return false;
    // A kept answer costs a copy: it goes at once, on the caller's thread, queue or not; an
    // older one too while its successor is being composed.
    const Clock::time_point now = now_();
    const HttpResponse* kept = Fresh(key, now);
    if (kept == nullptr && Composing(key)) kept = Kept(key, now, kStaleFor);
    if (kept != nullptr) {
        HttpResponse answer = *kept;
        lock.unlock();
        done(std::move(answer));
        return true;
    }
    if (waiting_.size() >= kMaxWaiting) return false;
    waiting_.push_back({std::move(key), deadline, std::move(compose), std::move(done)});
    wake_.notify_one();
    return true;
}

void HistoryWorker::Stop() {
    std::deque<Job> dropped;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        dropped.swap(waiting_);
        wake_.notify_one();
    }
    // The jobs hold their sessions; they go here, outside the lock.
    dropped.clear();
    if (thread_.joinable()) thread_.join();
}

std::size_t HistoryWorker::Composed() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return composed_;
}

const HttpResponse* HistoryWorker::Kept(const std::string& key, Clock::time_point now,
                                        Clock::duration age) const {
    for (const KeptAnswer& kept : kept_) {
        if (kept.Key == key && now - kept.Made < age) return &kept.Answer;
    }
    return nullptr;
}

bool HistoryWorker::Composing(const std::string& key) const {
    if (key == composing_) return true;
    return std::any_of(waiting_.begin(), waiting_.end(),
                       [&](const Job& job) { return job.Key == key; });
}

void HistoryWorker::Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || !waiting_.empty(); });
        if (stopping_) return;
        Job job = std::move(waiting_.front());
        waiting_.pop_front();
        const Clock::time_point now = now_();
        std::optional<HttpResponse> answer;
        if (now >= job.Deadline) {
            // The client's time is up: its connection is closed without the work.
        } else if (const HttpResponse* kept = Fresh(job.Key, now)) {
            answer = *kept;
        } else {
            ++composed_;
            composing_ = job.Key;
            lock.unlock();
            try {
                answer = job.Make();
            } catch (const std::exception&) {
                answer.reset();
            }
            lock.lock();
            composing_.clear();
            if (answer) {
                kept_.erase(std::remove_if(kept_.begin(), kept_.end(),
                                           [&](const KeptAnswer& k) { return k.Key == job.Key; }),
                            kept_.end());
                if (kept_.size() >= kKept) kept_.erase(kept_.begin());
                kept_.push_back({job.Key, now, *answer});
            }
        }
        lock.unlock();
        job.Finish(std::move(answer));
        job = Job{};
        lock.lock();
    }
}

bool IsHistoryRequest(const HttpRequest& request) {
    const std::string path =
        DocumentPath(std::string_view(request.target().data(), request.target().size()));
    return path == kHistoryPath || path == kHistoryJsonPath;
}

std::string HistoryAnswerKey(const HttpRequest& request, const PageState& state) {
    std::string key;
    // Each part behind its length, so that no two requests share a key.
    const auto add = [&key](std::string_view part) {
        key += std::to_string(part.size()) + ':';
        key += part;
    };
    const auto authorization = request.find(http::field::authorization);
    add({request.method_string().data(), request.method_string().size()});
    add({request.target().data(), request.target().size()});
    if (authorization == request.end()) {
        key += '-';
    } else {
        add({authorization->value().data(), authorization->value().size()});
    }
    add(state.User);
    add(state.Password);
    add(state.History ? state.History->Path() : std::string());
    return key;
}

HttpResponse BusyAnswer(const HttpRequest& request) {
    const unsigned version = request.version();
    HttpResponse response{http::status::service_unavailable,
                          version < 10 || version > 11 ? 11 : version};
    response.set(http::field::retry_after, "5");
    response.set(http::field::content_length, "0");
    response.set(http::field::connection, "close");
    return response;
}

}  // namespace gw::reports
