// CAdmission: who may hold the HTTP listener's connections, and for how long. The listener runs
// a thread per connection (a handler waits on a register), so a connection is a thread and a
// slot of a fixed number: a crowd that holds them shuts the tills out. Every connection is
// counted from its start to its close against its peer: its address off the loopback, and on
// the loopback the user owning the other end (every local user shares 127.0.0.1). A peer past
// its share is closed at once, unanswered; the last connections are kept for peers holding few;
// a connection that does not bring its request in time, or an event stream whose reader does
// not read, is shut down by the sweeper.
#pragma once

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

struct sockaddr;

namespace vsk {

// Every limit of the HTTP listener, with whose it is: "libmicrohttpd" where the daemon enforces
// it itself, "ours" where CAdmission or the events route does.
namespace http_limits {

// libmicrohttpd: connections at once, each a thread. A till keeps one or two; 128 threads are
// cheap next to the registers behind them.
inline constexpr unsigned kConnections = 128;
// libmicrohttpd: connections from one address, refused before a thread is started. All the
// loopback's users are one address to it, so it only stops one address (or the loopback as a
// whole) from taking more than half; the per-peer cap below is the finer one.
inline constexpr unsigned kConnectionsPerAddress = kConnections / 2;
// libmicrohttpd: seconds without any byte moving before it closes a connection. It also runs
// while a handler waits on a register (a handler that outlives it loses its answer), so it
// stays long: the request deadlines below are what stop a slow client.
inline constexpr unsigned kInactivitySeconds = 60;
// Ours: connections one peer holds at once. A till needs one or two, a browser on the status
// page six; a peer past it is closed at once.
inline constexpr unsigned kConnectionsPerPeer = 16;
// Ours: the last connections of the total go only to peers holding fewer than kFewConnections,
// so one peer, or a few at their cap, cannot take the last ones from a till.
inline constexpr unsigned kReserved = 32;
inline constexpr unsigned kFewConnections = 4;
// Ours: the request's headers must be in within this of the connection's start (the TLS
// handshake included) or of the previous request's end on a kept-alive connection. A till on a
// LAN sends them in milliseconds; a trickle of a byte a second is cut here, where
// libmicrohttpd's inactivity time-out never fires.
inline constexpr std::chrono::seconds kHeaderDeadline{4};
// Ours: the body must be in within this of the headers: 1 MiB (the largest body taken) at
// 50 kB/s, a poor mobile link.
inline constexpr std::chrono::seconds kBodyDeadline{20};
// Ours: how often the sweeper looks for connections past their deadline.
inline constexpr std::chrono::milliseconds kSweepPeriod{250};
// Ours: event streams (GET /v1/events) at once, and per peer; 503 beyond. A status page is one
// stream; a handful of operators, each with a few tabs, stay well under.
inline constexpr unsigned kEventStreams = 32;
inline constexpr unsigned kEventStreamsPerPeer = 4;
// Ours: an event stream whose last event has not left for this long has a reader that does
// not read: it is dropped. Its socket's send buffer is kept small (kEventSendBuffer) so that
// a reader that stops is seen after a few events, not after megabytes.
inline constexpr std::chrono::seconds kStalledStream{4};
inline constexpr int kEventSendBuffer = 16 * 1024;

}  // namespace http_limits

class CAdmission {
public:
    // The caps, changeable for the tests; the constants above by default.
    struct Limits {
        unsigned connections = http_limits::kConnections;
        unsigned perPeer = http_limits::kConnectionsPerPeer;
        unsigned reserved = http_limits::kReserved;
        unsigned few = http_limits::kFewConnections;
        unsigned streams = http_limits::kEventStreams;
        unsigned streamsPerPeer = http_limits::kEventStreamsPerPeer;
        std::chrono::steady_clock::duration headers = http_limits::kHeaderDeadline;
        std::chrono::steady_clock::duration body = http_limits::kBodyDeadline;
        std::chrono::steady_clock::duration stalled = http_limits::kStalledStream;
    };
    using Clock = std::chrono::steady_clock;
    // What the admission keeps of one connection (libmicrohttpd's socket context).
    struct Connection;

    CAdmission();
    explicit CAdmission(Limits limits);
    ~CAdmission();
    CAdmission(const CAdmission&) = delete;
    CAdmission& operator=(const CAdmission&) = delete;

    // The peer a connection counts against: "user:UID" for a loopback peer whose user the
    // kernel names, "addr:ADDRESS" otherwise.
    static std::string PeerOf(int fd, const sockaddr* address);

    // A connection has started: counted against `peer` and given its header deadline, or
    // refused (nullptr: its socket has been shut down, the caller lets it close).
    Connection* Admit(int fd, const std::string& peer, Clock::time_point now);
    // Its close: uncounted. The socket is closed after this returns, so the sweeper, which
    // takes the same lock, never touches a reused descriptor.
    void Closed(Connection* connection);
    // The headers of a request are in: the body's deadline runs. The body is in: no deadline
    // while the request is answered. The answer is out: the next request's headers' deadline.
    void HeadersIn(Connection* connection, Clock::time_point now);
    void BodyIn(Connection* connection);
    void RequestEnded(Connection* connection, Clock::time_point now);
    // The connection becomes an event stream, within the caps (false: answer 503).
    bool OpenStream(Connection* connection, Clock::time_point now);
    // The stream's next event is being asked for (`asking`), or has been handed over.
    void StreamProgress(Connection* connection, bool asking, Clock::time_point now);
    // Whether the sweeper has shut the connection down: a stream waiting for its next event
    // ends instead of waiting on.
    bool Cut(Connection* connection) const;

    // Shuts down every connection past its deadline, every stalled stream and every stream
    // whose reader has hung up (its thread would not see it before its next write); how many.
    int Sweep(Clock::time_point now);
    // Sweeps every kSweepPeriod on a thread of its own until Stop.
    void StartSweeper();
    void Stop();

    // Connections counted now, in all and of one peer.
    unsigned Count() const;
    unsigned CountOf(const std::string& peer) const;

private:
    Limits m_limits;
    mutable std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_stopping = false;
    std::map<Connection*, std::unique_ptr<Connection>> m_connections;
    std::map<std::string, unsigned> m_perPeer, m_streamsPerPeer;
    unsigned m_streams = 0;
    std::thread m_sweeper;
};

}  // namespace vsk
