#include "platform/socket_owner.h"

#include <arpa/inet.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

namespace platform {

PeerSockets::PeerSockets() : diagnostics_(socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG)) {}

PeerSocket PeerSockets::LookUp(int connection)
{
    sockaddr_in local{};
    sockaddr_in peer{};
    socklen_t localLength = sizeof local;
    socklen_t peerLength = sizeof peer;
    if (getsockname(connection, reinterpret_cast<sockaddr*>(&local), &localLength) != 0
        || getpeername(connection, reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0 || local.sin_family != AF_INET
        || peer.sin_family != AF_INET)
        return {};
    // The peer's socket, seen from its side: it sends from the peer's address to ours.
    return Ask(IPPROTO_TCP, peer.sin_addr.s_addr, peer.sin_port, local.sin_addr.s_addr, local.sin_port);
}

PeerSocket PeerSockets::LookUpSender(const std::string& senderIp, int senderPort, const std::string& receiverIp,
                                     int receiverPort)
{
    in_addr sender{};
    in_addr receiver{};
    if (inet_pton(AF_INET, senderIp.c_str(), &sender) != 1 || senderPort <= 0 || senderPort > 0xffff)
        return {};
    if (inet_pton(AF_INET, receiverIp.c_str(), &receiver) != 1)
        receiver.s_addr = htonl(INADDR_ANY);
    return Ask(IPPROTO_UDP, sender.s_addr, htons(static_cast<std::uint16_t>(senderPort)), receiver.s_addr,
               htons(static_cast<std::uint16_t>(receiverPort)));
}

PeerSocket PeerSockets::Ask(int protocol, std::uint32_t ownAddress, std::uint16_t ownPort, std::uint32_t otherAddress,
                            std::uint16_t otherPort)
{
    using Where = PeerSocket::Where;
    if (!diagnostics_)
        return {};
    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } query{};
    query.header.nlmsg_len = sizeof query;
    query.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    query.header.nlmsg_flags = NLM_F_REQUEST;
    query.header.nlmsg_seq = ++sequence_;
    query.request.sdiag_family = AF_INET;
    query.request.sdiag_protocol = static_cast<std::uint8_t>(protocol);
    query.request.idiag_states = ~0u;
    // For UDP the kernel reads the two ends the other way round from TCP: "dst" is the
    // socket's own.
    const bool ownFirst = protocol == IPPROTO_TCP;
    query.request.id.idiag_sport = ownFirst ? ownPort : otherPort;
    query.request.id.idiag_dport = ownFirst ? otherPort : ownPort;
    query.request.id.idiag_src[0] = ownFirst ? ownAddress : otherAddress;
    query.request.id.idiag_dst[0] = ownFirst ? otherAddress : ownAddress;
    query.request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    query.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;

    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (sendto(diagnostics_.Get(), &query, sizeof query, 0, reinterpret_cast<const sockaddr*>(&kernel), sizeof kernel)
        != static_cast<ssize_t>(sizeof query))
        return {};

    // The kernel answers within the send. Answers to earlier questions that were left
    // unread are passed over by their sequence number.
    alignas(nlmsghdr) char answer[8192];
    for (;;) {
        const ssize_t received = recv(diagnostics_.Get(), answer, sizeof answer, MSG_DONTWAIT);
        if (received < static_cast<ssize_t>(sizeof(nlmsghdr)))
            return {};
        const auto* header = reinterpret_cast<const nlmsghdr*>(answer);
        if (!NLMSG_OK(header, static_cast<unsigned>(received)))
            return {};
        if (header->nlmsg_seq != sequence_)
            continue;
        if (header->nlmsg_type == NLMSG_ERROR && header->nlmsg_len >= NLMSG_LENGTH(sizeof(nlmsgerr))) {
            nlmsgerr error{};
            std::memcpy(&error, NLMSG_DATA(header), sizeof error);
            return {error.error == -ENOENT ? Where::Elsewhere : Where::Unknown, {}};
        }
        if (header->nlmsg_type != SOCK_DIAG_BY_FAMILY || header->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg)))
            return {};
        inet_diag_msg record{};
        std::memcpy(&record, NLMSG_DATA(header), sizeof record);
        // A socket its program has closed lingers without an inode and with no owner recorded.
        if (record.idiag_inode == 0)
            return {Where::ThisPc, {}};
        return {Where::ThisPc, static_cast<uid_t>(record.idiag_uid)};
    }
}

} // namespace platform
