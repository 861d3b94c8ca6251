#include "platform/peer_user.h"

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstring>

namespace vsk {

namespace {

// One end of the connection as the diagnostics name it: family, address and port.
struct End {
    int family = 0;
    uint32_t addr[4] = {};
    uint16_t port = 0;  // network order
};

std::optional<End> EndOf(const sockaddr_storage& ss) {
    End end;
    if (ss.ss_family == AF_INET) {
        const auto& in = reinterpret_cast<const sockaddr_in&>(ss);
        end.family = AF_INET;
        std::memcpy(end.addr, &in.sin_addr, 4);
        end.port = in.sin_port;
        return end;
    }
    if (ss.ss_family == AF_INET6) {
        const auto& in6 = reinterpret_cast<const sockaddr_in6&>(ss);
        end.port = in6.sin6_port;
        // A v4 peer reaching a dual-stack listener is an IPv4 connection to the kernel.
        if (IN6_IS_ADDR_V4MAPPED(&in6.sin6_addr)) {
            end.family = AF_INET;
            std::memcpy(end.addr, in6.sin6_addr.s6_addr + 12, 4);
        } else {
            end.family = AF_INET6;
            std::memcpy(end.addr, &in6.sin6_addr, 16);
        }
        return end;
    }
    return std::nullopt;
}

// Asks for the one socket whose source is `peer` and destination `local`: the peer's own.
std::optional<uid_t> Ask(const End& peer, const End& local) {
    const int nl = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (nl < 0)
        return std::nullopt;
    timeval limit{0, 250000};
    setsockopt(nl, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } ask{};
    ask.header.nlmsg_len = sizeof ask;
    ask.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    ask.header.nlmsg_flags = NLM_F_REQUEST;
    ask.header.nlmsg_seq = 1;
    ask.request.sdiag_family = uint8_t(peer.family);
    ask.request.sdiag_protocol = IPPROTO_TCP;
    ask.request.idiag_states = ~0u;
    ask.request.id.idiag_sport = peer.port;
    ask.request.id.idiag_dport = local.port;
    std::memcpy(ask.request.id.idiag_src, peer.addr, sizeof peer.addr);
    std::memcpy(ask.request.id.idiag_dst, local.addr, sizeof local.addr);
    ask.request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    ask.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    std::optional<uid_t> uid;
    if (sendto(nl, &ask, sizeof ask, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) ==
        ssize_t(sizeof ask)) {
        alignas(nlmsghdr) char buf[8192];
        const ssize_t n = recv(nl, buf, sizeof buf, 0);
        auto* reply = reinterpret_cast<nlmsghdr*>(buf);
        if (n >= ssize_t(sizeof(nlmsghdr)) && NLMSG_OK(reply, size_t(n)) &&
            reply->nlmsg_type == SOCK_DIAG_BY_FAMILY &&
            reply->nlmsg_len >= NLMSG_LENGTH(sizeof(inet_diag_msg))) {
            const auto* msg = static_cast<const inet_diag_msg*>(NLMSG_DATA(reply));
            // The answer must be the socket asked about, not merely a socket.
            if (msg->id.idiag_sport == peer.port && msg->id.idiag_dport == local.port)
                uid = msg->idiag_uid;
        }
    }
    close(nl);
    return uid;
}

}  // namespace

std::optional<uid_t> LocalPeerUser(int fd) {
    sockaddr_storage local{}, remote{};
    socklen_t localLen = sizeof local, remoteLen = sizeof remote;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localLen) != 0 ||
        getpeername(fd, reinterpret_cast<sockaddr*>(&remote), &remoteLen) != 0)
        return std::nullopt;
    const std::optional<End> us = EndOf(local), them = EndOf(remote);
    if (!us || !them || us->family != them->family)
        return std::nullopt;
    return Ask(*them, *us);
}

}  // namespace vsk
