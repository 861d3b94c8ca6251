// The connections' I/O: reading what a socket (or its TLS session) has, cutting it into
// request lines under the limits of line length and waiting output, writing the replies, and
// closing, which releases what the client still holds.
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "rpc/rpc_server.h"
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

std::string TooLong() {
    return wire::Error(Json(), RPC_E_INVALID_DATA, "request line longer than 1 MiB").Dump() + "\n";
}

}  // namespace

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

}  // namespace vsk
