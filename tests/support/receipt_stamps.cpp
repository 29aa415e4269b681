#include "tests/support/receipt_stamps.h"

#include "platform/unique_fd.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <cstring>
#include <ctime>
#include <thread>

namespace testsupport {

namespace {

std::chrono::nanoseconds SinceEpoch(const timespec& time)
{
    return std::chrono::seconds(time.tv_sec) + std::chrono::nanoseconds(time.tv_nsec);
}

} // namespace

bool KernelStampsOnArrival()
{
    using namespace std::chrono_literals;
    const platform::UniqueFd socket(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    const int on = 1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (!socket || setsockopt(socket.Get(), SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on) != 0
        || bind(socket.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0
        || getsockname(socket.Get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return false;
    timespec sent{};
    clock_gettime(CLOCK_REALTIME, &sent);
    if (sendto(socket.Get(), "x", 1, 0, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 1)
        return false;
    std::this_thread::sleep_for(20ms); // the datagram waits, unread
    char byte = 0;
    iovec part{&byte, 1};
    alignas(cmsghdr) char notes[CMSG_SPACE(sizeof(timespec))] = {};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = notes;
    message.msg_controllen = sizeof notes;
    if (recvmsg(socket.Get(), &message, 0) != 1)
        return false;
    const cmsghdr* note = CMSG_FIRSTHDR(&message);
    if (!note || note->cmsg_level != SOL_SOCKET || note->cmsg_type != SCM_TIMESTAMPNS)
        return false;
    timespec stamped{};
    std::memcpy(&stamped, CMSG_DATA(note), sizeof stamped);
    return SinceEpoch(stamped) - SinceEpoch(sent) < 10ms;
}

bool AwaitStampsOnArrival()
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < deadline)
        if (KernelStampsOnArrival())
            return true;
    return false;
}

} // namespace testsupport
