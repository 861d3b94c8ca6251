#include "rpc/host_port.h"

#include <algorithm>

namespace vsk {

std::string WithDefaultTcpPort(const std::string& hostOrHostPort) {
    const std::string port = std::to_string(kDefaultTcpPort);
    const std::string& h = hostOrHostPort;
    if (!h.empty() && h.front() == '[')
        return h.back() == ']' ? h + ":" + port : h;
    switch (std::count(h.begin(), h.end(), ':')) {
        case 0:
            return h + ":" + port;
        case 1:
            return h;  // HOST:PORT
        default:
            return "[" + h + "]:" + port;  // a bare IPv6 address
    }
}

std::optional<HostPort> SplitHostPort(std::string_view hostPort) {
    const size_t colon = hostPort.rfind(':');
    if (colon == std::string_view::npos)
        return std::nullopt;
    std::string_view host = hostPort.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    return HostPort{std::string(host), std::string(hostPort.substr(colon + 1))};
}

std::string JoinHostPort(std::string_view host, std::string_view port) {
    const bool v6 = host.find(':') != std::string_view::npos;
    return (v6 ? "[" + std::string(host) + "]" : std::string(host)) + ":" + std::string(port);
}

std::string WithPort(std::string_view hostPort, int port) {
    const auto split = SplitHostPort(hostPort);
    return JoinHostPort(split ? std::string_view(split->host) : hostPort, std::to_string(port));
}

}  // namespace vsk
