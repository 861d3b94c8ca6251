// CAuthBackoff: what the listeners remember of peers that failed to authenticate. Each failure
// makes the peer's address wait before its next attempt, the wait doubling from 100 ms up to
// 10 s, and the refusals of one address are reported at most once a minute, so that a flood of
// guesses can neither try many tokens nor flood the log.
//
// Bounded: a new address beyond the limit first makes those whose wait and last report are
// more than a minute past forgotten, then (when that frees nothing) the lowest address.
//
// Threading: none of its own. The automation loop uses its listener's on its thread; the HTTP
// front holds its own lock around its listener's.
#pragma once

#include <chrono>
#include <map>
#include <string>

namespace vsk {

class CAuthBackoff {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr size_t kMaxPeers = 4096;

    explicit CAuthBackoff(size_t maxPeers = kMaxPeers) : m_maxPeers(maxPeers) {}

    // Whether `host` still waits after its last failure.
    bool MustWait(const std::string& host, Clock::time_point now) const;
    // A missing or wrong token from `host`: its next attempt waits, longer than after the last.
    void Failed(const std::string& host, Clock::time_point now);
    // A good token: `host` is forgotten.
    void Succeeded(const std::string& host) { m_peers.erase(host); }
    // A refusal of `host`: true when it is to be reported now, *unreported being the refusals
    // since its last report; false when it is only counted.
    bool Report(const std::string& host, Clock::time_point now, int* unreported);
    size_t Size() const { return m_peers.size(); }

private:
    struct Peer {
        int failures = 0;
        Clock::time_point retryAt;
        Clock::time_point lastReport;
        int unreported = 0;
    };
    Peer& Track(const std::string& host, Clock::time_point now);

    size_t m_maxPeers;
    std::map<std::string, Peer> m_peers;
};

}  // namespace vsk
