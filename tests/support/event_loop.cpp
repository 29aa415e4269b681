#include "tests/support/event_loop.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QMetaObject>
#include <QThread>

#include <memory>

namespace testsupport {

bool ProcessEventsUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() >= timeout.count())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
    return true;
}

void ProcessEventsFor(std::chrono::milliseconds duration)
{
    ProcessEventsUntil([] { return false; }, duration);
}

bool ProcessPendingEvents()
{
    // A notification becomes a queued delivery, whose handler may queue the next step.
    constexpr int kTurns = 3;
    for (int turn = 0; turn < kTurns; ++turn) {
        // Shared, as a marker the loop never reached still runs later.
        const auto reached = std::make_shared<bool>(false);
        QMetaObject::invokeMethod(
            QCoreApplication::instance(), [reached] { *reached = true; }, Qt::QueuedConnection);
        if (!ProcessEventsUntil([&reached] { return *reached; }))
            return false;
    }
    return true;
}

} // namespace testsupport
