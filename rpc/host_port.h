// "HOST:PORT" as the command lines, the listeners and the clients write it. An IPv6 address
// with a port goes in brackets ("[::1]:45711"); a host alone takes the default TCP port.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vsk {

// The TCP port a listener and a client agree on when only a host is named.
constexpr int kDefaultTcpPort = 45711;

// "HOST:PORT" as given; a bare host ("till-2", "10.0.0.7", "::1", "[::1]") gets the default
// port. An IPv6 address with a port is written in brackets: "[::1]:45711".
std::string WithDefaultTcpPort(const std::string& hostOrHostPort);

struct HostPort {
    std::string host;  // without the brackets of an IPv6 address; "" for every address
    std::string port;
};

// "HOST:PORT" split at its last colon, taking off the brackets around the host; nothing when
// there is no colon. Neither part is checked: the resolver judges them.
std::optional<HostPort> SplitHostPort(std::string_view hostPort);

// "HOST:PORT" again, the host in brackets when it is an IPv6 address.
std::string JoinHostPort(std::string_view host, std::string_view port);

// The address a listener asked for as `hostPort` ended up on: its host as asked, the port it got
// (`hostPort` without a colon is a host alone).
std::string WithPort(std::string_view hostPort, int port);

}  // namespace vsk
