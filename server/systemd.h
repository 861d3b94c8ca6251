// The server as a systemd service: the listening socket a socket unit hands over, and the
// notifications of a Type=notify service (ready, stopping, the watchdog's keep-alive). Outside
// systemd every call here does nothing.
#pragma once

#include <chrono>
#include <string>

namespace vsk {

// The inherited listening Unix stream socket (LISTEN_FDS/LISTEN_PID), or -1 when the server
// was not started by socket activation. The variables are removed from the environment, so
// that nothing the server starts takes the socket for its own. *error is set when something
// was handed over that cannot be used.
int TakeActivatedSocket(std::string* error);

class CRpcServer;

// Says where the server listens, one line each: the socket, the TCP address with its real port
// (with --listen HOST:0 the system picks it), and the token file when the server has just made
// it. Returns the one-line status for the service manager.
std::string AnnounceListeners(const CRpcServer& server, const std::string& listen,
                              const std::string& createdTokenFile);

// The nearer of two timer wishes in milliseconds (-1: none).
inline int SoonerOf(int a, int b) {
    return a < 0 ? b : b < 0 ? a : a < b ? a : b;
}

class CServiceNotifier {
public:
    CServiceNotifier();
    void Ready(const std::string& status);
    void Stopping();
    // Sends WATCHDOG=1 when half the watchdog interval has passed since the last one; the
    // milliseconds until it wants to run again, -1 without a watchdog.
    int Tick();

private:
    std::chrono::microseconds m_watchdog{0};
    std::chrono::steady_clock::time_point m_lastPing;
};

}  // namespace vsk
