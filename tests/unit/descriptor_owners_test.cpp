// The platform's descriptors go with their owners.

#include "platform/instance_lock.h"
#include "platform/termination_signals.h"
#include "tests/support/process_stats.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <optional>

#include <unistd.h>

TEST(DescriptorOwners, TerminationSignalsCloseTheirPipeAndGiveTheSignalsBack)
{
    const int before = testsupport::DescriptorsOf(getpid());
    std::optional<platform::TerminationSignals> signals(std::in_place);
    EXPECT_EQ(testsupport::DescriptorsOf(getpid()), before + 2);
    signals.reset();
    EXPECT_EQ(testsupport::DescriptorsOf(getpid()), before);
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
        struct sigaction action {};
        ASSERT_EQ(sigaction(signal, nullptr, &action), 0);
        EXPECT_EQ(action.sa_handler, SIG_DFL) << sigabbrev_np(signal);
    }
}

TEST(DescriptorOwners, InstanceLocksAreHeldWhileTheirOwnerLives)
{
    QTemporaryDir runtime;
    qputenv("XDG_RUNTIME_DIR", runtime.path().toUtf8());
    const int before = testsupport::DescriptorsOf(getpid());
    {
        platform::FileInstanceLocks first;
        ASSERT_TRUE(first.Acquire("tavrinc"));
        ASSERT_TRUE(first.Acquire("tclient"));
        platform::FileInstanceLocks second;
        EXPECT_FALSE(second.Acquire("tavrinc"));
        EXPECT_EQ(testsupport::DescriptorsOf(getpid()), before + 2); // the refused one is closed
    }
    EXPECT_EQ(testsupport::DescriptorsOf(getpid()), before);
    platform::FileInstanceLocks next;
    EXPECT_TRUE(next.Acquire("tavrinc"));
}
