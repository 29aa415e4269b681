#pragma once

// A D-Bus daemon of the test's own, with its own configuration, on a socket in a private
// folder: the stand-in for the system bus. The machine's own buses are never touched.

#include "tests/support/child_process.h"

#include <memory>
#include <string>
#include <vector>

namespace testsupport {

class PrivateBus {
public:
    // An open bus, where anyone may own any name and call anything.
    PrivateBus();
    // A bus as strict as the system bus, which includes `policyFiles`: nobody owns a name or
    // calls a method unless they allow it; only the fakes' names are open. On `socket`, a
    // path of the test's choice, when given.
    explicit PrivateBus(const std::vector<std::string>& policyFiles, const std::string& socket = {});
    ~PrivateBus();
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    // "unix:path=...", for DBUS_SYSTEM_BUS_ADDRESS or QDBusConnection::connectToBus; empty
    // when the daemon did not start.
    const std::string& Address() const { return address_; }
    // What the daemon said on its standard error (a policy it refused, say).
    std::string Errors() const { return daemon_ ? daemon_->Errors() : std::string(); }

    // Starts the fake systemd-timedated on this bus with the NTP and NTPSynchronized values
    // given; nothing when it did not come up.
    std::unique_ptr<ChildProcess> StartTimedated(bool ntp, bool synchronised) const;

private:
    void Start(const std::string& configuration, const std::string& socket);

    std::string folder_;
    std::string address_;
    std::unique_ptr<ChildProcess> daemon_;
};

} // namespace testsupport
