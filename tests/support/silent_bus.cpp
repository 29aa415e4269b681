#include "tests/support/silent_bus.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

namespace testsupport {
namespace {

constexpr std::size_t kMostConnections = 64; // held open; later ones are closed at once

std::string MakeFolder()
{
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/tavrin-silent-bus-XXXXXX";
    return mkdtemp(pattern.data()) ? pattern : std::string();
}

} // namespace

SilentBus::SilentBus(Silence silence) : folder_(MakeFolder())
{
    if (folder_.empty())
        return;
    const std::string path = folder_ + "/bus";
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    listener_.Reset(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    stop_.Reset(eventfd(0, EFD_CLOEXEC));
    if (!listener_ || !stop_ || bind(listener_.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0
        || listen(listener_.Get(), 16) != 0)
        return;
    address_ = "unix:path=" + path;
    server_ = std::thread([this, silence] { Serve(silence); });
}

SilentBus::~SilentBus()
{
    if (server_.joinable()) {
        const std::uint64_t one = 1;
        // A failed write leaves the thread to the process's end; it holds only its sockets.
        if (write(stop_.Get(), &one, sizeof one) == sizeof one)
            server_.join();
        else
            server_.detach();
    }
    if (!folder_.empty())
        std::filesystem::remove_all(folder_);
}

void SilentBus::Serve(Silence silence)
{
    struct Connection {
        platform::UniqueFd socket;
        bool authenticating = false; // read until its line is complete, never again after
        std::string line;
    };
    std::vector<Connection> held;
    for (;;) {
        std::vector<pollfd> watched{{stop_.Get(), POLLIN, 0}, {listener_.Get(), POLLIN, 0}};
        for (const Connection& connection : held)
            watched.push_back({connection.socket.Get(), static_cast<short>(connection.authenticating ? POLLIN : 0), 0});
        if (poll(watched.data(), watched.size(), -1) < 0 && errno != EINTR)
            return;
        if (watched[0].revents != 0)
            return;
        if (watched[1].revents & POLLIN) {
            platform::UniqueFd accepted(accept4(listener_.Get(), nullptr, nullptr, SOCK_CLOEXEC));
            if (accepted && held.size() < kMostConnections) {
                ++connections_;
                held.push_back({std::move(accepted), silence == Silence::AfterAuthentication, {}});
            }
        }
        // Only the connections this poll watched: one accepted above joins the next poll.
        for (std::size_t i = 0; i + 2 < watched.size(); ++i) {
            Connection& connection = held[i];
            // A hung-up connection is reported whatever it was watched for: kept, it would
            // wake every poll at once and the thread would spin.
            if (watched[i + 2].revents & (POLLHUP | POLLERR)) {
                connection.socket.Reset();
                continue;
            }
            if (!(watched[i + 2].revents & POLLIN))
                continue;
            char buffer[256];
            const ssize_t received = recv(connection.socket.Get(), buffer, sizeof buffer, MSG_DONTWAIT);
            if (received <= 0) {
                connection.authenticating = false;
                continue;
            }
            connection.line.append(buffer, static_cast<std::size_t>(received));
            if (connection.line.find("\r\n") == std::string::npos)
                continue;
            const std::string ok = "OK 0123456789abcdef0123456789abcdef\r\n";
            // A client that did not take the answer learns nothing more either way.
            [[maybe_unused]] const ssize_t sent = send(connection.socket.Get(), ok.data(), ok.size(), MSG_NOSIGNAL);
            connection.authenticating = false;
        }
        std::erase_if(held, [](const Connection& connection) { return !connection.socket; });
    }
}

} // namespace testsupport
