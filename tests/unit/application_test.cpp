#include "framework/application.h"
#include "framework/exception.h"
#include "framework/main_thread.h"
#include "tests/support/event_loop.h"
#include "tests/support/fakes.h"

#include <QCoreApplication>
#include <QTimer>

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>

using framework::Exception;
using framework::TApplication;
using testsupport::FakeAlerts;

TEST(ExceptionDisplay, ShowsTheMessageCaptionedWithTheTitle)
{
    FakeAlerts alerts;
    TApplication application(alerts);
    application.Title = "Tavrin Client";
    framework::RunGuarded([] { throw Exception("Failed to set data for 'server'"); });
    ASSERT_EQ(alerts.shown.size(), 1u);
    EXPECT_EQ(alerts.shown[0].caption, "Tavrin Client");
    EXPECT_EQ(alerts.shown[0].text, "Failed to set data for 'server'");
    EXPECT_EQ(alerts.shown[0].icon, platform::AlertIcon::Error);
}

TEST(ExceptionDisplay, GuardedHandlerLetsTheProgramGoOn)
{
    FakeAlerts alerts;
    TApplication application(alerts);
    int runs = 0;
    auto handler = framework::Guarded([&] {
        ++runs;
        throw std::runtime_error("boom");
    });
    handler();
    handler();
    EXPECT_EQ(runs, 2);
    EXPECT_EQ(alerts.shown.size(), 2u);
}

TEST(ExceptionDisplay, BoxesNeverNestAndRepeatsAreCounted)
{
    FakeAlerts alerts;
    TApplication application(alerts);
    int depth = 0;
    int deepest = 0;
    bool burstSent = false;
    // While the first box is open, a burst of errors arrives from its modal loop.
    alerts.whileShown = [&] {
        ++depth;
        deepest = std::max(deepest, depth);
        if (!burstSent) {
            burstSent = true;
            for (int i = 0; i < 1000; ++i)
                application.HandleException(Exception("Asynchronous socket error 10054"));
            application.HandleException(Exception("other"));
        }
        --depth;
    };
    application.HandleException(Exception("first"));

    EXPECT_EQ(deepest, 1);
    ASSERT_EQ(alerts.shown.size(), 3u);
    EXPECT_EQ(alerts.shown[0].text, "first");
    EXPECT_EQ(alerts.shown[1].text, "Asynchronous socket error 10054\n\n(1000 times)");
    EXPECT_EQ(alerts.shown[2].text, "other");
}

TEST(ExceptionDisplay, KeepsOnlyAFewDistinctWaitingMessages)
{
    FakeAlerts alerts;
    TApplication application(alerts);
    bool burstSent = false;
    alerts.whileShown = [&] {
        if (burstSent)
            return;
        burstSent = true;
        for (int i = 0; i < 50; ++i)
            application.HandleException(Exception("error " + std::to_string(i)));
    };
    application.HandleException(Exception("first"));
    // Four wait; the rest of the burst is dropped.
    std::vector<std::string> texts;
    for (const testsupport::AlertRecord& alert : alerts.shown)
        texts.push_back(alert.text);
    EXPECT_EQ(texts, std::vector<std::string>({"first", "error 0", "error 1", "error 2", "error 3"}));
}

TEST(Termination, AskedBeforeTheLoopRunsItEndsTheLoopAtOnce)
{
    FakeAlerts alerts;
    TApplication application(alerts);
    application.Terminate();
    EXPECT_TRUE(application.Terminated());
    QTimer watchdog; // ends the loop with another code should the quit never come
    watchdog.callOnTimeout([] { QCoreApplication::exit(7); });
    watchdog.start(2000);
    EXPECT_EQ(QCoreApplication::exec(), 0);
}

TEST(MainThread, RunOnMainThreadBlocksUntilRunAndCarriesExceptionsBack)
{
    std::atomic<bool> ran{false};
    std::atomic<bool> workerDone{false};
    std::string caught;
    std::thread worker([&] {
        framework::RunOnMainThread([&] {
            EXPECT_TRUE(framework::IsMainThread());
            ran = true;
        });
        try {
            framework::RunOnMainThread([] { throw Exception("from main"); });
        } catch (const Exception& error) {
            caught = error.Message();
        }
        workerDone = true;
    });
    EXPECT_TRUE(testsupport::ProcessEventsUntil([&] { return workerDone.load(); }));
    worker.join();
    EXPECT_TRUE(ran);
    EXPECT_EQ(caught, "from main");
}

TEST(MainThread, AWaitOnTheMainThreadServesCallsSoTheThreadCanEnd)
{
    std::atomic<bool> finished{false};
    int served = 0;
    std::thread worker([&] {
        for (int i = 0; i < 3; ++i)
            framework::RunOnMainThread([&] { ++served; });
        finished = true;
        framework::WakeMainThread();
    });
    // No event loop runs here: only the wait itself can serve the calls.
    framework::ServeMainThreadCallsUntil([&] { return finished.load(); });
    worker.join();
    EXPECT_EQ(served, 3);
}

TEST(MainThread, PostedTasksRunInOrderAndTheirErrorsReachTheDisplay)
{
    FakeAlerts alerts;
    TApplication application(alerts);
    std::vector<int> order;
    std::thread poster([&] {
        for (int i = 0; i < 100; ++i)
            framework::PostToMainThread([&order, i] { order.push_back(i); });
        framework::PostToMainThread([] { throw Exception("late failure"); });
    });
    poster.join();
    EXPECT_TRUE(testsupport::ProcessEventsUntil([&] { return !alerts.shown.empty(); }));
    ASSERT_EQ(order.size(), 100u);
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(order[i], i);
    EXPECT_EQ(alerts.shown[0].text, "late failure");
}
