#pragma once

#include "platform/unique_fd.h"

#include <string>
#include <string_view>

namespace testsupport {

// A UDP socket that sends multicast out of loopback only.
class DatagramSender {
public:
    // Bound to `sourceIp`:`sourcePort` when given, so that receivers see that sender.
    explicit DatagramSender(const std::string& sourceIp = {}, int sourcePort = 0);

    // One datagram of exactly these bytes; false when the system refused it.
    bool Send(std::string_view bytes, const std::string& ip, int port);

private:
    platform::UniqueFd descriptor_;
};

} // namespace testsupport
