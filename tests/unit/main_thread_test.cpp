// The one road to the main thread: the order it keeps, its waits and its shares.

#include "framework/main_thread.h"
#include "tests/support/event_loop.h"

#include <QCoreApplication>
#include <QTimer>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using testsupport::ProcessEventsUntil;

// What ran on the main thread, in order.
class Trail {
public:
    std::function<void()> Note(std::string what)
    {
        return [this, what = std::move(what)] {
            EXPECT_TRUE(framework::IsMainThread());
            const std::lock_guard lock(mutex_);
            entries_.push_back(what);
        };
    }

    std::vector<std::string> Entries() const
    {
        const std::lock_guard lock(mutex_);
        return entries_;
    }

    std::size_t Size() const { return Entries().size(); }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> entries_;
};

// Runs the loop until everything queued so far has run.
void Settle()
{
    bool reached = false;
    framework::PostToMainThread([&] { reached = true; });
    ASSERT_TRUE(ProcessEventsUntil([&] { return reached; }));
}

} // namespace

TEST(OneRoad, WorkFromSeveralThreadsRunsInTheOrderItWasQueued)
{
    Trail trail;
    // Two threads take turns, each posting once the other's post has returned.
    std::atomic<int> turn{0};
    const auto takeTurns = [&](const std::string& name, int first) {
        for (int i = first; i < 10; i += 2) {
            while (turn != i)
                std::this_thread::yield();
            framework::PostToMainThread(trail.Note(name + std::to_string(i)));
            turn = i + 1;
        }
    };
    std::thread even(takeTurns, "even ", 0);
    std::thread odd(takeTurns, "odd ", 1);
    even.join();
    odd.join();
    // Then a worker's call, queued behind them all, and a post made once it has returned.
    std::thread caller([&] {
        framework::RunOnMainThread(trail.Note("call"));
        framework::PostToMainThread(trail.Note("after the call"));
    });
    ASSERT_TRUE(ProcessEventsUntil([&] { return trail.Size() == 12; }));
    caller.join();
    EXPECT_EQ(trail.Entries(),
              (std::vector<std::string>{"even 0", "odd 1", "even 2", "odd 3", "even 4", "odd 5", "even 6", "odd 7",
                                        "even 8", "odd 9", "call", "after the call"}));
}

TEST(OneRoad, WhatTheLoopReportsRunsAtOnceOnlyWhenNothingWaitsAhead)
{
    Settle();
    Trail trail;
    framework::RunOrPostOnMainThread(trail.Note("at once"));
    EXPECT_EQ(trail.Size(), 1u);

    framework::PostToMainThread(trail.Note("queued first"));
    framework::RunOrPostOnMainThread(trail.Note("reported"));
    EXPECT_EQ(trail.Size(), 1u);
    // Nor does a report from a queued item nest in it.
    framework::PostToMainThread([&] {
        framework::RunOrPostOnMainThread(trail.Note("reported inside"));
        trail.Note("item done")();
    });
    Settle();
    EXPECT_EQ(trail.Entries(),
              (std::vector<std::string>{"at once", "queued first", "reported", "item done", "reported inside"}));
}

TEST(OneRoad, AWaitServesTheCallsAndLeavesPostedWorkToTheLoop)
{
    Trail trail;
    std::atomic<bool> finished{false};
    std::thread worker([&] {
        framework::PostToMainThread(trail.Note("posted"));
        framework::RunOnMainThread(trail.Note("called"));
        finished = true;
        framework::WakeMainThread();
    });
    // No event loop runs here: only the wait can serve the call, and nothing else runs in it.
    framework::ServeMainThreadCallsUntil([&] { return finished.load(); });
    worker.join();
    EXPECT_EQ(trail.Entries(), (std::vector<std::string>{"called"}));

    Settle();
    EXPECT_EQ(trail.Entries(), (std::vector<std::string>{"called", "posted"}));
}

TEST(OneRoad, AnItemThatOpensANestedLoopDoesNotHoldUpTheQueue)
{
    bool laterRan = false;
    bool laterRanInside = false;
    bool callServedInside = false;
    framework::PostToMainThread([&] {
        // As a modal box would: the work queued behind goes on, and so do workers' calls.
        laterRanInside = ProcessEventsUntil([&] { return laterRan; });
        std::atomic<bool> served{false};
        std::thread worker([&] { framework::RunOnMainThread([&] { served = true; }); });
        callServedInside = ProcessEventsUntil([&] { return served.load(); });
        worker.join();
    });
    framework::PostToMainThread([&] { laterRan = true; });
    Settle();
    EXPECT_TRUE(laterRanInside);
    EXPECT_TRUE(callServedInside);
}

TEST(OneRoad, AFloodOfQueuedWorkLeavesTimersTheirTurn)
{
    Settle();
    constexpr int kItems = 100;
    int done = 0;
    int doneWhenTheTimerFired = -1;
    for (int i = 0; i < kItems; ++i) {
        framework::PostToMainThread([&] {
            const auto until = std::chrono::steady_clock::now() + 1ms;
            while (std::chrono::steady_clock::now() < until) {
            }
            ++done;
        });
    }
    QTimer::singleShot(1ms, [&] { doneWhenTheTimerFired = done; });
    ASSERT_TRUE(ProcessEventsUntil([&] { return done == kItems && doneWhenTheTimerFired >= 0; }));
    // Shares of 10 ms: the timer comes after a handful of items, not after the lot.
    EXPECT_LT(doneWhenTheTimerFired, kItems / 2);
}

TEST(OneRoad, AClosedMailboxDropsWhatIsQueuedAndWhatComesLater)
{
    Trail trail;
    framework::MainThreadMailbox mailbox;
    mailbox.Post(trail.Note("before"));
    // Closed by an item of its own, as a socket object freed by its own notification is.
    mailbox.Post([&] { mailbox.Close(); });
    mailbox.Post(trail.Note("queued behind the close"));
    ASSERT_TRUE(ProcessEventsUntil([&] { return !mailbox.IsOpen(); }));

    // A thread that outlived the owner posts into nothing.
    std::thread late([mailbox] { mailbox.Post([] { ADD_FAILURE() << "ran after the close"; }); });
    late.join();
    Settle();
    EXPECT_EQ(trail.Entries(), (std::vector<std::string>{"before"}));
}
