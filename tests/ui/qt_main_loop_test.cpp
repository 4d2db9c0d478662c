#include "ui/qt_main_loop.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <atomic>
#include <thread>

namespace gw::ui {
namespace {

// Runs the Qt loop until `done` or a generous limit, so a broken loop fails instead of hanging.
template <typename Done>
void RunUntil(Done done) {
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < 5000) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
}

TEST(QtMainLoopTest, TasksFromOtherThreadsRunOnTheMainThreadInOrder) {
    QtMainLoop loop;
    std::vector<int> ran;
    bool on_main = true;
    std::thread poster([&] {
        for (int i = 0; i < 3; ++i) {
            loop.Post([&, i] {
                on_main = on_main && loop.IsMainThread();
                ran.push_back(i);
            });
        }
    });
    poster.join();
    RunUntil([&] { return ran.size() == 3; });
    EXPECT_EQ(ran, (std::vector<int>{0, 1, 2}));
    EXPECT_TRUE(on_main);
}

TEST(QtMainLoopTest, TimersFireRepeatAndStopWithTheirHandle) {
    QtMainLoop loop;
    int once = 0, repeated = 0, cancelled = 0;
    link::TimerHandle self;
    link::TimerHandle one = loop.StartTimer(std::chrono::milliseconds(1), [&] { ++once; });
    link::TimerHandle many = loop.StartTimer(std::chrono::milliseconds(1), [&] {
        if (++repeated == 3) self.Reset();  // a task may end its own timer
    }, true);
    self = std::move(many);
    link::TimerHandle gone = loop.StartTimer(std::chrono::milliseconds(1), [&] { ++cancelled; });
    gone.Reset();
    RunUntil([&] { return repeated >= 3 && once == 1; });
    QCoreApplication::processEvents(QEventLoop::AllEvents, 30);
    EXPECT_EQ(once, 1);
    EXPECT_EQ(repeated, 3);
    EXPECT_EQ(cancelled, 0);
}

}  // namespace
}  // namespace gw::ui
