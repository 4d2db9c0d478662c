// The main loop of the window: the core's Post and timers on the Qt event loop, so that the
// monitor's tasks and the widgets' events run on one thread, in order.
//
// Thread rule: constructed on the GUI thread after the QApplication; Post from any thread,
// everything else on the GUI thread.
#pragma once

#include <QObject>

#include "link/main_loop.h"

namespace gw::ui {

class QtMainLoop final : public link::MainLoop {
public:
    QtMainLoop();
    ~QtMainLoop() override;

    void Post(std::function<void()> task) override;
    link::TimerHandle StartTimer(std::chrono::milliseconds delay, std::function<void()> task,
                                 bool repeating = false) override;
    bool IsMainThread() const override;

private:
    // Owns the timers and receives the posted tasks; what is still queued when it goes is
    // dropped with it.
    QObject context_;
};

}  // namespace gw::ui
