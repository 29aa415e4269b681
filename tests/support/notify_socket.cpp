#include "tests/support/notify_socket.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <stdexcept>

namespace testsupport {

NotifySocket::NotifySocket(const std::string& path)
    : path_(path), socket_(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)), stop_(eventfd(0, EFD_CLOEXEC))
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (!socket_ || !stop_ || bind(socket_.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        throw std::runtime_error("cannot bind the notify socket");
    reader_ = std::thread([this] { Read(); });
}

NotifySocket::~NotifySocket()
{
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = write(stop_.Get(), &one, sizeof one);
    reader_.join();
}

void NotifySocket::Read()
{
    for (;;) {
        pollfd watched[] = {{stop_.Get(), POLLIN, 0}, {socket_.Get(), POLLIN, 0}};
        if (poll(watched, 2, -1) < 0 || watched[0].revents != 0)
            return;
        std::string datagram(4096, '\0');
        const ssize_t got = recv(socket_.Get(), datagram.data(), datagram.size(), MSG_DONTWAIT);
        if (got <= 0)
            continue;
        datagram.resize(static_cast<std::size_t>(got));
        const std::lock_guard lock(mutex_);
        heard_.push_back(std::move(datagram));
        arrived_.notify_all();
    }
}

std::optional<std::string> NotifySocket::AwaitWith(const std::string& text, std::chrono::milliseconds timeout)
{
    std::unique_lock lock(mutex_);
    std::optional<std::string> found;
    arrived_.wait_for(lock, timeout, [&] {
        for (; awaited_ < heard_.size() && !found; ++awaited_)
            if (heard_[awaited_].find(text) != std::string::npos)
                found = heard_[awaited_];
        return found.has_value();
    });
    return found;
}

std::vector<std::string> NotifySocket::Heard() const
{
    const std::lock_guard lock(mutex_);
    return heard_;
}

} // namespace testsupport
