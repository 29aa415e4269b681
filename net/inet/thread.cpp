#include "net/inet/thread.h"

#include "framework/main_thread.h"

namespace {

std::atomic<int> liveThreadCount{0};

} // namespace

TIdThread::TIdThread()
{
    ++liveThreadCount;
}

TIdThread::~TIdThread()
{
    TerminateThread();
    WaitFor();
    --liveThreadCount;
}

int TIdThread::LiveThreadCount()
{
    return liveThreadCount;
}

void TIdThread::StartThread()
{
    const std::lock_guard lock(lock_);
    if (started_)
        return;
    started_ = true;
    thread_ = std::thread([this] { Execute(); });
}

void TIdThread::StopThread()
{
    const std::lock_guard lock(lock_);
    if (started_ && !terminated_) {
        terminated_ = true;
        terminating_.notify_all();
    }
}

void TIdThread::TerminateThread()
{
    const std::lock_guard lock(lock_);
    terminated_ = true;
    terminating_.notify_all();
}

void TIdThread::TerminateAndWaitFor()
{
    TerminateThread();
    StartThread();
    WaitFor();
}

void TIdThread::WaitFor()
{
    if (!thread_.joinable())
        return;
    if (framework::IsMainThread())
        framework::ServeMainThreadCallsUntil([this] { return finished_.load(); });
    thread_.join();
}

bool TIdThread::IsHalted() const
{
    const std::lock_guard lock(lock_);
    return !started_ || terminated_;
}

bool TIdThread::Terminated() const
{
    const std::lock_guard lock(lock_);
    return terminated_;
}

std::exception_ptr TIdThread::EndingException() const
{
    const std::lock_guard lock(lock_);
    return endingException_;
}

bool TIdThread::SleepUnlessTerminated(std::chrono::milliseconds duration)
{
    std::unique_lock lock(lock_);
    return terminating_.wait_for(lock, duration, [this] { return terminated_; });
}

void TIdThread::Execute()
{
    // Nothing may leave a thread's function; what reaches here ends the thread quietly.
    try {
        BeforeExecute();
        try {
            if (!IsHalted())
                RunSteps();
        } catch (...) {
            AfterExecute();
            throw;
        }
        AfterExecute();
    } catch (...) {
        {
            const std::lock_guard lock(lock_);
            endingException_ = std::current_exception();
        }
        TerminateThread();
    }
    finished_ = true;
    framework::WakeMainThread();
}

void TIdThread::RunSteps()
{
    BeforeStepLoop();
    try {
        while (!IsHalted())
            WorkStep();
    } catch (...) {
        TerminateThread();
        AfterStepLoop();
        throw;
    }
    AfterStepLoop();
}
