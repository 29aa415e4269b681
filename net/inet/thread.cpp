#include "net/inet/thread.h"

#include "framework/main_thread.h"

namespace net::inet {
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

// Nothing may leave a thread's function: what a part of its life raises ends the thread
// quietly. The hooks after the steps still run when a step has raised.
void TIdThread::Execute()
{
    if (RunPart([this] { BeforeExecute(); })) {
        if (!IsHalted() && RunPart([this] { BeforeStepLoop(); })) {
            RunPart([this] {
                while (!IsHalted())
                    WorkStep();
            });
            RunPart([this] { AfterStepLoop(); });
        }
        RunPart([this] { AfterExecute(); });
    }
    finished_ = true;
    framework::WakeMainThread();
}

bool TIdThread::RunPart(const std::function<void()>& part) noexcept
{
    try {
        part();
        return true;
    } catch (...) {
        {
            const std::lock_guard lock(lock_);
            endingException_ = std::current_exception(); // the latest one tells how it ended
        }
        TerminateThread();
        return false;
    }
}

} // namespace net::inet
