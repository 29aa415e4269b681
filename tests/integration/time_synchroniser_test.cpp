// Finding another synchroniser: a fake systemd-timedated on a private bus, a bus that never
// answers, and a fake kernel state for when the bus or the service is not there.

#include "platform/time_synchroniser.h"
#include "tests/support/event_loop.h"
#include "tests/support/private_bus.h"
#include "tests/support/silent_bus.h"
#include "tests/support/watchdog.h"

#include <QTimer>

#include <gtest/gtest.h>

#include <cstdlib>

using platform::SynchroniserFinding;
using Source = platform::SynchroniserFinding::Source;
using testsupport::SilentBus;
using namespace std::chrono_literals;

namespace {

class FakeKernelClockState final : public platform::KernelClockState {
public:
    std::optional<bool> Synchronised() const override { return synchronised; }

    std::optional<bool> synchronised = false;
};

// The probe's answer, waited for on the event loop.
std::optional<SynchroniserFinding> AnswerOf(platform::SynchroniserProbe& probe)
{
    std::optional<SynchroniserFinding> answer;
    probe.Ask([&](const SynchroniserFinding& finding) { answer = finding; });
    testsupport::ProcessEventsUntil([&] { return answer.has_value(); }, std::chrono::seconds(10));
    return answer;
}

class SynchroniserProbe : public testing::Test {
protected:
    void SetUp() override
    {
        if (bus_.Address().empty())
            GTEST_SKIP() << "no dbus-daemon to run a private bus";
    }

    testsupport::PrivateBus bus_;
    FakeKernelClockState kernel_;
};

} // namespace

TEST_F(SynchroniserProbe, TakesTimedatedsWordWhenItAnswers)
{
    struct Case {
        bool ntp;
        bool synchronised;
    };
    kernel_.synchronised = true; // never asked while timedated answers
    for (const Case c : {Case{true, true}, Case{true, false}, Case{false, true}, Case{false, false}}) {
        const auto timedated = bus_.StartTimedated(c.ntp, c.synchronised);
        ASSERT_TRUE(timedated) << "the fake timedated did not come up";
        platform::SystemSynchroniserProbe probe(bus_.Address(), kernel_);
        const std::optional<SynchroniserFinding> answer = AnswerOf(probe);
        ASSERT_TRUE(answer);
        EXPECT_EQ(*answer, (SynchroniserFinding{Source::Timedated, c.ntp, c.synchronised}));
        EXPECT_EQ(answer->Active(), c.ntp || c.synchronised);
    }
}

TEST_F(SynchroniserProbe, AsksTheKernelWhenTimedatedIsNotOnTheBus)
{
    kernel_.synchronised = true;
    platform::SystemSynchroniserProbe probe(bus_.Address(), kernel_);
    EXPECT_EQ(AnswerOf(probe), (SynchroniserFinding{Source::Kernel, false, true}));
    kernel_.synchronised = false;
    EXPECT_EQ(AnswerOf(probe), (SynchroniserFinding{Source::Kernel, false, false}));
}

TEST_F(SynchroniserProbe, AsksTheKernelWhenThereIsNoBusAndSaysNothingWhenThatFailsToo)
{
    kernel_.synchronised = true;
    platform::SystemSynchroniserProbe probe("unix:path=/nonexistent/bus", kernel_);
    EXPECT_EQ(AnswerOf(probe), (SynchroniserFinding{Source::Kernel, false, true}));
    kernel_.synchronised.reset();
    EXPECT_EQ(AnswerOf(probe), SynchroniserFinding{});
    EXPECT_FALSE(SynchroniserFinding{}.Active());
}

TEST_F(SynchroniserProbe, NoAnswerComesAfterTheProbeIsGone)
{
    const auto timedated = bus_.StartTimedated(true, true);
    ASSERT_TRUE(timedated);
    bool answered = false;
    {
        platform::SystemSynchroniserProbe probe(bus_.Address(), kernel_);
        probe.Ask([&](const SynchroniserFinding&) { answered = true; });
    }
    // A second probe's answer is the marker that the first one's call has come back.
    platform::SystemSynchroniserProbe marker(bus_.Address(), kernel_);
    ASSERT_TRUE(AnswerOf(marker));
    EXPECT_FALSE(answered);
}

