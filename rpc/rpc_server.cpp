#include "rpc/rpc_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "rpc/failure_detail.h"
#include "rpc/host_port.h"
#include "rpc/runtime_paths.h"
#include "rpc/type_library.h"
#include "rpc/wire.h"

namespace vsk {

namespace {

// Replies are small: a connection is not read while this much of its output waits, and is
// dropped once its output passes the cap (a client that does not read its replies). All
// connections together may hold at most the total.
constexpr size_t kReadPauseOutput = 64 * 1024;
constexpr size_t kMaxPendingOutput = 1024 * 1024;
constexpr size_t kMaxTotalOutput = 64 * 1024 * 1024;

// A TCP peer that has not authenticated yet gets short lines and little time (the server's
// pre-authentication time-out).
constexpr size_t kPreAuthLineBytes = 4096;
// Out of descriptors: accepting waits this long instead of spinning on the listener, and says
// so once a minute.
constexpr auto kAcceptPause = std::chrono::milliseconds(100);
constexpr auto kAcceptComplaintInterval = std::chrono::seconds(60);

int MsUntil(std::chrono::steady_clock::time_point when) {
    auto ms = std::chrono::ceil<std::chrono::milliseconds>(when - std::chrono::steady_clock::now())
                  .count();
    return ms <= 0 ? 0 : ms > INT32_MAX ? INT32_MAX : int(ms);
}

std::string PeerHost(const std::string& peer) {
    auto split = SplitHostPort(peer);
    return split ? split->host : peer;
}

bool WriteFileAtomically(const std::string& path, const std::string& text) {
    std::string tmp = path + ".tmp" + std::to_string(getpid());
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    bool ok = write(fd, text.data(), text.size()) == ssize_t(text.size());
    close(fd);
    if (!ok || rename(tmp.c_str(), path.c_str()) != 0) {
        unlink(tmp.c_str());
        return false;
    }
    return true;
}

std::string TooLong() {
    return wire::Error(Json(), RPC_E_INVALID_DATA, "request line longer than 1 MiB").Dump() + "\n";
}

const Json* Param(const Json& params, std::string_view key) {
    return params.Find(key);
}

}  // namespace

// A call under way when the server ends runs to its end (the engine's own time-outs bound it);
// this bounds the wait should one not.
constexpr int kShutdownCallWaitMs = 120 * 1000;

CRpcServer::CRpcServer(std::string runtimeDir)
    : m_runtimeDir(std::move(runtimeDir)), m_wakeFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

CRpcServer::~CRpcServer() {
    // No new request is served from here on. Calls that only wait end now; calls on a register
    // run to their end (the server has cut their waits short). Their replies still go out, so
    // a waiting client learns that its call failed rather than seeing the line drop.
    m_ending = true;
    TakeSessionPosts();  // answered with nothing
    for (const auto& [id, c] : m_connections)
        if (c->busy && c->call.async)
            c->call.async->CancelInvoke();
    for (int waited = 0; AnyCallUnderWay() && waited < kShutdownCallWaitMs; waited += 100) {
        pollfd p{m_wakeFd, POLLIN, 0};
        poll(&p, 1, 100);
        DrainCompletions();
    }
    std::vector<int> ids;
    for (const auto& [id, c] : m_connections)
        ids.push_back(id);
    for (int id : ids)
        CloseConnection(id);
    if (AnyCallUnderWay())
        Log("ending with calls still under way on a port; their objects are left as they are");
    for (auto it = m_connections.begin(); it != m_connections.end();) {
        if (it->second->busy) {
            ++it;
            continue;
        }
        int id = it->first;
        ++it;
        CloseConnection(id);
    }
    if (m_adopted)
        m_classes.clear();  // the files go on naming the socket its owner still listens on
    while (!m_classes.empty())
        RevokeClassObject(m_classes.front().clsid);
    if (m_localFd >= 0) {
        close(m_localFd);
        if (!m_adopted)
            unlink(m_socketPath.c_str());
    }
    if (m_tcpFd >= 0)
        close(m_tcpFd);
    if (m_wakeFd >= 0)
        close(m_wakeFd);
}

bool CRpcServer::AnyCallUnderWay() const {
    for (const auto& [id, c] : m_connections)
        if (c->busy)
            return true;
    return false;
}

void CRpcServer::PostCompletion(Completion done, bool wake) {
    {
        std::lock_guard lock(m_doneMutex);
        m_done.push_back(std::move(done));
    }
    if (wake) {
        uint64_t one = 1;
        (void)!write(m_wakeFd, &one, sizeof one);
    }
}

std::optional<CRpcServer::Completion> CRpcServer::TakeCompletion(int connection) {
    std::lock_guard lock(m_doneMutex);
    for (auto it = m_done.begin(); it != m_done.end(); ++it) {
        if (it->connection == connection) {
            Completion done = std::move(*it);
            m_done.erase(it);
            return done;
        }
    }
    return std::nullopt;
}

void CRpcServer::DrainCompletions() {
    uint64_t count;
    (void)!read(m_wakeFd, &count, sizeof count);
    TakeSessionPosts();
    std::deque<Completion> done;
    {
        std::lock_guard lock(m_doneMutex);
        done.swap(m_done);
    }
    for (Completion& d : done) {
        auto it = m_connections.find(d.connection);
        if (it == m_connections.end() || !it->second->busy)
            continue;
        Connection& c = *it->second;
        Connection::Call call = std::move(c.call);
        c.call = {};
        c.busy = false;
        HRESULT hr = S_OK;
        std::string message;
        Json result = InvokeResult(call.obj, call.member, d.hr, d.result, &hr, &message);
        std::string line;
        if (!call.notification && !c.closing) {
            Json reply =
                FAILED(hr) ? wire::Error(call.id, hr, message) : wire::Result(call.id, result);
            line = reply.Dump();
            if (c.session.empty())
                c.out += line + "\n";
        }
        call.async->Release();
        call.obj->Release();
        if (!c.session.empty()) {
            FinishSessionLine(c, std::move(line));
            continue;
        }
        Resume(d.connection);
    }
}

void CRpcServer::PostSessionLine(const std::string& session, std::string line, ReplyDone done) {
    {
        std::lock_guard lock(m_postMutex);
        m_posts.push_back({session, std::move(line), std::move(done)});
    }
    uint64_t one = 1;
    (void)!write(m_wakeFd, &one, sizeof one);
}

void CRpcServer::CloseSession(const std::string& session) {
    {
        std::lock_guard lock(m_postMutex);
        m_posts.push_back({session, {}, {}});
    }
    uint64_t one = 1;
    (void)!write(m_wakeFd, &one, sizeof one);
}

void CRpcServer::TakeSessionPosts() {
    std::deque<SessionPost> posts;
    {
        std::lock_guard lock(m_postMutex);
        posts.swap(m_posts);
    }
    for (SessionPost& p : posts) {
        auto known = m_sessions.find(p.session);
        if (!p.done) {  // close
            if (known != m_sessions.end()) {
                int id = known->second;
                m_sessions.erase(known);
                CloseConnection(id);
            }
            continue;
        }
        if (m_ending) {
            p.done("");
            continue;
        }
        if (known == m_sessions.end()) {
            auto c = std::make_unique<Connection>();
            c->id = m_nextConnection++;
            c->session = p.session;
            known = m_sessions.emplace(p.session, c->id).first;
            m_connections.emplace(c->id, std::move(c));
        }
        Connection& c = *m_connections.at(known->second);
        c.lines.emplace_back(std::move(p.line), std::move(p.done));
        ServeSession(c);
    }
}

void CRpcServer::ServeSession(Connection& c) {
    while (!c.busy && !c.closing && !c.lines.empty()) {
        auto [line, done] = std::move(c.lines.front());
        c.lines.pop_front();
        bool close = false;
        std::string reply = HandleLine(c, line, &close);
        if (c.busy) {  // answered when the call has ended
            c.serving = std::move(done);
            return;
        }
        done(std::move(reply));
    }
}

void CRpcServer::FinishSessionLine(Connection& c, std::string reply) {
    ReplyDone done = std::move(c.serving);
    c.serving = {};
    if (done)
        done(std::move(reply));
    if (c.closing) {
        CloseConnection(c.id);  // c is gone from here on
        return;
    }
    ServeSession(c);
}

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
    const std::string& host = split->host;
    const std::string& port = split->port;
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
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo* res = nullptr;
    if (int rc = getaddrinfo(host.empty() ? nullptr : host.c_str(), port.c_str(), &hints, &res);
        rc != 0) {
        if (error)
            *error = "cannot resolve " + hostPort + ": " + gai_strerror(rc);
        return false;
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
    if (fd < 0) {
        if (error)
            *error = "cannot listen on " + hostPort + ": " + std::strerror(errno);
        return false;
    }
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

bool CRpcServer::RegisterClassObject(ClassFactory factory, std::string* error) {
    if (m_socketPath.empty()) {
        if (error)
            *error = "no local socket to register the class on";
        return false;
    }
    RevokeClassObject(factory.clsid);
    if (!WriteFileAtomically(ClassFilePath(m_runtimeDir, factory.clsid), m_socketPath + "\n")) {
        if (error)
            *error = "cannot write the class file of " + GuidToString(factory.clsid);
        return false;
    }
    m_classes.push_back(std::move(factory));
    return true;
}

void CRpcServer::RevokeClassObject(const CLSID& which) {
    // A copy: `which` may be the entry's own CLSID (the destructor revokes the front entry),
    // which the erase below overwrites with the next class's.
    const CLSID clsid = which;
    for (auto it = m_classes.begin(); it != m_classes.end(); ++it) {
        if (it->clsid != clsid)
            continue;
        m_classes.erase(it);
        // Another server may have registered the class since; leave its file alone.
        std::string path = ClassFilePath(m_runtimeDir, clsid);
        if (ReadSmallFile(path) == m_socketPath + "\n")
            unlink(path.c_str());
        return;
    }
}

bool CRpcServer::IsRegistered(const CLSID& clsid) const {
    for (const auto& c : m_classes)
        if (c.clsid == clsid)
            return true;
    return false;
}

std::vector<int> CRpcServer::Fds() const {
    std::vector<int> fds;
    if (m_wakeFd >= 0)
        fds.push_back(m_wakeFd);
    if (m_localFd >= 0)
        fds.push_back(m_localFd);
    if (m_tcpFd >= 0)
        fds.push_back(m_tcpFd);
    for (const auto& [id, c] : m_connections)
        if (c->fd >= 0)
            fds.push_back(c->fd);
    return fds;
}

int CRpcServer::BuildPollSet(int timeoutMs, std::vector<pollfd>& fds, std::vector<int>& ids,
                             std::vector<int>& expired) {
    const auto now = std::chrono::steady_clock::now();
    auto sooner = [&](int ms) {
        if (timeoutMs < 0 || ms < timeoutMs)
            timeoutMs = ms;
    };
    const bool accepting = now >= m_acceptPausedUntil;
    if (!accepting)
        sooner(MsUntil(m_acceptPausedUntil));
    auto add = [&](int fd, short events, int id) {
        fds.push_back({fd, events, 0});
        ids.push_back(id);
    };
    add(m_wakeFd, POLLIN, -3);
    if (m_localFd >= 0 && accepting)
        add(m_localFd, POLLIN, -1);
    if (m_tcpFd >= 0 && accepting)
        add(m_tcpFd, POLLIN, -2);
    for (const auto& [id, c] : m_connections) {
        if (c->fd < 0)
            continue;
        if (c->tcp && !c->authenticated) {
            if (now >= c->authDeadline) {
                expired.push_back(id);
                continue;
            }
            sooner(MsUntil(c->authDeadline));
        }
        if (c->tls && !c->handshaken) {
            add(c->fd, c->tls->WantsWrite() ? POLLOUT : POLLIN, id);
            continue;
        }
        // A connection is not read while a call of its own is under way (its next request
        // waits for the reply) or its replies wait to be read; its hang-up still shows: poll
        // reports POLLHUP whatever is asked.
        short events =
            short((c->busy || !c->out.empty() ? 0 : POLLIN) | (c->out.empty() ? 0 : POLLOUT));
        add(c->fd, events, id);
    }
    return timeoutMs;
}

int CRpcServer::WatchSet(std::vector<pollfd>* watch) {
    int timeoutMs = m_timer ? m_timer() : -1;
    std::vector<int> ids, expired;
    watch->clear();
    timeoutMs = BuildPollSet(timeoutMs, *watch, ids, expired);
    // A connection out of time is closed by the next RunOnce.
    return expired.empty() ? timeoutMs : 0;
}

void CRpcServer::RunOnce(int timeoutMs, int wakeFd) {
    if (m_timer) {
        int next = m_timer();
        if (next >= 0 && (timeoutMs < 0 || next < timeoutMs))
            timeoutMs = next;
    }
    DrainCompletions();
    std::vector<pollfd> fds;
    std::vector<int> ids;  // connection id per entry; 0 the caller's wake fd, -3 completions
    if (wakeFd >= 0) {
        fds.push_back({wakeFd, POLLIN, 0});
        ids.push_back(0);
    }
    std::vector<int> expired;
    timeoutMs = BuildPollSet(timeoutMs, fds, ids, expired);
    for (int id : expired)
        CloseConnection(id);  // no authentication within its time
    int n = poll(fds.data(), fds.size(), timeoutMs);
    if (n <= 0)
        return;
    for (size_t i = 0; i < fds.size(); ++i) {
        if (!fds[i].revents)
            continue;
        int id = ids[i];
        if (id == -1)
            Accept(m_localFd, false);
        else if (id == -2)
            Accept(m_tcpFd, true);
        else if (id == -3)
            DrainCompletions();
        else if (id > 0) {
            auto it = m_connections.find(id);
            if (it == m_connections.end())
                continue;
            Connection& c = *it->second;
            if (c.tls && !c.handshaken) {
                ContinueHandshake(id);
                continue;
            }
            if (fds[i].revents & POLLOUT)
                Flush(c);
            if (c.busy) {
                if (fds[i].revents & (POLLHUP | POLLERR))
                    CloseConnection(id);  // the client is gone: its call is cancelled
            } else if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) {
                ServeReadable(id);
            }
        }
    }
}

namespace {

std::string PeerName(int fd) {
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        return {};
    char host[NI_MAXHOST] = "", port[NI_MAXSERV] = "";
    if (getnameinfo(reinterpret_cast<sockaddr*>(&addr), len, host, sizeof host, port, sizeof port,
                    NI_NUMERICHOST | NI_NUMERICSERV) != 0)
        return {};
    return std::string(host) + ":" + port;
}

}  // namespace

// Refusals are reported once a minute per address, with the count of those not reported.
void CRpcServer::LogRefusal(Connection& c, const std::string& why) {
    const std::string host = PeerHost(c.peer);
    int unreported = 0;
    if (!m_failures.Report(host, std::chrono::steady_clock::now(), &unreported))
        return;
    std::string line =
        "TCP connection from " + (c.peer.empty() ? std::string("?") : c.peer) + " refused: " + why;
    if (unreported > 0)
        line += " (and " + std::to_string(unreported) + " refusals from " + host +
                " not reported in the last minute)";
    Log(line);
}

void CRpcServer::Log(const std::string& line) {
    if (m_log)
        m_log(line);
    else
        std::fprintf(stderr, "vskmanager: %s\n", line.c_str());
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
        c->peer = PeerName(fd);
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

int CRpcServer::OpenTestConnection(bool tcp) {
    auto c = std::make_unique<Connection>();
    c->id = m_nextConnection;
    c->tcp = tcp;
    m_connections.emplace(m_nextConnection, std::move(c));
    return m_nextConnection++;
}

std::string CRpcServer::HandleTestLine(int id, std::string_view line, bool* close) {
    auto it = m_connections.find(id);
    if (it == m_connections.end())
        return {};
    Connection& c = *it->second;
    std::string reply = HandleLine(c, line, close);
    for (int waited = 0; c.busy && waited < kShutdownCallWaitMs; waited += 100) {
        pollfd p{m_wakeFd, POLLIN, 0};
        poll(&p, 1, 100);
        DrainCompletions();
    }
    if (!c.out.empty()) {  // the reply of a call that went on elsewhere
        reply = c.out.substr(0, c.out.size() - 1);
        c.out.clear();
    }
    return reply;
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

void CRpcServer::ServeReadable(int id) {
    Connection* c = m_connections.at(id).get();
    if (c->tls) {
        switch (c->tls->Read(c->in)) {
            case CTlsSession::Received::Data:
                Resume(id);
                return;
            case CTlsSession::Received::Again:
                return;
            case CTlsSession::Received::Closed:
            case CTlsSession::Received::Failed:
                CloseConnection(id);
                return;
        }
    }
    char buf[65536];
    const bool preAuth = c->tcp && !c->authenticated;
    ssize_t n = read(c->fd, buf, preAuth ? 2 * kPreAuthLineBytes : sizeof buf);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
        CloseConnection(id);
        return;
    }
    if (n < 0)
        return;
    c->in.append(buf, size_t(n));
    Resume(id);
}

void CRpcServer::Resume(int id) {
    auto it = m_connections.find(id);
    if (it == m_connections.end())
        return;
    Connection& c = *it->second;
    bool keep = c.closing ? false : ServeLines(c);
    Flush(c);
    if (c.out.size() > kReadPauseOutput &&
        (c.out.size() > kMaxPendingOutput || TotalOutput() > kMaxTotalOutput)) {
        Log("dropping a connection that does not read its replies");
        keep = false;
        c.out.clear();  // nothing more is sent to it
    }
    if (!keep || c.closing)
        CloseConnection(id);
}

size_t CRpcServer::TotalOutput() const {
    size_t total = 0;
    for (const auto& [id, c] : m_connections)
        total += c->out.size();
    return total;
}

bool CRpcServer::ServeLines(Connection& c) {
    bool close = false;
    while (!close && !m_ending && !c.busy && !c.closing && c.out.size() < kReadPauseOutput) {
        size_t nl = c.in.find('\n');
        // A TLS client on a plain listener: its handshake would otherwise sit here until the
        // deadline while the client waits for the server's hello.
        if (c.tcp && !c.authenticated && !c.tls && !c.in.empty() && c.in[0] == '\x16') {
            LogRefusal(c, "a TLS handshake on the plain TCP listener");
            return false;
        }
        if (c.tcp && !c.authenticated &&
            (nl == std::string::npos ? c.in.size() : nl) > kPreAuthLineBytes)
            return false;  // no long lines before authentication: the connection goes
        if (nl == std::string::npos) {
            if (c.in.size() > wire::kMaxLineBytes) {
                if (!c.discarding)
                    c.out += TooLong();
                c.discarding = true;
                c.in.clear();
            }
            break;
        }
        if (c.discarding) {  // the tail of a refused line
            c.in.erase(0, nl + 1);
            c.discarding = false;
            continue;
        }
        if (nl > wire::kMaxLineBytes) {
            c.in.erase(0, nl + 1);
            c.out += TooLong();
            continue;
        }
        std::string line = c.in.substr(0, nl);
        c.in.erase(0, nl + 1);
        std::string reply = HandleLine(c, line, &close);
        if (!reply.empty())
            c.out += reply + "\n";
    }
    return !close;
}

void CRpcServer::Flush(Connection& c) {
    if (c.tls) {
        while (!c.out.empty() && c.fd >= 0 && c.handshaken) {
            ssize_t n = c.tls->Send(c.out.data(), c.out.size());
            if (n > 0) {
                c.out.erase(0, size_t(n));
            } else {
                if (n < 0)
                    c.closing = true;
                break;
            }
        }
        return;
    }
    while (!c.out.empty() && c.fd >= 0) {
        ssize_t n = send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL);
        if (n > 0) {
            c.out.erase(0, size_t(n));
        } else {
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && errno != EAGAIN)
                c.closing = true;
            break;
        }
    }
}

