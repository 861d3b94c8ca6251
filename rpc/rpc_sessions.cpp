// The session bridge: connections without a socket for front ends on other threads (the HTTP
// listener). Their lines are posted under a lock and served on the loop's thread, one at a time
// and in order, like a socket's.
#include "rpc/rpc_server.h"

namespace vsk {

void CRpcServer::PostSessionLine(const std::string& session, std::string line, ReplyDone done) {
    {
        std::lock_guard lock(m_postMutex);
        m_posts.push_back({session, std::move(line), std::move(done)});
    }
    Wake();
}

void CRpcServer::CloseSession(const std::string& session) {
    {
        std::lock_guard lock(m_postMutex);
        m_posts.push_back({session, {}, {}});
    }
    Wake();
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

}  // namespace vsk
