#include "framework/application.h"
#include "framework/main_thread.h"
#include "net/inet/exceptions.h"
#include "net/inet/thread.h"
#include "tests/support/event_loop.h"
#include "tests/support/fakes.h"
#include "tests/support/process_stats.h"
#include "tests/support/watchdog.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

using namespace net::inet; // the components under test
using testsupport::Watchdog;
using namespace std::chrono_literals;

namespace {

// A worker whose step the test writes, and which notes its hooks as they run.
class ScriptedThread final : public TIdThread {
public:
    explicit ScriptedThread(std::function<void(ScriptedThread&)> step) : step_(std::move(step)) {}
    ~ScriptedThread() override { TerminateAndWaitFor(); }

    using TIdThread::SleepUnlessTerminated;
    using TIdThread::WaitReadableUnlessTerminated;

    std::vector<std::string> Trail() const
    {
        const std::lock_guard lock(mutex_);
        return trail_;
    }

    std::atomic<int> steps{0};

protected:
    void WorkStep() override
    {
        ++steps;
        step_(*this);
    }
    void BeforeExecute() override { Note("BeforeExecute"); }
    void BeforeStepLoop() override { Note("BeforeStepLoop"); }
    void AfterStepLoop() override { Note("AfterStepLoop"); }
    void AfterExecute() override { Note("AfterExecute"); }

private:
    void Note(const std::string& hook)
    {
        const std::lock_guard lock(mutex_);
        trail_.push_back(hook);
    }

    std::function<void(ScriptedThread&)> step_;
    mutable std::mutex mutex_;
    std::vector<std::string> trail_;
};

std::string MessageOf(const std::exception_ptr& error)
{
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& caught) {
        return caught.what();
    }
}

const std::vector<std::string> kAllHooks{"BeforeExecute", "BeforeStepLoop", "AfterStepLoop", "AfterExecute"};

} // namespace

TEST(WorkerThread, RunsNoStepUntilStarted)
{
    Watchdog watchdog(20s);
    const int threads = testsupport::ThreadsOf(getpid());
    ScriptedThread thread([](ScriptedThread& self) { self.SleepUnlessTerminated(1ms); });
    EXPECT_EQ(testsupport::ThreadsOf(getpid()), threads); // nothing runs that could take a step
    EXPECT_EQ(thread.steps, 0);
    EXPECT_TRUE(thread.IsHalted());
    EXPECT_FALSE(thread.Terminated());

    thread.StartThread();
    EXPECT_FALSE(thread.IsHalted());
    EXPECT_TRUE(testsupport::ProcessEventsUntil([&] { return thread.steps >= 3; }));

    thread.StopThread();
    thread.WaitFor();
    EXPECT_TRUE(thread.IsHalted());
    EXPECT_TRUE(thread.Terminated());
    EXPECT_EQ(thread.Trail(), kAllHooks);
    EXPECT_EQ(thread.EndingException(), nullptr);
}

TEST(WorkerThread, ExceptionInAStepEndsTheThreadQuietly)
{
    Watchdog watchdog(20s);
    testsupport::FakeAlerts alerts;
    framework::TApplication application(alerts);
    ScriptedThread thread([](ScriptedThread&) { throw EIdSocketError(10054); });

    thread.StartThread();
    EXPECT_TRUE(testsupport::ProcessEventsUntil([&] { return thread.EndingException() != nullptr; }));
    EXPECT_TRUE(thread.IsHalted());
    // The owner's stop and wait find the thread ended; starting it again runs nothing.
    thread.StopThread();
    thread.WaitFor();
    thread.StartThread();
    thread.WaitFor();

    EXPECT_EQ(thread.steps, 1);
    EXPECT_EQ(MessageOf(thread.EndingException()), "Socket Error # 10054\r\nConnection reset by peer.");
    // The hooks after the steps run on the way out all the same.
    EXPECT_EQ(thread.Trail(), kAllHooks);
    EXPECT_TRUE(alerts.shown.empty());
}

TEST(WorkerThread, TerminateAndWaitForEndsAThreadNeverStarted)
{
    Watchdog watchdog(20s);
    ScriptedThread thread([](ScriptedThread&) {});
    thread.TerminateAndWaitFor();
    EXPECT_EQ(thread.steps, 0);
    EXPECT_TRUE(thread.Terminated());
    EXPECT_EQ(thread.Trail(), (std::vector<std::string>{"BeforeExecute", "AfterExecute"}));
}

