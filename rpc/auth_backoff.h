// CAuthBackoff: what the listeners remember of peers that failed to authenticate. Each failure
// makes the peer wait before its next attempt, the wait doubling from 100 ms up to 10 s, and
// the refusals of one peer are reported at most once a minute, so that a flood of guesses is
// told to wait and cannot flood the log. The wait punishes wrong tokens only: a right token is
// admitted at once, even from a peer in its wait, so that a guesser sharing the real client's
// address or user cannot lock it out (the token's length, not the wait, is what makes guessing
// it hopeless).
//
// A peer is known by its key (PeerKey): off the loopback its address; on the loopback, where
// every user of the computer shares the address, its user.
//
// Bounded: a new address beyond the limit first makes those whose wait and last report are
// more than a minute past forgotten, then (when that frees nothing) the lowest address.
//
// Threading: none of its own. The automation loop uses its listener's on its thread; the HTTP
// front holds its own lock around its listener's.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>

namespace vsk {

class CAuthBackoff {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr size_t kMaxPeers = 4096;

    explicit CAuthBackoff(size_t maxPeers = kMaxPeers) : m_maxPeers(maxPeers) {}

    // "uid:N" for a loopback peer whose user is known; its address otherwise.
    static std::string PeerKey(bool loopback, std::optional<uid_t> user,
                               const std::string& address);

    enum class Admission {
        Admitted,  // the right token
        Wrong,     // a wrong or missing one: counted, the peer waits from now
        Waiting,   // a wrong one while the peer waits: refused, not counted
    };
    // One attempt of `key`, whose token the caller has compared already (the same comparison
    // whether the peer waits or not). A right token during a wait is admitted and leaves the
    // wait to whoever else shares the key; one after the wait forgets the peer.
    Admission Attempt(const std::string& key, bool tokenMatches, Clock::time_point now);

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
