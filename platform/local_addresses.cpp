#include "platform/local_addresses.h"

#include <cerrno>
#include <cstring>
#include <system_error>

#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

namespace platform {
namespace {

Ipv4Address BytesOf(const sockaddr* address)
{
    const auto* ipv4 = reinterpret_cast<const sockaddr_in*>(address);
    Ipv4Address bytes{};
    std::memcpy(bytes.data(), &ipv4->sin_addr, bytes.size());
    return bytes;
}

} // namespace

std::vector<Ipv4Address> SystemLocalAddresses::List()
{
    ifaddrs* interfaces = nullptr;
    if (getifaddrs(&interfaces) != 0)
        throw std::system_error(errno, std::generic_category(), "getifaddrs");

    std::vector<Ipv4Address> outward;
    std::vector<Ipv4Address> loopback;
    for (const ifaddrs* entry = interfaces; entry; entry = entry->ifa_next) {
        if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET || !(entry->ifa_flags & IFF_UP))
            continue;
        auto& group = (entry->ifa_flags & IFF_LOOPBACK) ? loopback : outward;
        group.push_back(BytesOf(entry->ifa_addr));
    }
    freeifaddrs(interfaces);

    outward.insert(outward.end(), loopback.begin(), loopback.end());
    return outward;
}

std::unique_ptr<LocalAddressChanges> SystemLocalAddresses::WatchChanges()
{
    return std::make_unique<SystemLocalAddressChanges>();
}

} // namespace platform