TEST(WorkerThread, TerminateCutsASleepShort)
{
    Watchdog watchdog(20s);
    std::atomic<bool> cut{false};
    ScriptedThread thread([&](ScriptedThread& self) { cut = self.SleepUnlessTerminated(1h); });
    thread.StartThread();
    EXPECT_TRUE(testsupport::ProcessEventsUntil([&] { return thread.steps == 1; }));
    thread.TerminateAndWaitFor();
    EXPECT_TRUE(cut);
}

TEST(WorkerThread, AWaitForADescriptorEndsWhenItTurnsReadableOrTheThreadIsAskedToEnd)
{
    Watchdog watchdog(20s);
    int ends[2];
    ASSERT_EQ(pipe2(ends, O_CLOEXEC | O_NONBLOCK), 0);
    const platform::UniqueFd readEnd(ends[0]);
    const platform::UniqueFd writeEnd(ends[1]);
    std::atomic<int> woken{0};
    std::atomic<bool> cut{false};
    // Without a limit: only a byte or the stop may end a wait; one that ended otherwise
    // would read nothing and begin another step.
    ScriptedThread thread([&](ScriptedThread& self) {
        cut = self.WaitReadableUnlessTerminated(readEnd.Get(), std::nullopt);
        char byte = 0;
        if (!cut && read(readEnd.Get(), &byte, 1) == 1)
            ++woken;
    });
    thread.StartThread();
    for (int sent = 1; sent <= 3; ++sent) {
        ASSERT_EQ(write(writeEnd.Get(), "x", 1), 1);
        ASSERT_TRUE(testsupport::ProcessEventsUntil([&] { return woken == sent && thread.steps == sent + 1; }));
    }
    thread.TerminateAndWaitFor();
    EXPECT_TRUE(cut);
    EXPECT_EQ(thread.steps, 4);
    EXPECT_EQ(woken, 3);
}

TEST(WorkerThread, MainThreadCallRunsThereAndCarriesItsExceptionBack)
{
    Watchdog watchdog(20s);
    std::thread::id ranOn;
    ScriptedThread thread([&](ScriptedThread&) {
        framework::RunOnMainThread([&] {
            ranOn = std::this_thread::get_id();
            throw EIdMCastNoBindings();
        });
    });
    thread.StartThread();
    EXPECT_TRUE(testsupport::ProcessEventsUntil([&] { return thread.EndingException() != nullptr; }));
    thread.WaitFor();
    EXPECT_EQ(ranOn, std::this_thread::get_id());
    EXPECT_EQ(MessageOf(thread.EndingException()), "No bindings specified.");
    EXPECT_EQ(thread.steps, 1);
}

TEST(WorkerThread, MainThreadWaitServesACallTheWorkerIsBlockedIn)
{
    Watchdog watchdog(20s);
    std::atomic<bool> asking{false};
    std::atomic<int> served{0};
    ScriptedThread thread([&](ScriptedThread&) {
        asking = true;
        framework::RunOnMainThread([&] { ++served; });
    });
    thread.StartThread();
    while (!asking)
        std::this_thread::sleep_for(1ms);
    // The event loop does not run here: only the wait itself can serve the call.
    thread.TerminateAndWaitFor();
    EXPECT_EQ(served, 1);
    EXPECT_EQ(thread.EndingException(), nullptr);
}

TEST(WorkerThread, LiveThreadCountFollowsTheObjects)
{
    const int before = TIdThread::LiveThreadCount();
    auto first = std::make_unique<ScriptedThread>([](ScriptedThread& self) { self.SleepUnlessTerminated(1h); });
    auto second = std::make_unique<ScriptedThread>([](ScriptedThread&) {});
    EXPECT_EQ(TIdThread::LiveThreadCount(), before + 2);
    first->StartThread();
    first.reset();
    EXPECT_EQ(TIdThread::LiveThreadCount(), before + 1);
    second.reset();
    EXPECT_EQ(TIdThread::LiveThreadCount(), before);
}
