#include "platform/termination_signals.h"
#include "tests/support/event_loop.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include <gtest/gtest.h>

TEST(TerminationSignals, TermIntAndHupEachEndThroughTheMainLoop)
{
    platform::TerminationSignals signals;
    int received = 0;
    QObject::connect(&signals, &platform::TerminationSignals::received, [&] { ++received; });
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
        const int before = received;
        ASSERT_EQ(std::raise(signal), 0); // the default action would end this test program
        EXPECT_TRUE(testsupport::ProcessEventsUntil([&] { return received == before + 1; })) << strsignal(signal);
    }
}

TEST(TerminationSignals, AClosedOutputOnlyFailsTheWrite)
{
    const platform::TerminationSignals signals;
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    close(ends[0]);
    std::FILE* const out = fdopen(ends[1], "w");
    ASSERT_NE(out, nullptr);
    // As the dry run prints its lines: SIGPIPE by default, the end of this test program.
    std::fputs("dry run: clock not set\n", out);
    EXPECT_NE(std::fflush(out), 0);
    EXPECT_EQ(errno, EPIPE);
    std::fclose(out);
}
