#include "tests/support/notify_socket.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstring>
#include <stdexcept>

namespace testsupport {

NotifySocket::NotifySocket(const std::string& path) : path_(path), socket_(::socket(AF_UNIX, SOCK_DGRAM, 0))
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (!socket_ || bind(socket_.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        throw std::runtime_error("cannot bind the notify socket");
}

std::optional<std::string> NotifySocket::AwaitWith(const std::string& text, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd readable{socket_.Get(), POLLIN, 0};
        if (poll(&readable, 1, 100) != 1)
            continue;
        std::string datagram(4096, '\0');
        const ssize_t got = recv(socket_.Get(), datagram.data(), datagram.size(), 0);
        if (got <= 0)
            continue;
        datagram.resize(static_cast<std::size_t>(got));
        heard.push_back(datagram);
        if (datagram.find(text) != std::string::npos)
            return datagram;
    }
    return std::nullopt;
}

} // namespace testsupport
