// sd_notify through a socket of the test's own, standing where systemd's would.

#include "platform/service_manager.h"
#include "platform/unique_fd.h"
#include "tests/support/event_loop.h"
#include "tests/support/log_lines.h"

#include <QTemporaryDir>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

using platform::ServiceManager;
using namespace std::chrono_literals;

namespace {

// The service manager's end: a datagram socket named by NOTIFY_SOCKET while it lives, with
// the watchdog's variables as a test sets them.
class NotifySocket {
public:
    NotifySocket() : path_(folder_.filePath("notify").toStdString())
    {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strcpy(address.sun_path, path_.c_str());
        if (!socket_ || bind(socket_.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
            throw std::runtime_error("no notify socket");
        setenv("NOTIFY_SOCKET", path_.c_str(), 1);
    }
    ~NotifySocket()
    {
        unsetenv("NOTIFY_SOCKET");
        unsetenv("WATCHDOG_USEC");
        unsetenv("WATCHDOG_PID");
    }
    NotifySocket(const NotifySocket&) = delete;
    NotifySocket& operator=(const NotifySocket&) = delete;

    // Asks for the watchdog as systemd does for this process (or another).
    static void Watch(std::chrono::microseconds interval, pid_t pid = getpid())
    {
        setenv("WATCHDOG_USEC", std::to_string(interval.count()).c_str(), 1);
        setenv("WATCHDOG_PID", std::to_string(pid).c_str(), 1);
    }

    // The next datagram, if one has come.
    std::optional<std::string> Next()
    {
        char buffer[4096];
        const ssize_t got = recv(socket_.Get(), buffer, sizeof buffer, 0);
        if (got < 0)
            return std::nullopt;
        return std::string(buffer, static_cast<std::size_t>(got));
    }

    // Waits on the main loop for the next datagram.
    std::string Await()
    {
        std::optional<std::string> datagram;
        testsupport::ProcessEventsUntil([&] { return (datagram = Next()).has_value(); });
        return datagram.value_or("(nothing came)");
    }

private:
    QTemporaryDir folder_;
    std::string path_;
    platform::UniqueFd socket_{socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0)};
};

} // namespace

TEST(ServiceManager, ReadyStatusAndStoppingArriveInOrder)
{
    NotifySocket systemd;
    ServiceManager manager;
    EXPECT_EQ(manager.WatchdogBeat(), 0us);
    manager.Ready("waiting for the first reply");
    manager.Status("server 192.0.2.1 unreachable:\nconnection refused");
    manager.Reloading();
    manager.Stopping();
    EXPECT_EQ(systemd.Await(), "READY=1\nSTATUS=waiting for the first reply");
    // A line break would start an assignment of its own.
    EXPECT_EQ(systemd.Await(), "STATUS=server 192.0.2.1 unreachable: connection refused");
    EXPECT_EQ(systemd.Await().rfind("RELOADING=1\nMONOTONIC_USEC=", 0), 0u);
    EXPECT_EQ(systemd.Await(), "STOPPING=1");
}

TEST(ServiceManager, TheWatchdogBeatsAtHalfItsInterval)
{
    NotifySocket systemd;
    NotifySocket::Watch(200ms);
    ServiceManager manager;
    EXPECT_EQ(manager.WatchdogBeat(), 100ms);
    manager.Ready("ready");
    EXPECT_EQ(systemd.Await(), "READY=1\nSTATUS=ready");
    // Beats come from the loop, one after another.
    EXPECT_EQ(systemd.Await(), "WATCHDOG=1");
    EXPECT_EQ(systemd.Await(), "WATCHDOG=1");
}

TEST(ServiceManager, NoBeatForAnotherProcessOrWithoutAnInterval)
{
    NotifySocket systemd;
    for (const pid_t other : {getppid(), getpid() + 1}) {
        NotifySocket::Watch(200ms, other);
        EXPECT_EQ(ServiceManager().WatchdogBeat(), 0us) << "WATCHDOG_PID " << other;
    }
    NotifySocket::Watch(0us);
    EXPECT_EQ(ServiceManager().WatchdogBeat(), 0us);
}

TEST(ServiceManager, WithoutSystemdNothingHappensAndAFailureIsToldOnce)
{
    const testsupport::LogLines log("tavrin.service");
    {
        unsetenv("NOTIFY_SOCKET");
        ServiceManager manager;
        manager.Ready("ready");
        manager.Stopping();
        EXPECT_TRUE(log.Texts().empty());
    }
    {
        NotifySocket systemd;
        setenv("NOTIFY_SOCKET", "/nonexistent/notify", 1);
        ServiceManager manager;
        manager.Ready("ready");
        manager.Status("still");
        manager.Stopping();
        ASSERT_EQ(log.Texts().size(), 1u);
        EXPECT_NE(log.Texts()[0].find("cannot tell systemd"), std::string::npos) << log.Texts()[0];
    }
}
