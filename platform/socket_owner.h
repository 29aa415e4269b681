#pragma once

// Who owns the other end of a TCP connection, or the socket that sent a UDP datagram, when
// it is on this PC itself. A reply or a status datagram from a local address could come
// from any program of any user; the kernel's socket diagnostics (NETLINK_SOCK_DIAG, what
// `ss -e` shows) tell whose socket it is.

#include "platform/unique_fd.h"

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>

namespace platform {

struct PeerSocket {
    enum class Where {
        Elsewhere, // the kernel knows no such socket here: the peer is another host, or
                   // (for a datagram) its socket is closed already
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
    // The UDP socket that sent a datagram from `senderIp`:`senderPort` to
    // `receiverIp`:`receiverPort` (dotted IPv4; an empty or unreadable receiver stands for
    // any: only a sender that connected its socket is told apart by it).
    PeerSocket LookUpSender(const std::string& senderIp, int senderPort, const std::string& receiverIp,
                            int receiverPort);

private:
    // Asks for the socket of `protocol` bound at `ownAddress`:`ownPort` that talks to
    // `otherAddress`:`otherPort`, all in network order.
    PeerSocket Ask(int protocol, std::uint32_t ownAddress, std::uint16_t ownPort, std::uint32_t otherAddress,
                   std::uint16_t otherPort);

    UniqueFd diagnostics_;
    std::uint32_t sequence_ = 0;
};

} // namespace platform
