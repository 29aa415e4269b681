#pragma once

// Where a service under test tells "systemd" (the test) how it stands: sd_notify's
// datagrams, on a socket the test names in NOTIFY_SOCKET. As systemd does, it reads them
// as they come, on a thread of its own: a queue left full would hold the service up in
// its next sd_notify.

#include "platform/unique_fd.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

class NotifySocket {
public:
    // Binds `path` and starts reading; throws when it cannot bind.
    explicit NotifySocket(const std::string& path);
    ~NotifySocket();
    NotifySocket(const NotifySocket&) = delete;
    NotifySocket& operator=(const NotifySocket&) = delete;

    const std::string& Path() const { return path_; }

    // The first datagram since the last one this returned that holds `text`, or nothing
    // in `timeout`.
    std::optional<std::string> AwaitWith(const std::string& text,
                                         std::chrono::milliseconds timeout = std::chrono::seconds(10));

    // Every datagram received so far.
    std::vector<std::string> Heard() const;

private:
    void Read();

    std::string path_;
    platform::UniqueFd socket_;
    platform::UniqueFd stop_; // an eventfd: written to end the reading thread
    mutable std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<std::string> heard_;
    std::size_t awaited_ = 0; // datagrams AwaitWith has looked at and passed
    std::thread reader_;
};

} // namespace testsupport
