// The service's link to the system bus: it connects once the bus answers, again after the
// bus was gone, and never lets a silent bus hold the loop; each change is said once.

#include "framework/scope_exit.h"
#include "platform/bus_link.h"
#include "platform/log.h"
#include "tests/support/event_loop.h"
#include "tests/support/log_lines.h"
#include "tests/support/private_bus.h"
#include "tests/support/silent_bus.h"
#include "tests/support/watchdog.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <filesystem>

using namespace std::chrono_literals;
using testsupport::ProcessEventsUntil;

namespace {

constexpr char kNotUsable[] = "cannot be used";
constexpr char kNoBus[] = "(nothing listens there)";
constexpr char kAnswers[] = "answers now";

} // namespace

TEST(BusLink, ConnectsWhenTheBusComesAndAgainAfterItWasGone)
{
    const QTemporaryDir folder;
    const std::string socket = folder.path().toStdString() + "/bus";
    const std::string address = "unix:path=" + socket;
    // Where no bus runs, the log says so, naming the bus as this program knows it.
    const QByteArray systemBus = qgetenv("DBUS_SYSTEM_BUS_ADDRESS");
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str());
    const framework::ScopeExit restore([&]() noexcept { qputenv("DBUS_SYSTEM_BUS_ADDRESS", systemBus); });
    const testsupport::LogLines log("tavrin.service");
    int connections = 0;
    int unavailable = 0; // looks that found no bus since the last connection
    const platform::BusLink link(
        address, "the test's object", &platform::lcService,
        [&](const QDBusConnection& bus) {
            EXPECT_TRUE(bus.isConnected());
            ++connections;
            unavailable = 0;
        },
        200ms, 100ms, [&] { ++unavailable; });
    ASSERT_TRUE(ProcessEventsUntil([&] { return log.Count(kNoBus) == 1; }));
    EXPECT_EQ(log.Count("no system bus at " + address + " " + kNoBus + ": the test's object waits for it"), 1);
    EXPECT_GE(unavailable, 1); // each look says so, the log only the first

    for (int round = 1; round <= 2; ++round) {
        SCOPED_TRACE(round);
        {
            const testsupport::PrivateBus bus({}, socket);
            ASSERT_FALSE(bus.Address().empty()) << bus.Errors();
            ASSERT_TRUE(ProcessEventsUntil([&] { return connections == round; }));
            EXPECT_TRUE(link.Connection().isConnected());
            EXPECT_EQ(log.Count(kAnswers), round);
            EXPECT_EQ(unavailable, 0);
        }
        // The daemon is gone: the loss is noticed at the next look, and said once.
        ASSERT_TRUE(ProcessEventsUntil([&] { return log.Count(kNotUsable) == round; }));
        EXPECT_EQ(log.Count("the connection was lost"), round);
        EXPECT_GE(unavailable, 1);
        std::filesystem::remove(socket);
    }
    EXPECT_EQ(log.Count(kNotUsable), 2);
    EXPECT_EQ(log.Count(kNoBus), 1);
}

TEST(BusLink, ASilentBusIsLookedAtAgainWithoutHoldingTheLoopAndSaidOnce)
{
    const testsupport::Watchdog watchdog(60s); // a link that blocks fails instead of hanging
    for (const auto silence :
         {testsupport::SilentBus::Silence::FromTheStart, testsupport::SilentBus::Silence::AfterAuthentication}) {
        const testsupport::SilentBus silent(silence);
        ASSERT_FALSE(silent.Address().empty());
        const testsupport::LogLines log("tavrin.service");
        bool connected = false;
        int unavailable = 0;
        const platform::BusLink link(
            silent.Address(), "the test's object", &platform::lcService,
            [&](const QDBusConnection&) { connected = true; }, 150ms, 100ms, [&] { ++unavailable; });
        // Each look is a connection to the silent bus, made from the loop.
        ASSERT_TRUE(ProcessEventsUntil([&] { return silent.Connections() >= 4; }, 10s));
        EXPECT_FALSE(connected);
        EXPECT_GE(unavailable, 3); // all but the look still under way gave up
        EXPECT_FALSE(link.Connection().isConnected());
        EXPECT_EQ(log.Count(kNotUsable), 1);
        EXPECT_EQ(log.Count("does not answer within 150 ms"), 1);
    }
}
