#include "rpc/auth_backoff.h"

#include <algorithm>

namespace vsk {

namespace {

constexpr auto kDelayFirst = std::chrono::milliseconds(100);
constexpr auto kDelayMax = std::chrono::seconds(10);
constexpr auto kReportInterval = std::chrono::seconds(60);
constexpr int kMaxDoublings = 16;

}  // namespace

std::string CAuthBackoff::PeerKey(bool loopback, std::optional<uid_t> user,
                                  const std::string& address) {
    return loopback && user ? "uid:" + std::to_string(*user) : address;
}

CAuthBackoff::Admission CAuthBackoff::Attempt(const std::string& key, bool tokenMatches,
                                              Clock::time_point now) {
    const bool waiting = MustWait(key, now);
    if (tokenMatches) {
        if (!waiting)
            Succeeded(key);
        return Admission::Admitted;
    }
    if (waiting)
        return Admission::Waiting;
    Failed(key, now);
    return Admission::Wrong;
}

bool CAuthBackoff::MustWait(const std::string& host, Clock::time_point now) const {
    auto known = m_peers.find(host);
    return known != m_peers.end() && now < known->second.retryAt;
}

void CAuthBackoff::Failed(const std::string& host, Clock::time_point now) {
    Peer& peer = Track(host, now);
    peer.failures = std::min(peer.failures + 1, kMaxDoublings);
    peer.retryAt =
        now + std::min<Clock::duration>(kDelayFirst * (1 << (peer.failures - 1)), kDelayMax);
}

bool CAuthBackoff::Report(const std::string& host, Clock::time_point now, int* unreported) {
    Peer& peer = Track(host, now);
    if (peer.lastReport != Clock::time_point{} && now - peer.lastReport < kReportInterval) {
        ++peer.unreported;
        return false;
    }
    *unreported = peer.unreported;
    peer.lastReport = now;
    peer.unreported = 0;
    return true;
}

CAuthBackoff::Peer& CAuthBackoff::Track(const std::string& host, Clock::time_point now) {
    auto known = m_peers.find(host);
    if (known != m_peers.end())
        return known->second;
    if (m_peers.size() >= m_maxPeers) {
        std::erase_if(m_peers, [&](const auto& p) {
            return now - p.second.retryAt > kReportInterval &&
                   now - p.second.lastReport > kReportInterval;
        });
        if (m_peers.size() >= m_maxPeers)
            m_peers.erase(m_peers.begin());
    }
    return m_peers[host];
}

}  // namespace vsk
