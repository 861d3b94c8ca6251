// The listeners and what a TCP peer must pass before its requests are served: the private Unix
// socket (made here or handed over by socket activation), the opt-in TCP listener with its TLS,
// the peer checks at accepting, and authentication with the token under the back-off.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

#include "platform/peer_user.h"
#include "rpc/host_port.h"
#include "rpc/rpc_server.h"
#include "rpc/runtime_paths.h"
#include "rpc/wire.h"

namespace vsk {

namespace {

// Out of descriptors: accepting waits this long instead of spinning on the listener, and says
// so once a minute.
constexpr auto kAcceptPause = std::chrono::milliseconds(100);
constexpr auto kAcceptComplaintInterval = std::chrono::seconds(60);

// The peer's "address:port", and the key the back-off knows it by: on the loopback, where every
// user of the computer shares the address, the user owning the peer's socket.
std::string PeerName(int fd, std::string* key) {
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        return {};
    char host[NI_MAXHOST] = "", port[NI_MAXSERV] = "";
    if (getnameinfo(reinterpret_cast<sockaddr*>(&addr), len, host, sizeof host, port, sizeof port,
                    NI_NUMERICHOST | NI_NUMERICSERV) != 0)
        return {};
    const bool loopback = IsLoopbackAddress(reinterpret_cast<const sockaddr*>(&addr));
    *key = CAuthBackoff::PeerKey(loopback, loopback ? LocalPeerUser(fd) : std::nullopt, host);
    return std::string(host) + ":" + port;
}

// A listening socket on the first address of host and port that takes one; -1 and *error
// when none does.
int BindTcp(const std::string& host, const std::string& port, const std::string& hostPort,
            std::string* error) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo* res = nullptr;
    if (int rc = getaddrinfo(host.empty() ? nullptr : host.c_str(), port.c_str(), &hints, &res);
        rc != 0) {
        if (error)
            *error = "cannot resolve " + hostPort + ": " + gai_strerror(rc);
        return -1;
    }
    int fd = -1;
    for (addrinfo* ai = res; ai && fd < 0; ai = ai->ai_next) {
        fd = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0)
            continue;
        int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (bind(fd, ai->ai_addr, ai->ai_addrlen) != 0 || listen(fd, 64) != 0) {
            close(fd);
            fd = -1;
        }
    }
    freeaddrinfo(res);
    if (fd < 0 && error)
        *error = "cannot listen on " + hostPort + ": " + std::strerror(errno);
    return fd;
}

}  // namespace

bool CRpcServer::ListenLocal(std::string* error) {
    if (!EnsurePrivateDir(m_runtimeDir, error))
        return false;
    m_socketPath = m_runtimeDir + "/server-" + std::to_string(getpid()) + ".sock";
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (m_socketPath.size() >= sizeof addr.sun_path) {
        if (error)
            *error = "socket path too long: " + m_socketPath;
        return false;
    }
    std::memcpy(addr.sun_path, m_socketPath.c_str(), m_socketPath.size() + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        if (error)
            *error = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    unlink(m_socketPath.c_str());  // a stale socket of an earlier process with our pid
    mode_t old = umask(0177);
    int rc = bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    umask(old);
    if (rc != 0 || chmod(m_socketPath.c_str(), 0600) != 0 || listen(fd, 64) != 0) {
        if (error)
            *error = "cannot listen on " + m_socketPath + ": " + std::strerror(errno);
        close(fd);
        return false;
    }
    m_localFd = fd;
    return true;
}

bool CRpcServer::AdoptLocal(int listenFd, std::string* error) {
    if (!EnsurePrivateDir(m_runtimeDir, error))
        return false;
    sockaddr_un addr{};
    socklen_t len = sizeof addr;
    if (getsockname(listenFd, reinterpret_cast<sockaddr*>(&addr), &len) != 0 ||
        addr.sun_family != AF_UNIX || len <= offsetof(sockaddr_un, sun_path) ||
        addr.sun_path[0] == '\0') {
        if (error)
            *error = "the socket handed over has no path in the file system";
        return false;
    }
    m_socketPath.assign(addr.sun_path, strnlen(addr.sun_path, sizeof addr.sun_path));
    int flags = fcntl(listenFd, F_GETFL);
    fcntl(listenFd, F_SETFL, flags | O_NONBLOCK);
    fcntl(listenFd, F_SETFD, FD_CLOEXEC);
    m_localFd = listenFd;
    m_adopted = true;
    return true;
}

bool CRpcServer::ListenTcp(const std::string& hostOrHostPort, const std::string& tokenFile,
                           std::string* error, const TcpListenOptions& options) {
    const std::string hostPort = WithDefaultTcpPort(hostOrHostPort);
    const auto split = SplitHostPort(hostPort);
    if (!split) {
        if (error)
            *error = "expected HOST:PORT, got " + hostPort;
        return false;
    }
    if (options.certFile.empty() != options.keyFile.empty()) {
        if (error)
            *error = "TLS on the TCP listener needs a certificate and its key together";
        return false;
    }
    std::shared_ptr<CTlsServerCredentials> credentials;
    if (!options.certFile.empty()) {
        std::string why;
        credentials = CTlsServerCredentials::Load(options.certFile, options.keyFile, &why);
        if (!credentials) {
            if (error)
                *error = why;
            return false;
        }
    }
    auto token = LoadOrCreateTokenFile(tokenFile, error);
    if (!token)
        return false;
    int fd = BindTcp(split->host, split->port, hostPort, error);
    if (fd < 0)
        return false;
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len);
    // The token and every call would cross the network readable by anyone on the way.
    const bool loopback = IsLoopbackAddress(reinterpret_cast<const sockaddr*>(&ss));
    if (!loopback && !credentials && !options.insecure) {
        close(fd);
        if (error)
            *error = "TCP off the loopback (" + hostPort +
                     ") needs --tls-cert and --tls-key (vskmanager --make-cert makes them), or "
                     "--insecure";
        return false;
    }
    m_tcpPort = ntohs(ss.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port
                                               : reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
    m_tcpFd = fd;
    m_token = *token;
    m_tlsCredentials = std::move(credentials);
    m_tcpClearOffLoopback = !loopback && !m_tlsCredentials;
    return true;
}

std::string CRpcServer::TcpFingerprint() const {
    return m_tlsCredentials ? m_tlsCredentials->Fingerprint() : std::string();
}

void CRpcServer::Accept(int listenFd, bool tcp) {
    int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
            // The pending connection stays in the backlog; polling the listener now would only
            // report it again at once.
            auto now = std::chrono::steady_clock::now();
            m_acceptPausedUntil = now + kAcceptPause;
            if (now - m_lastAcceptComplaint >= kAcceptComplaintInterval) {
                m_lastAcceptComplaint = now;
                Log(std::string("cannot accept connections: ") + std::strerror(errno));
            }
        }
        return;
    }
    if (!tcp) {
        // The folder is private already; the peer check also covers a descriptor passed on.
        ucred cred{};
        socklen_t len = sizeof cred;
        if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || cred.uid != geteuid()) {
            close(fd);
            return;
        }
    } else {
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    auto c = std::make_unique<Connection>();
    c->id = m_nextConnection;
    c->fd = fd;
    c->tcp = tcp;
    if (tcp) {
        c->peer = PeerName(fd, &c->peerKey);
        c->authDeadline = std::chrono::steady_clock::now() + m_preAuthTimeout;
        if (m_tlsCredentials) {
            std::string why;
            c->tls = CTlsSession::Server(fd, m_tlsCredentials, &why);
            if (!c->tls) {
                Log(why);
                close(fd);
                return;
            }
        }
    }
    m_connections.emplace(m_nextConnection++, std::move(c));
}

