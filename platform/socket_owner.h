#pragma once

// Who owns the other end of a TCP connection that comes from this PC itself. A reply from a
// local address could come from any program of any user; the kernel's socket diagnostics
// (NETLINK_SOCK_DIAG, what `ss -e` shows) tell whose socket it is.

#include "platform/unique_fd.h"

#include <sys/types.h>

#include <cstdint>
#include <optional>

namespace platform {

struct PeerSocket {
    enum class Where {
        Elsewhere, // the kernel knows no such socket here: the peer is another host
        ThisPc,    // the peer's socket is on this PC
        Unknown,   // the diagnostics could not be asked
    };
    Where where = Where::Unknown;
    // On this PC: the user owning the socket; nothing once its program has closed it (a
    // closed end lingers a while without an owner).
    std::optional<uid_t> owner;
};

// Looks peers' sockets up. The diagnostics socket is opened once, at construction, so that
// a process out of descriptors can still ask. One thread at a time.
class PeerSockets {
public:
    PeerSockets();

    // The peer's socket of `connection`, a connected IPv4 TCP socket.
    PeerSocket LookUp(int connection);

private:
    UniqueFd diagnostics_;
    std::uint32_t sequence_ = 0;
};

} // namespace platform
