#include "platform/local_address_changes.h"

#include <cerrno>
#include <utility>

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>

namespace platform {

SystemLocalAddressChanges::SystemLocalAddressChanges()
    : notices_(socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE))
{
    // Interfaces coming up or going down, and IPv4 addresses coming or going: all that
    // the list of addresses is made of.
    sockaddr_nl groups{};
    groups.nl_family = AF_NETLINK;
    groups.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR;
    if (notices_ && bind(notices_.Get(), reinterpret_cast<const sockaddr*>(&groups), sizeof groups) != 0)
        notices_.Reset(); // without notices every call says true
}

bool SystemLocalAddressChanges::MayHaveChanged()
{
    if (!notices_)
        return true;
    bool changed = std::exchange(first_, false);
    // Only that a notice came counts, not what it says.
    char notice[4096];
    for (;;) {
        const ssize_t received = recv(notices_.Get(), notice, sizeof notice, 0);
        if (received > 0)
            changed = true;
        else if (received < 0 && errno == EINTR)
            continue;
        else if (received < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            return true; // ENOBUFS: notices were lost, so anything may have changed
        else
            return changed;
    }
}

} // namespace platform