// The handshake goes as far as the socket lets it, never waiting; the pre-authentication
// deadline ends one that does not finish.
void CRpcServer::ContinueHandshake(int id) {
    Connection& c = *m_connections.at(id);
    if (!c.tls->WantsWrite()) {
        // A plain client on a TLS listener would wait for an answer to a line the handshake
        // swallows: it is told in its own terms what is wrong.
        char first = 0;
        ssize_t n = recv(c.fd, &first, 1, MSG_PEEK);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
            CloseConnection(id);
            return;
        }
        if (n < 0)
            return;
        if (first == '{') {
            LogRefusal(c, "plain TCP on the TLS listener");
            const std::string line =
                wire::Error(Json(), E_ACCESSDENIED,
                            "this listener speaks TLS: connect with the server's CA file or "
                            "certificate fingerprint")
                    .Dump() +
                "\n";
            (void)!send(c.fd, line.data(), line.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            c.tls.reset();
            CloseConnection(id);
            return;
        }
    }
    std::string why;
    switch (c.tls->Handshake(&why)) {
        case CTlsSession::Step::Done:
            c.handshaken = true;
            ServeReadable(id);  // what came with the handshake's end
            return;
        case CTlsSession::Step::WantRead:
        case CTlsSession::Step::WantWrite:
            return;
        case CTlsSession::Step::Failed:
            LogRefusal(c, why);
            c.tls.reset();  // no goodbye to a peer that never said hello
            CloseConnection(id);
            return;
    }
}

Json CRpcServer::Authenticate(Request& r) {
    if (!r.c.tcp)
        return Json(Json::Object{{"authenticated", true}});
    const Json* token = r.params.Find("token");
    // Compared whether the peer waits or not: the answer's time tells nothing of the wait.
    const bool matches = token && token->IsString() && TokenMatches(token->AsString(), m_token);
    switch (m_failures.Attempt(r.c.peerKey, matches, std::chrono::steady_clock::now())) {
        case CAuthBackoff::Admission::Admitted:
            break;
        case CAuthBackoff::Admission::Waiting:
            return Refuse(r, "too many failed authentications from this peer; try later");
        case CAuthBackoff::Admission::Wrong:
            return Refuse(r, "wrong token");
    }
    r.c.authenticated = true;
    return Json(Json::Object{{"authenticated", true}});
}

// A refused peer is told why and dropped.
Json CRpcServer::Refuse(Request& r, const char* why) {
    LogRefusal(r.c, why);
    r.close = true;
    return r.Fail(E_ACCESSDENIED, why);
}

// Refusals are reported once a minute per peer (its address, or its user on the loopback), with the
// count of those not reported.
void CRpcServer::LogRefusal(Connection& c, const std::string& why) {
    const std::string& key = c.peerKey;
    int unreported = 0;
    if (!m_failures.Report(key, std::chrono::steady_clock::now(), &unreported))
        return;
    std::string line =
        "TCP connection from " + (c.peer.empty() ? std::string("?") : c.peer) + " refused: " + why;
    if (unreported > 0)
        line += " (and " + std::to_string(unreported) + " refusals from " + key +
                " not reported in the last minute)";
    Log(line);
}

}  // namespace vsk
