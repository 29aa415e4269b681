#pragma once

// A D-Bus daemon of the test's own, with its own configuration, on a socket in a private
// folder: the stand-in for the system bus. The machine's own buses are never touched.

#include "tests/support/child_process.h"

#include <memory>
#include <string>

namespace testsupport {

class PrivateBus {
public:
    PrivateBus();
    ~PrivateBus();
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    // "unix:path=...", for DBUS_SYSTEM_BUS_ADDRESS or QDBusConnection::connectToBus; empty
    // when the daemon did not start.
    const std::string& Address() const { return address_; }

    // Starts the fake systemd-timedated on this bus with the NTP and NTPSynchronized values
    // given; nothing when it did not come up.
    std::unique_ptr<ChildProcess> StartTimedated(bool ntp, bool synchronised) const;

private:
    std::string folder_;
    std::string address_;
    std::unique_ptr<ChildProcess> daemon_;
};

} // namespace testsupport