void CRpcServer::CloseConnection(int id) {
    auto it = m_connections.find(id);
    if (it == m_connections.end())
        return;
    Connection& c = *it->second;
    if (c.busy) {
        // The call under way holds its object: the connection goes when the call has ended.
        // Nothing more reaches the client; a call that only waits ends now.
        c.closing = true;
        c.tls.reset();
        if (c.fd >= 0) {
            close(c.fd);
            c.fd = -1;
        }
        if (c.call.async)
            c.call.async->CancelInvoke();
        return;
    }
    if (c.fd >= 0) {
        Flush(c);
        if (c.tls && c.handshaken)
            c.tls->Bye();
        c.tls.reset();
        close(c.fd);
        c.fd = -1;
    }
    // As the platform does for a client process that dies: release what it still holds.
    auto objects = std::move(c.objects);
    auto queued = std::move(c.lines);
    ReplyDone serving = std::move(c.serving);
    if (auto s = m_sessions.find(c.session); s != m_sessions.end() && s->second == id)
        m_sessions.erase(s);
    m_connections.erase(it);
    for (auto& [handle, obj] : objects)
        obj->Release();
    // A session's lines that will not be served are answered with nothing.
    if (serving)
        serving("");
    for (auto& [line, done] : queued)
        done("");
}

