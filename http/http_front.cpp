#include "http/http_front.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>

#include "http/http_admission.h"
#include "http/http_reply.h"
#include "http/openapi_document.h"
#include "http/receipt_desk.h"
#include "http/status_page.h"
#include "platform/text.h"
#include "rpc/rpc_server.h"
#include "rpc/runtime_paths.h"

namespace vsk {

CHttpFront::CHttpFront(CRpcServer& rpc, CLedger& ledger)
    : m_rpc(rpc), m_ledger(ledger), m_user(geteuid()) {
    char name[256] = "";
    if (gethostname(name, sizeof name - 1) == 0)
        m_hostName = LowerAscii(name);
}

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

namespace {

// The name and port of an authority ("till:8080", "[::1]:8080", "till"; the port "" when it
// has none); false when it is not one.
bool SplitAuthority(std::string_view authority, std::string* name, std::string* port) {
    std::string_view rest;
    if (!authority.empty() && authority[0] == '[') {
        const size_t close = authority.find(']');
        if (close == std::string_view::npos)
            return false;
        *name = authority.substr(1, close - 1);
        rest = authority.substr(close + 1);
    } else {
        const size_t colon = authority.find(':');
        *name = authority.substr(0, colon);
        rest = colon == std::string_view::npos ? std::string_view() : authority.substr(colon);
    }
    if (!rest.empty() && rest[0] != ':')
        return false;
    *port = rest.empty() ? std::string() : std::string(rest.substr(1));
    return !name->empty() && (rest.empty() || !port->empty()) &&
           std::all_of(port->begin(), port->end(), [](char c) { return c >= '0' && c <= '9'; });
}

// An address in the one form inet_ntop writes it (an IPv4 address mapped into IPv6 as IPv4);
// "" when `text` is not an address.
std::string CanonicalAddress(const std::string& text) {
    in_addr v4{};
    in6_addr v6{};
    char out[INET6_ADDRSTRLEN] = "";
    if (inet_pton(AF_INET, text.c_str(), &v4) == 1)
        inet_ntop(AF_INET, &v4, out, sizeof out);
    else if (inet_pton(AF_INET6, text.c_str(), &v6) == 1 && IN6_IS_ADDR_V4MAPPED(&v6))
        inet_ntop(AF_INET, v6.s6_addr + 12, out, sizeof out);
    else if (inet_pton(AF_INET6, text.c_str(), &v6) == 1)
        inet_ntop(AF_INET6, &v6, out, sizeof out);
    return out;
}

}  // namespace

// A name is this listener's when it is the address the peer reached, localhost, the
// computer's name or one the operator listed: never merely what the request says. A page of
// a site whose name its owner rebinds to 127.0.0.1 sends that site's name, and is refused.
bool CHttpFront::OwnAuthority(std::string_view authority, const std::string& local) const {
    std::string name, port;
    if (!SplitAuthority(authority, &name, &port))
        return false;
    const int defaultPort = m_options.tlsCert.empty() ? 80 : 443;
    if (port.empty() ? m_port != defaultPort : port != std::to_string(m_port))
        return false;
    name = LowerAscii(name);
    if (name == "localhost" || name == m_hostName)
        return true;
    for (const std::string& host : m_options.hosts)
        if (LowerAscii(host) == name)
            return true;
    const std::string address = CanonicalAddress(name);
    return !address.empty() && address == CanonicalAddress(local);
}

std::optional<HttpReply> CHttpFront::Misdirected(const Request& request) const {
    auto host = request.headers.find("host");
    if (host == request.headers.end())
        return ErrorReply(Fault::Misdirected, "the request names no Host");
    if (!OwnAuthority(host->second, request.local))
        return ErrorReply(Fault::Misdirected, "this listener is not " + host->second);
    // A page in a browser on this computer reaches the loopback too: a request that says it
    // comes from a page of an origin neither allowed nor this listener's own is refused,
    // whatever its peer.
    auto origin = request.headers.find("origin");
    if (origin == request.headers.end() ||
        std::find(m_options.origins.begin(), m_options.origins.end(), origin->second) !=
            m_options.origins.end())
        return std::nullopt;
    const std::string scheme = m_options.tlsCert.empty() ? "http://" : "https://";
    if (origin->second.rfind(scheme, 0) == 0 &&
        OwnAuthority(std::string_view(origin->second).substr(scheme.size()), request.local))
        return std::nullopt;
    return ErrorReply(Fault::ForbiddenOrigin, "origin " + origin->second + " is not allowed");
}

// The loopback's own user needs no token; another user of the computer, or one that cannot be
// found, presents it as a peer off the loopback does.
bool CHttpFront::Authorised(const Request& request, HttpReply* refusal) {
    if (request.loopback && request.peerUser == m_user)
        return true;
    auto auth = request.headers.find("authorization");
    std::string token;
    if (auth != request.headers.end() && auth->second.rfind("Bearer ", 0) == 0)
        token = auth->second.substr(7);
    // Compared whether the peer waits or not: the answer's time tells nothing of the wait.
    const bool matches = TokenMatches(token, m_options.token);
    const std::string key = CAuthBackoff::PeerKey(request.loopback, request.peerUser, request.peer);
    CAuthBackoff::Admission admission;
    {
        std::lock_guard lock(m_mutex);
        admission = m_failures.Attempt(key, matches, std::chrono::steady_clock::now());
    }
    switch (admission) {
        case CAuthBackoff::Admission::Admitted:
            return true;
        case CAuthBackoff::Admission::Waiting:
            *refusal = ErrorReply(Fault::AuthWaiting,
                                  "too many failed authentications from this peer; try later");
            return false;
        case CAuthBackoff::Admission::Wrong:
            break;
    }
    *refusal = ErrorReply(Fault::AccessDenied,
                          token.empty() ? "a bearer token is required" : "wrong token");
    refusal->headers.emplace_back("WWW-Authenticate", "Bearer");
    return false;
}

using Access = CHttpFront::Access;

const CHttpFront::Route CHttpFront::kRoutes[] = {
    {"/", "GET", Access::Anyone, &CHttpFront::StatusPage},
    {"/v1/openapi.json", "GET", Access::Anyone, &CHttpFront::Document},
    {"/v1/rpc", "POST", Access::Token, &CHttpFront::Rpc},
    {"/v1/status", nullptr, Access::Token, &CHttpFront::Status},
    {"/v1/events", nullptr, Access::Token, &CHttpFront::Events},
    {"/v1/health", nullptr, Access::Token, &CHttpFront::Health},
    {"/metrics", nullptr, Access::Token, &CHttpFront::Metrics},
    {"/v1/receipts", "GET", Access::Token, &CHttpFront::Receipts},
    {"/v1/ports/{n}/receipts", "POST", Access::Token, &CHttpFront::Receipt},
    {"/v1/ports/{n}/last-receipt", "GET", Access::Token, &CHttpFront::LastReceipt},
    {"/v1/ports/{n}/reports/x", "POST", Access::Token, &CHttpFront::Operation},
    {"/v1/ports/{n}/reports/z", "POST", Access::Token, &CHttpFront::Operation},
    {"/v1/ports/{n}/reports/periodic", "POST", Access::Token, &CHttpFront::Operation},
    {"/v1/ports/{n}/cash", "POST", Access::Token, &CHttpFront::Operation},
    {"/v1/ports/{n}/displays", "POST", Access::Token, &CHttpFront::Operation},
    {"/v1/ports/{n}/clock", nullptr, Access::Token, &CHttpFront::Clock},
    {"/v1/ports/{n}/counters", "GET", Access::Token, &CHttpFront::Counters},
    {"/v1/ports/{n}/info", "GET", Access::Token, &CHttpFront::Info},
    {"/v1/ports/detect", "GET", Access::Token, &CHttpFront::Detect},
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

const CHttpFront::Route* CHttpFront::Routes(size_t* count) {
    *count = std::size(kRoutes);
    return kRoutes;
}

const CHttpFront::Route* CHttpFront::RouteOf(const Request& request, int* port) {
    for (const auto& route : kRoutes)
        if (Matches(route.path, request.path, port))
            return &route;
    return nullptr;
}

HttpReply CHttpFront::Answer(const Request& request) {
    int port = 0;
    const Route* route = RouteOf(request, &port);
    if (!route)
        return ErrorReply(Fault::NoRoute, "nothing at " + request.path);
    if (route->method && request.method != route->method)
        return ErrorReply(Fault::WrongMethod, std::string("use ") + route->method);
    return (this->*route->answer)(request, port);
}

HttpReply CHttpFront::StatusPage(const Request& request, int) {
    HttpReply reply;
    reply.body = vsk::StatusPage(PageLanguageOf(request.query));
    reply.contentType = "text/html; charset=utf-8";
    reply.headers.emplace_back("Content-Security-Policy",
                               "default-src 'self'; script-src 'unsafe-inline'; "
                               "style-src 'unsafe-inline'; frame-ancestors 'none'");
    return reply;
}

HttpReply CHttpFront::Document(const Request&, int) {
    HttpReply reply;
    reply.body = OpenApiDocument();
    return reply;
}

HttpReply CHttpFront::Status(const Request& request, int) {
    if (!m_options.status)
        return ErrorReply(Fault::NoRoute, "nothing at " + request.path);
    HttpReply reply;
    reply.body = m_options.status();
    return reply;
}

HttpReply CHttpFront::Events(const Request& request, int) {
    if (!m_options.status)
        return ErrorReply(Fault::NoRoute, "nothing at " + request.path);
    HttpReply reply;
    reply.events = true;
    reply.contentType = "text/event-stream";
    return reply;
}

HttpReply CHttpFront::Health(const Request& request, int) {
    if (!m_options.health)
        return ErrorReply(Fault::NoRoute, "nothing at " + request.path);
    HttpReply reply;
    bool healthy = false;
    reply.body = m_options.health(&healthy);
    reply.status = healthy ? 200 : 503;
    return reply;
}

HttpReply CHttpFront::Metrics(const Request& request, int) {
    if (!m_options.metrics)
        return ErrorReply(Fault::NoRoute, "nothing at " + request.path);
    HttpReply reply;
    reply.body = m_options.metrics();
    reply.contentType = "text/plain; version=0.0.4; charset=utf-8";
    return reply;
}

namespace {

// A request for what holds no data (the status page, the API's document) needs no token.
bool ForAnyone(const CHttpFront::Request& request) {
    size_t count = 0;
    const CHttpFront::Route* routes = CHttpFront::Routes(&count);
    for (size_t i = 0; i < count; ++i)
        if (routes[i].access == Access::Anyone && routes[i].method &&
            routes[i].path == request.path && routes[i].method == request.method)
            return true;
    return false;
}

}  // namespace

HttpReply CHttpFront::Handle(const Request& request) {
    if (std::optional<HttpReply> refusal = Misdirected(request))
        return *refusal;
    HttpReply reply;
    auto origin = request.headers.find("origin");
    const bool allowedOrigin = origin != request.headers.end() &&
                               std::find(m_options.origins.begin(), m_options.origins.end(),
                                         origin->second) != m_options.origins.end();
    if (request.method == "OPTIONS") {
        if (!allowedOrigin) {
            reply = ErrorReply(Fault::ForbiddenOrigin, "origin not allowed");
        } else {
            reply.status = 204;
            reply.body.clear();
            reply.headers.emplace_back("Access-Control-Allow-Methods", "GET, POST, PUT, OPTIONS");
            reply.headers.emplace_back(
                "Access-Control-Allow-Headers",
                "Content-Type, Authorization, Idempotency-Key, X-Vsk-Session, X-Vsk-Cashier, "
                "X-Vsk-Password");
            reply.headers.emplace_back("Access-Control-Max-Age", "600");
        }
    } else if (ForAnyone(request)) {
        reply = Answer(request);
    } else if (!Authorised(request, &reply)) {
        // reply holds the refusal
    } else if (request.tooLarge) {
        reply = ErrorReply(Fault::TooLarge, "the body is larger than " +
                                                std::to_string(m_options.maxBody) + " bytes");
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
