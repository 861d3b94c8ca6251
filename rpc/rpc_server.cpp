// The automation loop itself: what it waits on, what it serves when something is ready, the
// class objects it creates from, and its end. The listeners, the connections' I/O, the
// dispatch of requests and the session bridge have files of their own.
#include "rpc/rpc_server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "platform/log.h"
#include "rpc/runtime_paths.h"

namespace vsk {

namespace {

// A call under way when the server ends runs to its end (the engine's own time-outs bound it);
// this bounds the wait should one not.
constexpr int kShutdownCallWaitMs = 120 * 1000;

int MsUntil(std::chrono::steady_clock::time_point when) {
    auto ms = std::chrono::ceil<std::chrono::milliseconds>(when - std::chrono::steady_clock::now())
                  .count();
    return ms <= 0 ? 0 : ms > INT32_MAX ? INT32_MAX : int(ms);
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

}  // namespace

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
    WaitForCalls([this] { return AnyCallUnderWay(); });
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

void CRpcServer::WaitForCalls(const std::function<bool()>& underWay) {
    for (int waited = 0; underWay() && waited < kShutdownCallWaitMs; waited += 100) {
        pollfd p{m_wakeFd, POLLIN, 0};
        poll(&p, 1, 100);
        DrainCompletions();
    }
}

void CRpcServer::Wake() {
    uint64_t one = 1;
    (void)!write(m_wakeFd, &one, sizeof one);
}

void CRpcServer::Log(const std::string& line) {
    if (m_log)
        m_log(line);
    else
        LogLine(LogPriority::Warning, line);
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
    for (size_t i = 0; i < fds.size(); ++i)
        if (fds[i].revents)
            ServeReady(fds[i], ids[i]);
}

void CRpcServer::ServeReady(const pollfd& ready, int id) {
    if (id == -1) {
        Accept(m_localFd, false);
    } else if (id == -2) {
        Accept(m_tcpFd, true);
    } else if (id == -3) {
        DrainCompletions();
    } else if (id > 0) {
        auto it = m_connections.find(id);
        if (it == m_connections.end())
            return;
        Connection& c = *it->second;
        if (c.tls && !c.handshaken) {
            ContinueHandshake(id);
            return;
        }
        if (ready.revents & POLLOUT)
            Flush(c);
        if (c.busy) {
            if (ready.revents & (POLLHUP | POLLERR))
                CloseConnection(id);  // the client is gone: its call is cancelled
        } else if (ready.revents & (POLLIN | POLLHUP | POLLERR)) {
            ServeReadable(id);
        }
    }
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
    WaitForCalls([&c] { return c.busy; });
    if (!c.out.empty()) {  // the reply of a call that went on elsewhere
        reply = c.out.substr(0, c.out.size() - 1);
        c.out.clear();
    }
    return reply;
}

}  // namespace vsk