std::string CRpcServer::HandleLine(Connection& c, std::string_view line, bool* close) {
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    if (line.find_first_not_of(" \t") == std::string_view::npos)
        return {};
    std::string parseError;
    auto req = Json::Parse(line, &parseError);
    if (!req) {
        if (c.tcp && !c.authenticated)
            *close = true;
        return wire::Error(Json(), RPC_E_INVALID_DATA, "malformed JSON: " + parseError).Dump();
    }
    const Json* id = req->Find("id");
    Json replyId = id ? *id : Json();
    const Json* version = req->Find("jsonrpc");
    const Json* method = req->Find("method");
    const Json* params = req->Find("params");
    if (!req->IsObject() || !version || !version->IsString() || version->AsString() != "2.0" ||
        !method || !method->IsString() || (params && !params->IsObject() && !params->IsNull()) ||
        (id && !id->IsString() && !id->IsNumber() && !id->IsNull())) {
        if (c.tcp && !c.authenticated)
            *close = true;
        return wire::Error(replyId, RPC_E_INVALID_DATA, "not a JSON-RPC 2.0 request").Dump();
    }
    static const Json kNoParams = Json(Json::Object{});
    HRESULT hr = S_OK;
    std::string message;
    bool pending = false;
    Json result =
        Dispatch(c, method->AsString(), params && params->IsObject() ? *params : kNoParams, close,
                 &pending, &hr, &message);
    if (pending) {  // answered when the call has ended
        c.call.id = std::move(replyId);
        c.call.notification = !id;
        return {};
    }
    if (!id)
        return {};  // a notification
    if (FAILED(hr))
        return wire::Error(replyId, hr, message.empty() ? HResultName(hr) : message).Dump();
    return wire::Result(replyId, std::move(result)).Dump();
}

