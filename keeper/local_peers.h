#pragma once

// Whether what comes from the server's address on this PC is the server's. A server on this
// PC shares its address with every local user's programs: a connection or a datagram from it
// is the server's only when its socket belongs to root or to the user this program runs as.

#include "platform/socket_owner.h"

#include <string>

namespace keeper {

// Why a connection from `peer`, the server's address, is not let in; empty when it is.
std::string WhyNotTheServersOwn(platform::PeerSockets& sockets, int connection, const std::string& peer);
// Why a datagram from `sender`:`senderPort`, the server's address, to `receiver`:`receiverPort`
// is not taken; empty when it is. From another host it always is.
std::string WhyNotTheServersDatagram(platform::PeerSockets& sockets, const std::string& sender, int senderPort,
                                     const std::string& receiver, int receiverPort);

} // namespace keeper
