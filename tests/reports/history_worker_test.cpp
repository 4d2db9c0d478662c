// The history answers' thread: answers kept by key for a while, a bounded queue, and requests
// whose time is up dropped unanswered; on a clock of the test's own.
#include "reports/history_worker.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>

namespace gw::reports {
namespace {

namespace http = boost::beast::http;
using Clock = HistoryWorker::Clock;

struct Answered {
    std::optional<HttpResponse> Answer;
    std::promise<void> Done;
};

TEST(HistoryWorkerTest, KeepsEachAnswerForAWhileAndDropsWhatCameTooLate) {
    std::atomic<Clock::rep> ticks{0};
    HistoryWorker worker([&] { return Clock::time_point(Clock::duration(ticks.load())); });
    int made = 0;
    // The body of the answer to `key`, with the deadline this far after the clock's now.
    const auto ask = [&](const std::string& key, Clock::duration left = std::chrono::seconds(10)) {
        Answered answered;
        const Clock::time_point now{Clock::duration(ticks.load())};
        EXPECT_TRUE(worker.Submit(
            key, now + left,
            [&] {
                HttpResponse response{http::status::ok, 11};
                response.body() = key + std::to_string(++made);
                return std::optional<HttpResponse>(response);
            },
            [&](std::optional<HttpResponse> answer) {
                answered.Answer = std::move(answer);
                answered.Done.set_value();
            }));
        answered.Done.get_future().wait();
        return answered.Answer ? answered.Answer->body() : std::string("none");
    };
    EXPECT_EQ(ask("year"), "year1");
    EXPECT_EQ(ask("year"), "year1");
    EXPECT_EQ(ask("hour"), "hour2");
    ticks += Clock::duration(HistoryWorker::kFreshFor).count() - 1;
    EXPECT_EQ(ask("year"), "year1");
    ticks += 1;
    EXPECT_EQ(ask("year"), "year3");
    EXPECT_EQ(ask("day", Clock::duration::zero()), "none");
    EXPECT_EQ(worker.Composed(), 3u);

    // While a new answer is being composed, the one before it still goes.
    ticks += Clock::duration(HistoryWorker::kFreshFor).count();
    std::promise<void> started;
    std::promise<void> release;
    Answered slow;
    ASSERT_TRUE(worker.Submit(
        "year", Clock::time_point::max(),
        [&] {
            started.set_value();
            release.get_future().wait();
            return std::optional<HttpResponse>(HttpResponse{http::status::ok, 11});
        },
        [&](std::optional<HttpResponse>) { slow.Done.set_value(); }));
    started.get_future().wait();
    auto body = std::make_shared<std::string>("queued");
    ASSERT_TRUE(worker.Submit(
        "year", Clock::time_point::max(), [] { return std::optional<HttpResponse>(); },
        [body](std::optional<HttpResponse> answer) {
            if (answer && *body == "queued") *body = answer->body();
        }));
    EXPECT_EQ(*body, "year3");  // answered within Submit, not queued behind the slow one
    release.set_value();
    slow.Done.get_future().wait();
}

TEST(HistoryWorkerTest, RefusesBeyondTheWaitingBoundAndAfterStop) {
    HistoryWorker worker;
    std::promise<void> started;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<int> answered{0};
    const auto done = [&](std::optional<HttpResponse> answer) {
        if (answer) ++answered;
    };
    const auto forever = Clock::time_point::max();
    ASSERT_TRUE(worker.Submit(
        "slow", forever,
        [&] {
            started.set_value();
            released.wait();
            return std::optional<HttpResponse>(HttpResponse{http::status::ok, 11});
        },
        done));
    started.get_future().wait();
    const auto quick = [] {
        return std::optional<HttpResponse>(HttpResponse{http::status::ok, 11});
    };
    for (std::size_t i = 0; i < HistoryWorker::kMaxWaiting; ++i) {
        EXPECT_TRUE(worker.Submit("k" + std::to_string(i), forever, quick, done)) << i;
    }
    EXPECT_FALSE(worker.Submit("one too many", forever, quick, done));
    release.set_value();
    worker.Stop();
    EXPECT_FALSE(worker.Submit("after", forever, quick, done));
    // The one in hand finished before the stop returned.
    EXPECT_GE(answered.load(), 1);
    EXPECT_EQ(BusyAnswer(HttpRequest{http::verb::get, "/history", 11}).result(),
              http::status::service_unavailable);
}

}  // namespace
}  // namespace gw::reports
