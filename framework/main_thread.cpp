#include "framework/main_thread.h"

#include "framework/application.h"
#include "framework/scope_exit.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>

namespace framework {
namespace {

// The share of a turn of the loop that queued work may take.
constexpr std::chrono::milliseconds kTurnShare{10};

// A call that a worker waits on; it lives on the worker's stack until `done`.
struct BlockingCall {
    const std::function<void()>& task;
    std::exception_ptr error;
    bool done = false;
};

// One item of work: a posted task, or a call that a worker blocks in.
struct Item {
    std::function<void()> task;
    BlockingCall* call = nullptr;
};

class MainThreadQueue {
public:
    // Never destroyed: threads still queuing at process exit must not find it gone.
    static MainThreadQueue& Instance()
    {
        static MainThreadQueue* const queue = new MainThreadQueue;
        return *queue;
    }

    void Post(std::function<void()> task)
    {
        std::unique_lock lock(mutex_);
        items_.push_back({std::move(task), nullptr});
        RequestDrain(lock);
    }

    void RunOrPost(std::function<void()> task)
    {
        if (running_ > 0 || !Empty() || TurnSpent()) {
            Post(std::move(task));
            return;
        }
        Run(Item{std::move(task), nullptr});
    }

    void RunAndWait(const std::function<void()>& task)
    {
        BlockingCall call{task, nullptr, false};
        std::unique_lock lock(mutex_);
        items_.push_back({{}, &call});
        ++generation_; // a wait on the main thread serves it too
        changed_.notify_all();
        RequestDrain(lock);
        lock.lock();
        changed_.wait(lock, [&] { return call.done; });
        if (call.error)
            std::rethrow_exception(call.error);
    }

    void ServeCallsUntil(const std::function<bool()>& done)
    {
        std::unique_lock lock(mutex_);
        for (;;) {
            for (auto call = FirstCall(); call != items_.end(); call = FirstCall()) {
                Item item = std::move(*call);
                items_.erase(call);
                lock.unlock();
                Run(std::move(item));
                lock.lock();
            }
            const unsigned seen = generation_;
            lock.unlock();
            if (done())
                return;
            lock.lock();
            changed_.wait(lock, [&] { return generation_ != seen; });
        }
    }

    void Wake()
    {
        const std::lock_guard lock(mutex_);
        ++generation_;
        changed_.notify_all();
    }

private:
    using Clock = std::chrono::steady_clock;

    // Has the loop run Drain() soon, unless it is asked already. Unlocks `lock`.
    void RequestDrain(std::unique_lock<std::mutex>& lock)
    {
        const bool post = !drainRequested_;
        drainRequested_ = true;
        lock.unlock();
        if (post)
            QMetaObject::invokeMethod(
                QCoreApplication::instance(), [this] { Drain(); }, Qt::QueuedConnection);
    }

    // The loop's share of queued work. A drain asked for while it runs comes a turn later,
    // as the loop takes what is posted during a pass in its next one.
    void Drain()
    {
        std::unique_lock lock(mutex_);
        drainRequested_ = false;
        const Clock::time_point start = Clock::now();
        while (!items_.empty()) {
            if (Clock::now() - start >= kTurnShare) {
                RequestDrain(lock);
                return;
            }
            Item item = std::move(items_.front());
            items_.pop_front();
            // Asked before the item runs, so that a nested loop it opens goes on taking work.
            if (!items_.empty())
                RequestDrain(lock);
            else
                lock.unlock();
            Run(std::move(item));
            lock.lock();
        }
    }

    // By value, so that the task and what it holds are gone before Drain takes the lock again.
    void Run(Item item) // NOLINT(performance-unnecessary-value-param): see above
    {
        ++running_;
        const ScopeExit done([this]() noexcept { --running_; });
        if (!item.call) {
            RunGuarded(item.task);
            return;
        }
        try {
            item.call->task();
        } catch (...) {
            item.call->error = std::current_exception();
        }
        const std::lock_guard lock(mutex_);
        item.call->done = true;
        changed_.notify_all();
    }

    std::deque<Item>::iterator FirstCall()
    {
        auto item = items_.begin();
        while (item != items_.end() && !item->call)
            ++item;
        return item;
    }

    bool Empty()
    {
        const std::lock_guard lock(mutex_);
        return items_.empty();
    }

    // The turn lasts until the loop comes round to what was posted at its start, past the
    // timers and every other event source.
    bool TurnSpent()
    {
        const Clock::time_point now = Clock::now();
        if (!turnOpen_) {
            turnOpen_ = true;
            turnStart_ = now;
            QMetaObject::invokeMethod(
                QCoreApplication::instance(), [this] { turnOpen_ = false; }, Qt::QueuedConnection);
            return false;
        }
        return now - turnStart_ >= kTurnShare;
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Item> items_;
    unsigned generation_ = 0; // changes with every blocking call queued and every Wake()
    bool drainRequested_ = false;

    // The main thread's own.
    int running_ = 0; // items running, more than one when an item runs a nested loop
    bool turnOpen_ = false;
    Clock::time_point turnStart_;
};

} // namespace

bool IsMainThread()
{
    const QCoreApplication* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

void PostToMainThread(std::function<void()> task)
{
    MainThreadQueue::Instance().Post(std::move(task));
}

void RunOrPostOnMainThread(std::function<void()> task)
{
    MainThreadQueue::Instance().RunOrPost(std::move(task));
}

void RunOnMainThread(const std::function<void()>& task)
{
    if (IsMainThread())
        task();
    else
        MainThreadQueue::Instance().RunAndWait(task);
}

void ServeMainThreadCallsUntil(const std::function<bool()>& done)
{
    MainThreadQueue::Instance().ServeCallsUntil(done);
}

void WakeMainThread()
{
    MainThreadQueue::Instance().Wake();
}

// `open` changes on the main thread only, under the mutex, so the main thread reads it
// without; other threads read it under the mutex and post while they hold it.
struct MainThreadMailbox::State {
    std::mutex mutex;
    bool open = true;
};

MainThreadMailbox::MainThreadMailbox() : state_(std::make_shared<State>()) {}

void MainThreadMailbox::Post(std::function<void()> task) const
{
    const std::lock_guard lock(state_->mutex);
    if (!state_->open)
        return;
    PostToMainThread([state = state_, task = std::move(task)] {
        if (state->open)
            task();
    });
}

void MainThreadMailbox::RunOrPost(std::function<void()> task) const
{
    if (!state_->open)
        return;
    RunOrPostOnMainThread([state = state_, task = std::move(task)] {
        if (state->open)
            task();
    });
}

void MainThreadMailbox::Close() const
{
    const std::lock_guard lock(state_->mutex);
    state_->open = false;
}

bool MainThreadMailbox::IsOpen() const
{
    return state_->open;
}

} // namespace framework
