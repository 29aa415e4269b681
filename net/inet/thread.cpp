#include "net/inet/thread.h"

#include "framework/main_thread.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>

namespace net::inet {
namespace {

std::atomic<int> liveThreadCount{0};

} // namespace

TIdThread::TIdThread() : termination_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
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
    if (started_ && !terminated_)
        MarkTerminated();
}

void TIdThread::TerminateThread()
{
    const std::lock_guard lock(lock_);
    MarkTerminated();
}

void TIdThread::MarkTerminated()
{
    terminated_ = true;
    terminating_.notify_all();
    if (termination_) {
        // Only a count above zero matters: a write that finds it full changes nothing.
        constexpr std::uint64_t kOne = 1;
        [[maybe_unused]] const ssize_t written = write(termination_.Get(), &kOne, sizeof kOne);
    }
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

bool TIdThread::WaitReadableUnlessTerminated(int descriptor, std::optional<std::chrono::milliseconds> timeout)
{
    constexpr std::chrono::milliseconds kLongestBlindWait{500};
    if (!termination_)
        timeout = std::min(timeout.value_or(kLongestBlindWait), kLongestBlindWait);
    pollfd watched[] = {{descriptor, POLLIN, 0}, {termination_.Get(), POLLIN, 0}};
    const int limit =
        timeout ? static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(timeout->count(), 0, INT_MAX)) : -1;
    if (poll(watched, 2, limit) < 0 && errno != EINTR)
        return SleepUnlessTerminated(std::min(timeout.value_or(kLongestBlindWait), kLongestBlindWait));
    return Terminated();
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
