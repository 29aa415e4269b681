#pragma once

#include "platform/unique_fd.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

namespace net::inet {

// Base of the components' worker threads: repeats WorkStep until the thread is stopped.
// An exception that leaves a step ends the thread quietly: it is kept (see
// EndingException) and shown to no one. A worker reaches the main thread only through
// framework::RunOnMainThread, which blocks it until the main thread has run the call.
//
// A thread is made suspended and begins with the first StartThread. Stopping always
// ends it; it cannot be started again. Its owner must let it end (TerminateAndWaitFor,
// or StopThread and WaitFor) before the object goes: a concrete thread makes sure of
// that in its own destructor, as the base's would come after the derived parts are gone.
class TIdThread {
public:
    TIdThread(const TIdThread&) = delete;
    TIdThread& operator=(const TIdThread&) = delete;
    virtual ~TIdThread();

    // Lets a suspended thread run. A thread already told to end is let run so that it
    // can end.
    void StartThread();
    // Asks a running thread to end after its current step.
    void StopThread();
    // Asks the thread to end, whatever its state.
    void TerminateThread();
    // Asks the thread to end and waits until it has.
    void TerminateAndWaitFor();
    // Waits until the thread has ended; at once for one never started. On the main
    // thread the wait keeps running the calls that workers hand over, so a worker
    // blocked in such a call can still end. Never from the thread itself.
    void WaitFor();

    // Suspended, or asked to end: no further step begins.
    bool IsHalted() const;
    bool Terminated() const;
    // The exception that ended the thread, or null.
    std::exception_ptr EndingException() const;

    // Thread objects alive in the process, running or not.
    static int LiveThreadCount();

protected:
    TIdThread();

    // One pass of the thread's work.
    virtual void WorkStep() = 0;

    // Around the work, on the thread; empty here. The last two also run when a step
    // has raised.
    virtual void BeforeExecute() {}
    virtual void BeforeStepLoop() {}
    virtual void AfterStepLoop() {}
    virtual void AfterExecute() {}

    // Sleeps for `duration`, cut short when the thread is asked to end; true then.
    bool SleepUnlessTerminated(std::chrono::milliseconds duration);
    // Waits until `descriptor` has something to read or a fault to tell, `timeout` has
    // passed (none: no limit), or the thread is asked to end; true in the last case. A
    // negative descriptor is not watched. Where the system cannot wait for the stop on a
    // descriptor (it had none left when the thread was made, or the wait fails), the call
    // returns within half a second all the same, so callers look again at what they wait
    // for whenever it returns.
    bool WaitReadableUnlessTerminated(int descriptor, std::optional<std::chrono::milliseconds> timeout);

private:
    // Marks the thread as asked to end and wakes its waits; lock_ held.
    void MarkTerminated();
    void Execute();
    // Runs one part of the thread's life; what it raises ends the thread and is kept as
    // the ending exception. False when it raised.
    bool RunPart(const std::function<void()>& part) noexcept;

    mutable std::mutex lock_;
    std::condition_variable terminating_;
    // Readable once the thread is asked to end, for waits in the system; empty when the
    // system had no descriptor to give.
    platform::UniqueFd termination_;
    bool started_ = false;
    bool terminated_ = false;
    std::exception_ptr endingException_;
    std::thread thread_;
    std::atomic<bool> finished_{false};
};

} // namespace net::inet
