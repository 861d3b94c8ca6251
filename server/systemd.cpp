#include "server/systemd.h"

#include <sys/socket.h>
#include <systemd/sd-daemon.h>

#include "platform/log.h"
#include "rpc/host_port.h"
#include "rpc/rpc_server.h"

namespace vsk {

int TakeActivatedSocket(std::string* error) {
    int n = sd_listen_fds(1);
    if (n <= 0)
        return -1;
    if (n > 1) {
        *error = "socket activation handed over " + std::to_string(n) +
                 " sockets; the server takes one Unix stream socket";
        return -1;
    }
    if (sd_is_socket_unix(SD_LISTEN_FDS_START, SOCK_STREAM, 1, nullptr, 0) <= 0) {
        *error = "the socket handed over is not a listening Unix stream socket";
        return -1;
    }
    return SD_LISTEN_FDS_START;
}

std::string AnnounceListeners(const CRpcServer& server, const std::string& listen,
                              const std::string& createdTokenFile) {
    std::string status = "serving on " + server.SocketPath();
    LogLine(LogPriority::Info, "listening on " + server.SocketPath());
    if (!listen.empty()) {
        const std::string address = WithPort(WithDefaultTcpPort(listen), server.TcpPort());
        LogLine(LogPriority::Info, "listening on TCP " + address);
        status += " and TCP " + address;
    }
    if (!listen.empty() && !createdTokenFile.empty())
        LogLine(LogPriority::Notice, "created the TCP token file " + createdTokenFile +
                                         "; copy it to the client computers");
    return status;
}

CServiceNotifier::CServiceNotifier() {
    uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) > 0 && usec > 0)
        m_watchdog = std::chrono::microseconds(usec);
    m_lastPing = std::chrono::steady_clock::now();
}

void CServiceNotifier::Ready(const std::string& status) {
    sd_notifyf(0, "READY=1\nSTATUS=%s", status.c_str());
}

void CServiceNotifier::Stopping() {
    sd_notify(0, "STOPPING=1");
}

int CServiceNotifier::Tick() {
    if (m_watchdog.count() == 0)
        return -1;
    const auto half = m_watchdog / 2;
    const auto now = std::chrono::steady_clock::now();
    if (now - m_lastPing >= half) {
        sd_notify(0, "WATCHDOG=1");
        m_lastPing = now;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(m_lastPing + half - now);
    return left.count() < 0 ? 0 : int(left.count());
}

}  // namespace vsk
