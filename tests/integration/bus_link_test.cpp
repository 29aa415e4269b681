// The service's link to the system bus: it connects once the bus answers, again after the
// bus was gone, and never lets a silent bus hold the loop; each change is said once.

#include "platform/bus_link.h"
#include "platform/log.h"
#include "platform/unique_fd.h"
#include "tests/support/event_loop.h"
#include "tests/support/log_lines.h"
#include "tests/support/private_bus.h"
#include "tests/support/silent_bus.h"
#include "tests/support/watchdog.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>

using namespace std::chrono_literals;
using testsupport::ProcessEventsUntil;

namespace {

constexpr char kNotUsable[] = "cannot be used";
constexpr char kNoBus[] = "(nothing listens there)";
constexpr char kAnswers[] = "answers now";

// Sets an environment variable for the scope, and puts back what was there.
class ScopedVariable {
public:
    ScopedVariable(const char* name, const std::string& value) : name_(name)
    {
        if (const char* before = std::getenv(name))
            before_ = before;
        setenv(name, value.c_str(), 1);
    }
    ~ScopedVariable()
    {
        if (before_)
            setenv(name_, before_->c_str(), 1);
        else
            unsetenv(name_);
    }
    ScopedVariable(const ScopedVariable&) = delete;
    ScopedVariable& operator=(const ScopedVariable&) = delete;

private:
    const char* name_;
    std::optional<std::string> before_;
};

// Leaves a socket file that nothing listens on, as a bus that ended without removing it.
void LeaveStaleSocket(const std::string& path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    const platform::UniqueFd socket(::socket(AF_UNIX, SOCK_STREAM, 0));
    ASSERT_EQ(bind(socket.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
}

} // namespace

TEST(BusLink, ConnectsWhenTheBusComesAndAgainAfterItWasGone)
{
    const QTemporaryDir folder;
    const std::string socket = folder.path().toStdString() + "/bus";
    const testsupport::LogLines log("tavrin.service");
    int connections = 0;
    int unavailable = 0; // looks that found no bus since the last connection
    const platform::BusLink link(
        "unix:path=" + socket, "the test's object", &platform::lcService,
        [&](const QDBusConnection& bus) {
            EXPECT_TRUE(bus.isConnected());
            ++connections;
            unavailable = 0;
        },
        200ms, 100ms, [&] { ++unavailable; });
    ASSERT_TRUE(ProcessEventsUntil([&] { return log.Count(kNoBus) == 1; }));
    EXPECT_EQ(log.Count("the test's object waits for it"), 1);
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

// Where no bus runs at all, the log says so in those words, naming the bus as this
// program knows it, rather than blaming a bus for not answering.
TEST(BusLink, NoSocketOrNobodyOnItIsNoBusNamedAsThisProgramKnowsIt)
{
    const QTemporaryDir folder;
    struct Case {
        const char* variable; // the environment's name for the address, if any
        bool staleSocket;     // a socket file is left, with nobody on it
        const char* kind;
    };
    const Case cases[] = {
        {"DBUS_SYSTEM_BUS_ADDRESS", false, "system bus"},
        {"DBUS_SESSION_BUS_ADDRESS", true, "session bus"},
        {nullptr, false, "bus"},
    };
    int number = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.kind);
        const std::string address = "unix:path=" + folder.path().toStdString() + "/bus" + std::to_string(++number);
        if (c.staleSocket)
            LeaveStaleSocket(address.substr(10));
        std::optional<ScopedVariable> known;
        if (c.variable)
            known.emplace(c.variable, address);
        const testsupport::LogLines log("tavrin.service");
        int unavailable = 0;
        const platform::BusLink link(
            address, "the test's object", &platform::lcService, [](const QDBusConnection&) {}, 5s, 100ms,
            [&] { ++unavailable; });
        ASSERT_TRUE(ProcessEventsUntil([&] { return unavailable >= 2; })); // two looks, said once
        EXPECT_EQ(log.Count(std::string("no ") + c.kind + " at " + address + " " + kNoBus
                            + ": the test's object waits for it"),
                  1)
            << log.Count(kNoBus);
        EXPECT_EQ(log.Count("does not answer"), 0);
    }
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
