#pragma once

// Where a service under test tells "systemd" (the test) how it stands: sd_notify's
// datagrams, on a socket the test names in NOTIFY_SOCKET.

#include "platform/unique_fd.h"

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

class NotifySocket {
public:
    // Binds `path`; throws when it cannot.
    explicit NotifySocket(const std::string& path);
    const std::string& Path() const { return path_; }

    // Datagrams until one holds `text`; that one, or nothing in `timeout`.
    std::optional<std::string> AwaitWith(const std::string& text,
                                         std::chrono::milliseconds timeout = std::chrono::seconds(10));

    // Every datagram received so far.
    std::vector<std::string> heard;

private:
    std::string path_;
    platform::UniqueFd socket_;
};

} // namespace testsupport
