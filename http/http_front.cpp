#include "http/http_front.h"

#include <algorithm>
#include <cctype>

#include "http/http_admission.h"
#include "http/http_reply.h"
#include "http/receipt_desk.h"
#include "http/status_page.h"
#include "rpc/rpc_server.h"
#include "rpc/runtime_paths.h"

namespace vsk {

CHttpFront::CHttpFront(CRpcServer& rpc, CLedger& ledger) : m_rpc(rpc), m_ledger(ledger) {}

CHttpFront::~CHttpFront() {
    Stop();
}

// Sessions idle past their time go, with their objects (a port a session held is let go), and
// so do the receipt desk's bindings.
void CHttpFront::Sweep() {
    const auto now = std::chrono::steady_clock::now();
    std::vector<std::string> gone;
    {
        std::lock_guard lock(m_mutex);
        for (auto it = m_sessions.begin(); it != m_sessions.end();) {
            if (m_busySessions.count(it->first) == 0 && now - it->second > m_options.sessionIdle) {
                gone.push_back(it->first);
                it = m_sessions.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (const std::string& name : gone)
        m_rpc.CloseSession("http:" + name);
    if (m_options.desk)
        m_options.desk->Sweep(m_options.sessionIdle);
}

bool CHttpFront::Authorised(const Request& request, HttpReply* refusal) {
    // A page in a browser on this computer reaches the loopback too: a request that says it
    // comes from a page of an origin not allowed is refused, whatever its peer.
    auto origin = request.headers.find("origin");
    auto hostHeader = request.headers.find("host");
    const bool sameOrigin =
        origin != request.headers.end() && hostHeader != request.headers.end() &&
        origin->second == (m_options.tlsCert.empty() ? "http://" : "https://") + hostHeader->second;
    if (origin != request.headers.end() && !sameOrigin &&
        std::find(m_options.origins.begin(), m_options.origins.end(), origin->second) ==
            m_options.origins.end()) {
        *refusal =
            ErrorReply(403, "FORBIDDEN_ORIGIN", "origin " + origin->second + " is not allowed");
        return false;
    }
    if (request.loopback)
        return true;
    const std::string host = request.peer;
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard lock(m_mutex);
    if (m_failures.MustWait(host, now)) {
        *refusal = ErrorReply(429, "E_ACCESSDENIED",
                              "too many failed authentications from this address; try later");
        return false;
    }
    auto auth = request.headers.find("authorization");
    std::string token;
    if (auth != request.headers.end() && auth->second.rfind("Bearer ", 0) == 0)
        token = auth->second.substr(7);
    if (!TokenMatches(token, m_options.token)) {
        m_failures.Failed(host, now);
        *refusal = ErrorReply(401, "E_ACCESSDENIED",
                              token.empty() ? "a bearer token is required" : "wrong token");
        refusal->headers.emplace_back("WWW-Authenticate", "Bearer");
        return false;
    }
    m_failures.Succeeded(host);
    return true;
}

const CHttpFront::Route CHttpFront::kRoutes[] = {
    {"/v1/rpc", "POST", &CHttpFront::Rpc},
    {"/v1/status", nullptr, &CHttpFront::Status},
    {"/v1/events", nullptr, &CHttpFront::Events},
    {"/v1/health", nullptr, &CHttpFront::Health},
    {"/metrics", nullptr, &CHttpFront::Metrics},
    {"/v1/receipts", "GET", &CHttpFront::Receipts},
    {"/v1/ports/{n}/receipts", "POST", &CHttpFront::Receipt},
    {"/v1/ports/{n}/last-receipt", "GET", &CHttpFront::LastReceipt},
};

namespace {

// Whether `path` is the route's, with its port number (1 to 9999) where the route has "{n}".
bool Matches(std::string_view route, std::string_view path, int* port) {
    const size_t hole = route.find("{n}");
    if (hole == std::string_view::npos)
        return route == path;
    if (path.substr(0, hole) != route.substr(0, hole))
        return false;
    const std::string_view tail = route.substr(hole + 3);
    if (path.size() < hole + tail.size() || path.substr(path.size() - tail.size()) != tail)
        return false;
    const std::string_view number = path.substr(hole, path.size() - hole - tail.size());
    if (number.empty() || number.size() > 4 ||
        !std::all_of(number.begin(), number.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    *port = std::stoi(std::string(number));
    return *port > 0;
}

}  // namespace

HttpReply CHttpFront::Answer(const Request& request) {
    for (const auto& route : kRoutes) {
        int port = 0;
        if (!Matches(route.path, request.path, &port))
            continue;
        if (route.method && request.method != route.method)
            return ErrorReply(405, "METHOD", std::string("use ") + route.method);
        return (this->*route.answer)(request, port);
    }
    return ErrorReply(404, "NOT_FOUND", "nothing at " + request.path);
}

HttpReply CHttpFront::Status(const Request& request, int) {
    if (!m_options.status)
        return ErrorReply(404, "NOT_FOUND", "nothing at " + request.path);
    HttpReply reply;
    reply.body = m_options.status();
    return reply;
}

HttpReply CHttpFront::Events(const Request& request, int) {
    if (!m_options.status)
        return ErrorReply(404, "NOT_FOUND", "nothing at " + request.path);
    HttpReply reply;
    reply.events = true;
    reply.contentType = "text/event-stream";
    return reply;
}

HttpReply CHttpFront::Health(const Request& request, int) {
    if (!m_options.health)
        return ErrorReply(404, "NOT_FOUND", "nothing at " + request.path);
    HttpReply reply;
    bool healthy = false;
    reply.body = m_options.health(&healthy);
    reply.status = healthy ? 200 : 503;
    return reply;
}

HttpReply CHttpFront::Metrics(const Request& request, int) {
    if (!m_options.metrics)
        return ErrorReply(404, "NOT_FOUND", "nothing at " + request.path);
    HttpReply reply;
    reply.body = m_options.metrics();
    reply.contentType = "text/plain; version=0.0.4; charset=utf-8";
    return reply;
}

HttpReply CHttpFront::Handle(const Request& request) {
    HttpReply reply;
    auto origin = request.headers.find("origin");
    const bool allowedOrigin = origin != request.headers.end() &&
                               std::find(m_options.origins.begin(), m_options.origins.end(),
                                         origin->second) != m_options.origins.end();
    if (request.method == "OPTIONS") {
        if (!allowedOrigin) {
            reply = ErrorReply(403, "FORBIDDEN_ORIGIN", "origin not allowed");
        } else {
            reply.status = 204;
            reply.body.clear();
            reply.headers.emplace_back("Access-Control-Allow-Methods", "GET, POST, OPTIONS");
            reply.headers.emplace_back(
                "Access-Control-Allow-Headers",
                "Content-Type, Authorization, Idempotency-Key, X-Vsk-Session");
            reply.headers.emplace_back("Access-Control-Max-Age", "600");
        }
    } else if (request.path == "/" && request.method == "GET") {
        reply.body = kStatusPage;
        reply.contentType = "text/html; charset=utf-8";
        reply.headers.emplace_back("Content-Security-Policy",
                                   "default-src 'self'; script-src 'unsafe-inline'; "
                                   "style-src 'unsafe-inline'; frame-ancestors 'none'");
    } else if (!Authorised(request, &reply)) {
        // reply holds the refusal
    } else if (request.tooLarge) {
        reply =
            ErrorReply(413, "TOO_LARGE",
                       "the body is larger than " + std::to_string(m_options.maxBody) + " bytes");
    } else {
        reply = Answer(request);
    }
    if (allowedOrigin) {
        reply.headers.emplace_back("Access-Control-Allow-Origin", origin->second);
        reply.headers.emplace_back("Vary", "Origin");
    }
    return reply;
}

bool CHttpFront::NextEvent(std::string* last, std::string* event, int* quietSeconds) {
    using namespace std::chrono_literals;
    std::unique_lock lock(m_mutex);
    // A stream that has had the status waits for the next one; a new stream takes the one in
    // hand at once.
    if (!last->empty())
        m_feedChanged.wait_for(lock, 1s, [&] { return m_ending || m_feed.status != *last; });
    // The first stream to find the status a second old builds it, outside the lock; the others
    // wait for it instead of building their own.
    if (!m_ending && !m_feed.building &&
        (m_feed.status.empty() || std::chrono::steady_clock::now() - m_feed.builtAt >= 1s)) {
        m_feed.building = true;
        lock.unlock();
        std::string now = m_options.status();
        lock.lock();
        m_feed.building = false;
        m_feed.status = std::move(now);
        m_feed.builtAt = std::chrono::steady_clock::now();
        m_feedChanged.notify_all();
    }
    if (m_feed.status.empty())
        m_feedChanged.wait_for(lock, 1s, [&] { return m_ending || !m_feed.building; });
    if (m_ending)
        return false;
    if (!m_feed.status.empty() && m_feed.status != *last) {
        *last = m_feed.status;
        *event = "event: status\ndata: " + m_feed.status + "\n\n";
        *quietSeconds = 0;
    } else if (++*quietSeconds >= 15) {
        *event = ": still here\n\n";  // keeps proxies from closing a quiet stream
        *quietSeconds = 0;
    }
    return true;
}

}  // namespace vsk
