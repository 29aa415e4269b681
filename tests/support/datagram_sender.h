#pragma once

#include "platform/unique_fd.h"

#include <string>
#include <string_view>

namespace testsupport {

// A UDP socket that sends multicast out of loopback only, or out of an interface of the
// test's own network.
class DatagramSender {
public:
    // Bound to `sourceIp`:`sourcePort` when given, so that receivers see that sender.
    explicit DatagramSender(const std::string& sourceIp = {}, int sourcePort = 0);
    // Sends multicast out of the interface that holds `address`, from that address, inside
    // this process's private network (see private_network.h), which it enters if need be;
    // raises where there is none.
    static DatagramSender OutOf(const std::string& address);

    // The local port it sends from: 0 before it was bound or sent.
    int Port() const;

    // One datagram of exactly these bytes; false when the system refused it.
    bool Send(std::string_view bytes, const std::string& ip, int port);

private:
    platform::UniqueFd descriptor_;
};

} // namespace testsupport
