#include "framework/main_thread.h"

#include "framework/application.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>

namespace framework {
namespace {

// A call that another thread waits on.
struct BlockingCall {
    const std::function<void()>& task;
    std::exception_ptr error;
    bool done = false;
};

class CallQueue {
public:
    // Never destroyed: threads still waiting on it at process exit must not find it gone.
    static CallQueue& Instance()
    {
        static CallQueue* const queue = new CallQueue;
        return *queue;
    }

    void RunAndWait(const std::function<void()>& task)
    {
        BlockingCall call{task, nullptr, false};
        std::unique_lock lock(mutex_);
        calls_.push_back(&call);
        ++generation_;
        changed_.notify_all();
        lock.unlock();
        // Served by the event loop, or by a ServeUntil on the main thread.
        QMetaObject::invokeMethod(QCoreApplication::instance(), [this] { RunPending(); }, Qt::QueuedConnection);
        lock.lock();
        changed_.wait(lock, [&] { return call.done; });
        if (call.error)
            std::rethrow_exception(call.error);
    }

    void RunPending()
    {
        std::unique_lock lock(mutex_);
        RunPendingLocked(lock);
    }

    void ServeUntil(const std::function<bool()>& done)
    {
        std::unique_lock lock(mutex_);
        for (;;) {
            RunPendingLocked(lock);
            if (done())
                return;
            const unsigned seen = generation_;
            changed_.wait(lock, [&] { return generation_ != seen; });
        }
    }

    void Wake()
    {
        std::lock_guard lock(mutex_);
        ++generation_;
        changed_.notify_all();
    }

private:
    // One call at a time and unlocked while it runs, so that a call may itself hand
    // work over or wait.
    void RunPendingLocked(std::unique_lock<std::mutex>& lock)
    {
        while (!calls_.empty()) {
            BlockingCall* call = calls_.front();
            calls_.pop_front();
            lock.unlock();
            try {
                call->task();
            } catch (...) {
                call->error = std::current_exception();
            }
            lock.lock();
            call->done = true;
            changed_.notify_all();
        }
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<BlockingCall*> calls_;
    unsigned generation_ = 0;
};

} // namespace

bool IsMainThread()
{
    const QCoreApplication* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

void PostToMainThread(std::function<void()> task)
{
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [task = std::move(task)] { RunGuarded(task); }, Qt::QueuedConnection);
}

void RunOnMainThread(const std::function<void()>& task)
{
    if (IsMainThread())
        task();
    else
        CallQueue::Instance().RunAndWait(task);
}

void ServeMainThreadCallsUntil(const std::function<bool()>& done)
{
    CallQueue::Instance().ServeUntil(done);
}

void WakeMainThread()
{
    CallQueue::Instance().Wake();
}

} // namespace framework
