#include "ui/qt_main_loop.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QPointer>
#include <QThread>
#include <QTimer>

namespace gw::ui {

QtMainLoop::QtMainLoop() = default;
QtMainLoop::~QtMainLoop() = default;

void QtMainLoop::Post(std::function<void()> task) {
    QMetaObject::invokeMethod(&context_, std::move(task), Qt::QueuedConnection);
}

link::TimerHandle QtMainLoop::StartTimer(std::chrono::milliseconds delay,
                                         std::function<void()> task, bool repeating) {
    auto* timer = new QTimer(&context_);
    timer->setSingleShot(!repeating);
    timer->setTimerType(Qt::PreciseTimer);
    QObject::connect(timer, &QTimer::timeout, timer, std::move(task));
    timer->start(delay);
    QPointer<QTimer> guard(timer);
    return link::TimerHandle([guard] {
        if (guard) {
            guard->stop();
            // The task may be resetting its own handle from inside the timer's signal.
            guard->deleteLater();
        }
    });
}

bool QtMainLoop::IsMainThread() const { return QThread::currentThread() == context_.thread(); }

}  // namespace gw::ui