TEST_F(SynchroniserProbe, ASilentBusHoldsNothingUpAndTheKernelAnswers)
{
    const testsupport::Watchdog watchdog(60s); // a probe that blocks fails instead of hanging
    kernel_.synchronised = true;
    for (const SilentBus::Silence silence :
         {SilentBus::Silence::FromTheStart, SilentBus::Silence::AfterAuthentication}) {
        const SilentBus silent(silence);
        ASSERT_FALSE(silent.Address().empty());
        platform::SystemSynchroniserProbe probe(silent.Address(), kernel_, 300ms);
        int ticks = 0;
        QTimer ticker;
        QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
        ticker.start(10);
        int ticksAtAnswer = -1;
        std::optional<SynchroniserFinding> answer;
        probe.Ask([&](const SynchroniserFinding& finding) {
            answer = finding;
            ticksAtAnswer = ticks;
        });
        EXPECT_FALSE(answer); // never from within Ask: the bus is being asked
        ASSERT_TRUE(testsupport::ProcessEventsUntil([&] { return answer.has_value(); }, 10s));
        EXPECT_EQ(*answer, (SynchroniserFinding{Source::Kernel, false, true}));
        EXPECT_GE(silent.Connections(), 1); // the bus was tried, and was silent
        EXPECT_GE(ticksAtAnswer, 3) << "the loop stood still while the bus was asked";

        // Asked again, the bus is tried again: it may have come back meanwhile.
        const int connections = silent.Connections();
        answer.reset();
        probe.Ask([&](const SynchroniserFinding& finding) { answer = finding; });
        ASSERT_TRUE(testsupport::ProcessEventsUntil([&] { return answer.has_value(); }, 10s));
        EXPECT_EQ(answer->source, Source::Kernel);
        EXPECT_TRUE(testsupport::ProcessEventsUntil([&] { return silent.Connections() > connections; }));
    }
}

TEST_F(SynchroniserProbe, AsksThatComeWhileTheBusIsCheckedAreAllAnswered)
{
    const SilentBus silent;
    platform::SystemSynchroniserProbe probe(silent.Address(), kernel_, 200ms);
    int answers = 0;
    for (int i = 0; i < 3; ++i)
        probe.Ask([&](const SynchroniserFinding&) { ++answers; });
    ASSERT_TRUE(testsupport::ProcessEventsUntil([&] { return answers == 3; }, 10s));
    EXPECT_EQ(silent.Connections(), 1); // one check served them all
}

TEST_F(SynchroniserProbe, NoAnswerComesFromASilentBusAfterTheProbeIsGone)
{
    const SilentBus silent;
    bool answered = false;
    {
        platform::SystemSynchroniserProbe probe(silent.Address(), kernel_, 100ms);
        probe.Ask([&](const SynchroniserFinding&) { answered = true; });
    }
    // The marker waits longer for the same bus than the first probe would have.
    platform::SystemSynchroniserProbe marker(silent.Address(), kernel_, 300ms);
    ASSERT_TRUE(AnswerOf(marker));
    EXPECT_FALSE(answered);
}

TEST(BusAddresses, TheUnixSocketIsTakenFromTheFirstEntryThatNamesOne)
{
    struct Case {
        std::string address;
        std::string socket;
    };
    const std::string abstract = std::string(1, '\0') + "/tmp/dbus-abc";
    for (const Case& c : {
             Case{"unix:path=/run/dbus/system_bus_socket", "/run/dbus/system_bus_socket"},
             Case{"unix:path=/tmp/a%20b,guid=0123", "/tmp/a b"},
             Case{"unix:guid=0123,path=/p", "/p"},
             Case{"tcp:host=localhost,port=1;unix:abstract=/tmp/dbus-abc", abstract},
             Case{"unix:tmpdir=/tmp;unix:path=/second", "/second"},
             Case{"unix:path=%zz", ""},
             Case{"unix:path=%4", ""},
             Case{"tcp:host=localhost,port=1", ""},
             Case{"unixpath=/x", ""},
             Case{"", ""},
         })
        EXPECT_EQ(platform::UnixSocketOfBusAddress(c.address), c.socket) << c.address;
}

TEST(BusAddresses, TheSystemBusIsTheEnvironmentsOrTheWellKnownSocket)
{
    const std::string saved = platform::SystemBusAddress();
    setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/elsewhere", 1);
    EXPECT_EQ(platform::SystemBusAddress(), "unix:path=/elsewhere");
    unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    EXPECT_EQ(platform::UnixSocketOfBusAddress(platform::SystemBusAddress()), "/var/run/dbus/system_bus_socket");
    setenv("DBUS_SYSTEM_BUS_ADDRESS", saved.c_str(), 1);
}
