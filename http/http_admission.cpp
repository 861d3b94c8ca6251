#include "http/http_admission.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include "platform/peer_user.h"
#include "rpc/runtime_paths.h"

namespace vsk {

struct CAdmission::Connection {
    int fd = -1;
    std::string peer;
    // When the connection is shut down unless the awaited part of its request is in by then
    // (max: no deadline, a request is being answered).
    Clock::time_point deadline = Clock::time_point::max();
    bool cut = false;  // shut down by the sweeper, waiting for its close
    bool stream = false;
    bool asking = false;  // inside the stream's callback, waiting for its next event
    Clock::time_point handedOver{};
};

CAdmission::CAdmission() : CAdmission(Limits()) {}

CAdmission::CAdmission(Limits limits) : m_limits(limits) {}

CAdmission::~CAdmission() {
    Stop();
}

std::string CAdmission::PeerOf(int fd, const sockaddr* address) {
    char host[INET6_ADDRSTRLEN] = "";
    if (address && address->sa_family == AF_INET)
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, host,
                  sizeof host);
    else if (address && address->sa_family == AF_INET6)
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, host,
                  sizeof host);
    if (address && IsLoopbackAddress(address))
        if (std::optional<uid_t> uid = LocalPeerUser(fd))
            return "user:" + std::to_string(*uid);
    return std::string("addr:") + host;
}

CAdmission::Connection* CAdmission::Admit(int fd, const std::string& peer, Clock::time_point now) {
    std::lock_guard lock(m_mutex);
    const unsigned held = m_perPeer.count(peer) ? m_perPeer[peer] : 0;
    const unsigned total = unsigned(m_connections.size());
    const bool reserveOnly = total + m_limits.reserved >= m_limits.connections;
    if (held >= m_limits.perPeer || (reserveOnly && held >= m_limits.few) ||
        total >= m_limits.connections) {
        // libmicrohttpd closes the socket itself once its thread sees the end.
        shutdown(fd, SHUT_RDWR);
        return nullptr;
    }
    auto connection = std::make_unique<Connection>();
    connection->fd = fd;
    connection->peer = peer;
    connection->deadline = now + m_limits.headers;
    Connection* raw = connection.get();
    m_connections.emplace(raw, std::move(connection));
    ++m_perPeer[peer];
    return raw;
}

void CAdmission::Closed(Connection* connection) {
    if (!connection)
        return;
    std::lock_guard lock(m_mutex);
    auto it = m_connections.find(connection);
    if (it == m_connections.end())
        return;
    if (--m_perPeer[connection->peer] == 0)
        m_perPeer.erase(connection->peer);
    if (connection->stream) {
        --m_streams;
        if (--m_streamsPerPeer[connection->peer] == 0)
            m_streamsPerPeer.erase(connection->peer);
    }
    m_connections.erase(it);
}

void CAdmission::HeadersIn(Connection* connection, Clock::time_point now) {
    std::lock_guard lock(m_mutex);
    connection->deadline = now + m_limits.body;
}

void CAdmission::BodyIn(Connection* connection) {
    std::lock_guard lock(m_mutex);
    connection->deadline = Clock::time_point::max();
}

void CAdmission::RequestEnded(Connection* connection, Clock::time_point now) {
    std::lock_guard lock(m_mutex);
    connection->deadline = now + m_limits.headers;
}

bool CAdmission::OpenStream(Connection* connection, Clock::time_point now) {
    std::lock_guard lock(m_mutex);
    unsigned& ofPeer = m_streamsPerPeer[connection->peer];
    if (m_streams >= m_limits.streams || ofPeer >= m_limits.streamsPerPeer) {
        if (ofPeer == 0)
            m_streamsPerPeer.erase(connection->peer);
        return false;
    }
    ++ofPeer;
    ++m_streams;
    connection->stream = true;
    connection->handedOver = now;
    return true;
}

void CAdmission::StreamProgress(Connection* connection, bool asking, Clock::time_point now) {
    std::lock_guard lock(m_mutex);
    connection->asking = asking;
    connection->handedOver = now;
}

bool CAdmission::Cut(Connection* connection) const {
    std::lock_guard lock(m_mutex);
    return connection->cut;
}

namespace {

bool HungUp(int fd) {
    pollfd p{fd, POLLRDHUP, 0};
    return poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR));
}

}  // namespace

int CAdmission::Sweep(Clock::time_point now) {
    std::lock_guard lock(m_mutex);
    int cut = 0;
    for (auto& [raw, connection] : m_connections) {
        // A stream not back for its next event within the time: its last one is still
        // waiting to leave because its reader does not read.
        const bool stalled =
            connection->stream &&
            ((!connection->asking && now - connection->handedOver > m_limits.stalled) ||
             HungUp(connection->fd));
        if (connection->cut || (now < connection->deadline && !stalled))
            continue;
        // Under the lock Closed takes, and libmicrohttpd closes the socket only after Closed:
        // the descriptor is still this connection's.
        shutdown(connection->fd, SHUT_RDWR);
        connection->cut = true;
        ++cut;
    }
    return cut;
}

void CAdmission::StartSweeper() {
    m_sweeper = std::thread([this] {
        std::unique_lock lock(m_mutex);
        while (!m_stopping) {
            m_cv.wait_for(lock, http_limits::kSweepPeriod);
            lock.unlock();
            Sweep(Clock::now());
            lock.lock();
        }
    });
}

void CAdmission::Stop() {
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_cv.notify_all();
    if (m_sweeper.joinable())
        m_sweeper.join();
}

unsigned CAdmission::Count() const {
    std::lock_guard lock(m_mutex);
    return unsigned(m_connections.size());
}

unsigned CAdmission::CountOf(const std::string& peer) const {
    std::lock_guard lock(m_mutex);
    auto it = m_perPeer.find(peer);
    return it == m_perPeer.end() ? 0 : it->second;
}

}  // namespace vsk