Json CRpcServer::InvokeResult(IDispatch* obj, const char* member, HRESULT hr, const VARIANT& result,
                              HRESULT* error, std::string* message) {
    if (hr == DISP_E_MEMBERNOTFOUND || hr == DISP_E_BADPARAMCOUNT || hr == DISP_E_TYPEMISMATCH) {
        *error = hr;
        *message = HResultName(hr) + ": cannot invoke " + member;
        return Json();
    }
    Json out;
    out.Set("hr", int64_t(hr));
    out.Set("value", wire::ToJson(result));
    // A failed method says why when its object knows, and so does one whose result is in
    // doubt although it succeeded.
    IFailureDetail* details = nullptr;
    if (SUCCEEDED(obj->QueryInterface(IID_IFailureDetail, reinterpret_cast<void**>(&details))) &&
        details) {
        FailureDetail detail;
        if (details->TakeFailureDetail(&detail)) {
            Json why;
            why.Set("code", detail.code);
            why.Set("message", detail.message);
            if (!detail.outcome.empty())
                why.Set("outcome", detail.outcome);
            out.Set("error", std::move(why));
        }
        details->Release();
    }
    return out;
}

Json CRpcServer::Dispatch(Connection& c, const std::string& method, const Json& params, bool* close,
                          bool* pending, HRESULT* error, std::string* message) {
    auto fail = [&](HRESULT hr, std::string text) {
        *error = hr;
        *message = HResultName(hr) + ": " + text;
        return Json();
    };
    auto refuse = [&](const char* why) {
        LogRefusal(c, why);
        *close = true;
        return fail(E_ACCESSDENIED, why);
    };
    if (method == "Authenticate") {
        const Json* token = Param(params, "token");
        if (!c.tcp)
            return Json(Json::Object{{"authenticated", true}});
        const std::string host = PeerHost(c.peer);
        const auto now = std::chrono::steady_clock::now();
        if (m_failures.MustWait(host, now))
            return refuse("too many failed authentications from this address; try later");
        if (!token || !token->IsString() || !TokenMatches(token->AsString(), m_token)) {
            m_failures.Failed(host, now);
            return refuse("wrong token");
        }
        m_failures.Succeeded(host);
        c.authenticated = true;
        return Json(Json::Object{{"authenticated", true}});
    }
    if (c.tcp && !c.authenticated)
        return refuse("authenticate first");

    if (method == "CreateInstance") {
        const Json* clsid = Param(params, "clsid");
        const Json* progid = Param(params, "progid");
        const ClassFactory* factory = nullptr;
        std::optional<GUID> wanted;
        if (clsid && clsid->IsString())
            wanted = GuidFromString(clsid->AsString());
        if (!wanted && !(progid && progid->IsString()))
            return fail(E_INVALIDARG, "give a clsid or a progid");
        for (const auto& f : m_classes) {
            if (wanted && f.clsid == *wanted)
                factory = &f;
            if (!wanted)
                for (const auto& p : f.progIds)
                    if (EqualNoCase(p, progid->AsString()))
                        factory = &f;
            if (factory)
                break;
        }
        if (!factory)
            return fail(REGDB_E_CLASSNOTREG, "class not served here");
        ClassFactory f = *factory;  // the factory may revoke itself while creating
        if (f.singleUse)
            RevokeClassObject(f.clsid);
        IDispatch* obj = nullptr;
        HRESULT hr = f.create ? f.create(&obj) : E_NOTIMPL;
        if (FAILED(hr) || !obj)
            return fail(FAILED(hr) ? hr : E_FAIL, "creation failed");
        int handle = c.nextObject++;
        c.objects[handle] = obj;
        return Json(Json::Object{{"object", int64_t(handle)}});
    }

    if (method != "Release" && method != "GetTypeInfo" && method != "GetIDsOfNames" &&
        method != "Invoke")
        return fail(DISP_E_MEMBERNOTFOUND, "unknown method " + method);
    // The remaining methods act on an object of this connection.
    const Json* object = Param(params, "object");
    if (!object || !object->IsInt())
        return fail(E_INVALIDARG, "missing object handle");
    auto found = c.objects.find(int(object->AsInt()));
    if (object->AsInt() < 0 || object->AsInt() > INT32_MAX || found == c.objects.end())
        return fail(RPC_E_DISCONNECTED, "unknown object " + std::to_string(object->AsInt()));
    IDispatch* obj = found->second;
    const ITypeInfo* info = nullptr;
    if (FAILED(obj->GetTypeInfo(0, &info)) || !info)
        return fail(E_UNEXPECTED, "no type info");

    if (method == "Release") {
        c.objects.erase(found);
        ULONG refs = obj->Release();
        return Json(Json::Object{{"refs", int64_t(refs)}});
    }
    if (method == "GetTypeInfo")
        return wire::DescribeTypeInfo(*info);
    if (method == "GetIDsOfNames") {
        const Json* names = Param(params, "names");
        if (!names || !names->IsArray())
            return fail(E_INVALIDARG, "names must be an array");
        Json::Array ids;
        for (const Json& n : names->AsArray()) {
            if (!n.IsString())
                return fail(DISP_E_TYPEMISMATCH, "names must be strings");
            DISPID dispId = -1;
            auto wide = Utf8ToUtf16(n.AsString());
            if (!wide || FAILED(obj->GetIDsOfNames(*wide, &dispId)))
                return fail(DISP_E_UNKNOWNNAME, "unknown name " + n.AsString());
            ids.emplace_back(int64_t(dispId));
        }
        return Json(Json::Object{{"dispids", Json(std::move(ids))}});
    }
    if (method == "Invoke") {
        const MemberDesc* member = nullptr;
        const Json* dispid = Param(params, "dispid");
        const Json* name = Param(params, "name");
        if (dispid && dispid->IsInt()) {
            if (dispid->AsInt() >= INT32_MIN && dispid->AsInt() <= INT32_MAX)
                member = info->FindByDispId(DISPID(dispid->AsInt()));
            if (!member)
                return fail(DISP_E_MEMBERNOTFOUND, "unknown dispid");
        } else if (name && name->IsString()) {
            member = info->FindByName(name->AsString());
            if (!member)
                return fail(DISP_E_UNKNOWNNAME, "unknown member " + name->AsString());
        } else {
            return fail(E_INVALIDARG, "give a dispid or a name");
        }
        InvokeKind kind = InvokeKind::Method;
        if (const Json* k = Param(params, "kind")) {
            auto parsed = k->IsString() ? wire::KindFromName(k->AsString()) : std::nullopt;
            if (!parsed)
                return fail(E_INVALIDARG, "kind is method, get or put");
            kind = *parsed;
        }
        static const Json kNoArgs = Json(Json::Array{});
        const Json* args = Param(params, "args");
        if (args && !args->IsArray())
            return fail(E_INVALIDARG, "args must be an array");
        const Json::Array& list = (args ? *args : kNoArgs).AsArray();
        // What the member expects: its inputs, or the property value for a put.
        std::vector<VarType> types;
        if (kind == InvokeKind::PropertyPut)
            types.push_back(member->result);
        else
            for (const ParamDesc& p : member->Params())
                if (p.dir != ParamDir::RetVal)
                    types.push_back(p.type);
        if (list.size() != types.size())
            return fail(DISP_E_BADPARAMCOUNT, std::string(member->name) + " takes " +
                                                  std::to_string(types.size()) + " argument(s)");
        std::vector<VARIANT> values(list.size());
        for (size_t i = 0; i < list.size(); ++i)
            if (HRESULT hr = wire::ArgFromJson(list[i], types[i], &values[i]); FAILED(hr))
                return fail(hr, "argument " + std::to_string(i + 1) + " of " + member->name);
        IAsyncDispatch* async = nullptr;
        if (FAILED(obj->QueryInterface(IID_IAsyncDispatch, reinterpret_cast<void**>(&async))) ||
            !async) {
            VARIANT result;
            HRESULT hr =
                obj->Invoke(member->dispid, kind, values.data(), unsigned(values.size()), &result);
            return InvokeResult(obj, member->name, hr, result, error, message);
        }
        // The call goes on elsewhere; the object stays referenced until it has ended.
        obj->AddRef();
        int connection = c.id;
        // While InvokeAsync runs, an end on this thread is taken below without a wake-up.
        auto returned = std::make_shared<std::atomic<bool>>(false);
        async->InvokeAsync(
            member->dispid, kind, std::move(values),
            [this, connection, returned](HRESULT hr, VARIANT result) {
                PostCompletion({connection, hr, std::move(result)}, returned->load());
            });
        returned->store(true);
        if (auto done = TakeCompletion(connection)) {
            async->Release();
            obj->Release();
            return InvokeResult(obj, member->name, done->hr, done->result, error, message);
        }
        c.busy = true;
        c.call.obj = obj;
        c.call.async = async;
        c.call.member = member->name;
        *pending = true;
        return Json();
    }
    return fail(DISP_E_MEMBERNOTFOUND, "unknown method " + method);
}

}  // namespace vsk
