#pragma once

#include "platform/local_address_changes.h"

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

namespace platform {

// An IPv4 address as its four bytes in network order, the way it travels.
using Ipv4Address = std::array<std::uint8_t, 4>;

// The local host's own IPv4 addresses.
class LocalAddresses {
public:
    virtual ~LocalAddresses() = default;

    // The addresses of the interfaces that are up: those of non-loopback interfaces
    // first, then the loopback ones, each group in the order the system lists them.
    // Raises std::system_error when the system cannot list them.
    virtual std::vector<Ipv4Address> List() = 0;

    // A watch that tells when List may give another answer, for a caller that would
    // otherwise list the addresses again and again to find out; null where there is
    // none, and then any look may find a change.
    virtual std::unique_ptr<LocalAddressChanges> WatchChanges() { return nullptr; }
};

// Through getifaddrs.
class SystemLocalAddresses final : public LocalAddresses {
public:
    std::vector<Ipv4Address> List() override;
    std::unique_ptr<LocalAddressChanges> WatchChanges() override;
};

} // namespace platform
