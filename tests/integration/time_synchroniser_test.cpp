// Finding another synchroniser: a fake systemd-timedated on a private bus, and a fake
// kernel state for when the bus or the service is not there.

#include "platform/time_synchroniser.h"
#include "tests/support/event_loop.h"
#include "tests/support/private_bus.h"

#include <gtest/gtest.h>

using platform::SynchroniserFinding;
using Source = platform::SynchroniserFinding::Source;

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

    // A connection of its own: Qt hands out the same one again for a name it knows.
    static QDBusConnection Connection(const std::string& address)
    {
        static int connections = 0;
        const QString name = QString("tavrin-test-%1").arg(++connections);
        return QDBusConnection::connectToBus(QString::fromStdString(address), name);
    }
    QDBusConnection Connection() { return Connection(bus_.Address()); }

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
        platform::SystemSynchroniserProbe probe(Connection(), kernel_);
        const std::optional<SynchroniserFinding> answer = AnswerOf(probe);
        ASSERT_TRUE(answer);
        EXPECT_EQ(*answer, (SynchroniserFinding{Source::Timedated, c.ntp, c.synchronised}));
        EXPECT_EQ(answer->Active(), c.ntp || c.synchronised);
    }
}

TEST_F(SynchroniserProbe, AsksTheKernelWhenTimedatedIsNotOnTheBus)
{
    kernel_.synchronised = true;
    platform::SystemSynchroniserProbe probe(Connection(), kernel_);
    EXPECT_EQ(AnswerOf(probe), (SynchroniserFinding{Source::Kernel, false, true}));
    kernel_.synchronised = false;
    EXPECT_EQ(AnswerOf(probe), (SynchroniserFinding{Source::Kernel, false, false}));
}

TEST_F(SynchroniserProbe, AsksTheKernelWhenThereIsNoBusAndSaysNothingWhenThatFailsToo)
{
    const QDBusConnection none = Connection("unix:path=/nonexistent/bus");
    ASSERT_FALSE(none.isConnected());
    kernel_.synchronised = true;
    platform::SystemSynchroniserProbe probe(none, kernel_);
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
        platform::SystemSynchroniserProbe probe(Connection(), kernel_);
        probe.Ask([&](const SynchroniserFinding&) { answered = true; });
    }
    // A second probe's answer is the marker that the first one's call has come back.
    platform::SystemSynchroniserProbe marker(Connection(), kernel_);
    ASSERT_TRUE(AnswerOf(marker));
    EXPECT_FALSE(answered);
}
