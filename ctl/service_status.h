#pragma once

// tavrin-clientd's state as the properties of com.dovetra.TavrinClient1 give it
// (service/com.dovetra.TavrinClient1.xml): times in microseconds since 1970 UTC, 0 for
// never, kUnreadableTime for a value that no time can be.

#include <QVariantMap>

#include <cstdint>
#include <string>

namespace ctl {

// Where a client finds the service on the system bus.
inline constexpr char kServiceName[] = "com.dovetra.TavrinClient1";
inline constexpr char kServicePath[] = "/com/dovetra/TavrinClient1";
inline constexpr char kServiceInterface[] = "com.dovetra.TavrinClient1";
// A time the service gave as a negative number, NaN or a number beyond the range of one:
// later than any moment, so that it is never taken for a recent one.
inline constexpr std::uint64_t kUnreadableTime = UINT64_MAX;

struct ServiceStatus {
    std::string server; // as configured; empty for none
    bool reachable = false;
    int source = -1; // 0 PC clock, 1 GPS, 3 NTP; -1 unknown
    int state = -1;  // 0 not in sync, 1 holdover, 2 in sync, 3 unknown; -1 unknown
    std::uint64_t lastUpdateUsec = 0;
    std::int64_t offsetUsec = 0; // the PC's time minus the server's, at the last update
    std::uint64_t errorBoundUsec = 0;
    std::string lastResult;
    bool failing = false;
    std::uint64_t nextUpdateUsec = 0; // 0: none planned
    std::string notice;               // one notice a line; empty for none

    bool Updated() const { return lastUpdateUsec != 0; }
};

// From the answer of Properties.GetAll. A property the service does not have keeps the
// value above: a service older or newer than this program still shows what it has.
ServiceStatus StatusFromProperties(const QVariantMap& properties);

} // namespace ctl
