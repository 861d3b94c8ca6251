#include "http/http_front.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <optional>
#include <random>

#include "http/status_page.h"
#include "ledger/ledger.h"
#include "rpc/json.h"
#include "rpc/rpc_server.h"
#include "rpc/runtime_paths.h"

namespace vsk {

namespace {

constexpr const char* kSessionHeader = "x-vsk-session";
constexpr const char* kSessionCookie = "vsk_session";
// Failed bearer tokens of one peer make its next requests wait, doubling up to the cap.
constexpr auto kAuthDelayFirst = std::chrono::milliseconds(100);
constexpr auto kAuthDelayMax = std::chrono::seconds(10);
// The lock a whole receipt waits for before it is refused as busy.
constexpr int kReceiptLockWaitMs = 10000;

HttpReply JsonReply(int status, const Json& body) {
    HttpReply r;
    r.status = status;
    r.body = body.Dump();
    return r;
}

HttpReply ErrorReply(int status, const std::string& code, const std::string& message) {
    Json why;
    why.Set("code", code);
    why.Set("message", message);
    Json body;
    body.Set("error", std::move(why));
    return JsonReply(status, body);
}

std::string Lower(std::string s) {
    for (char& c : s)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string QueryValue(const std::string& query, const std::string& name) {
    size_t at = 0;
    while (at <= query.size()) {
        size_t end = query.find('&', at);
        if (end == std::string::npos)
            end = query.size();
        std::string pair = query.substr(at, end - at);
        size_t eq = pair.find('=');
        if (pair.substr(0, eq) == name)
            return eq == std::string::npos ? std::string() : pair.substr(eq + 1);
        at = end + 1;
    }
    return {};
}

std::string CookieValue(const std::string& cookies, const std::string& name) {
    size_t at = 0;
    while (at < cookies.size()) {
        size_t end = cookies.find(';', at);
        if (end == std::string::npos)
            end = cookies.size();
        std::string pair = cookies.substr(at, end - at);
        pair.erase(0, pair.find_first_not_of(' '));
        size_t eq = pair.find('=');
        if (eq != std::string::npos && pair.substr(0, eq) == name)
            return pair.substr(eq + 1);
        at = end + 1;
    }
    return {};
}

// A session name the client chose: short, plain characters only.
bool UsableSessionName(const std::string& s) {
    return !s.empty() && s.size() <= 64 && std::all_of(s.begin(), s.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_';
    });
}

std::string RpcLine(int64_t id, const std::string& method, Json params) {
    Json req;
    req.Set("jsonrpc", "2.0");
    req.Set("id", id);
    req.Set("method", method);
    req.Set("params", std::move(params));
    return req.Dump();
}

// What one line sums to on the register (the engine's own rounding), or -1 when the register
// alone can tell.
int64_t ExpectedLineSum(int64_t qty, int64_t price, bool weighed, int64_t direction,
                        int64_t discount) {
    const int64_t q = qty == 0 ? 1 : qty;
    __int128 exact = weighed ? (static_cast<__int128>(price) * 1000 * q + 500000) / 1000000
                             : static_cast<__int128>(price) * q;
    if (exact < INT32_MIN || exact > INT32_MAX)
        return -1;
    int64_t sum = int64_t(exact);
    if (direction >= 0 && discount >= 1)
        sum = direction > 0 ? sum + discount : sum - std::min(discount, sum);
    return sum;
}

// A JSON pointer's member token (RFC 6901: "~" and "/" escaped).
std::string PointerToken(const std::string& name) {
    std::string out;
    for (char c : name) {
        if (c == '~')
            out += "~0";
        else if (c == '/')
            out += "~1";
        else
            out += c;
    }
    return out;
}

// Checks a receipt's body field by field. The first fault is kept with the JSON pointer of the
// field, so that a till can show which of its fields was wrong; nothing reaches the register
// until the whole body has passed.
class BodyCheck {
public:
    bool Failed() const { return !m_field.empty(); }
    HttpReply Refusal() const {
        Json why;
        why.Set("code", "BAD_RECEIPT");
        why.Set("message", m_why + " (" + m_field + "); nothing was printed");
        why.Set("field", m_field);
        Json body;
        body.Set("error", std::move(why));
        return JsonReply(400, body);
    }
    // An object with only the named members: a misspelt field is an error, not a default.
    bool Members(const Json* obj, const std::string& at, std::initializer_list<const char*> names,
                 const char* what) {
        if (Failed())
            return false;
        if (!obj || !obj->IsObject())
            return Fail(at.empty() ? "" : at, std::string(what) + " is a JSON object");
        for (const auto& [name, value] : obj->AsObject()) {
            bool known = false;
            for (const char* n : names)
                known = known || name == n;
            if (!known)
                return Fail(at + "/" + PointerToken(name), "no such field in " + std::string(what));
        }
        return true;
    }
    // A text the register prints: no control characters (a NUL would cut the frame).
    bool Text(const Json& obj, const std::string& at, const char* name, std::string fallback,
              std::string* out) {
        if (Failed())
            return false;
        const Json* v = obj.Find(name);
        if (!v) {
            *out = std::move(fallback);
            return true;
        }
        const std::string field = at + "/" + name;
        if (!v->IsString())
            return Fail(field, std::string(name) + " is a string");
        for (unsigned char c : v->AsString())
            if (c < 0x20 || c == 0x7F)
                return Fail(field, std::string(name) + " holds a control character");
        *out = v->AsString();
        return true;
    }
    bool Number(const Json& obj, const std::string& at, const char* name, int64_t fallback,
                int64_t low, int64_t high, int64_t* out, bool required = false) {
        if (Failed())
            return false;
        const Json* v = obj.Find(name);
        const std::string field = at + "/" + name;
        if (!v) {
            if (required)
                return Fail(field, std::string(name) + " is required");
            *out = fallback;
            return true;
        }
        if (!v->IsInt())
            return Fail(field, std::string(name) + " is a whole number");
        if (v->AsInt() < low || v->AsInt() > high)
            return Fail(field, std::string(name) + " is " + std::to_string(low) + " to " +
                                   std::to_string(high));
        *out = v->AsInt();
        return true;
    }
    // true/false, or 0/1 as the socket's methods take them.
    bool Flag(const Json& obj, const std::string& at, const char* name, int64_t* out) {
        if (Failed())
            return false;
        const Json* v = obj.Find(name);
        if (v && v->IsBool()) {
            *out = v->AsBool() ? 1 : 0;
            return true;
        }
        return Number(obj, at, name, 0, 0, 1, out);
    }
    bool Fail(const std::string& field, const std::string& why) {
        if (!Failed()) {
            m_field = field.empty() ? "/" : field;
            m_why = why;
        }
        return false;
    }

private:
    std::string m_field, m_why;
};

// The request as a key remembers it: object members in name order, so that the same receipt
// written in another order is the same request.
Json Canonical(const Json& v) {
    if (v.IsArray()) {
        Json::Array out;
        for (const Json& e : v.AsArray())
            out.push_back(Canonical(e));
        return Json(std::move(out));
    }
    if (!v.IsObject())
        return v;
    Json::Object members;
    for (const auto& [name, value] : v.AsObject())
        members.emplace_back(name, Canonical(value));
    std::sort(members.begin(), members.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    return Json(std::move(members));
}

MHD_Result OnRequest(void* cls, MHD_Connection* connection, const char* url, const char* method,
                     const char* version, const char* upload, size_t* uploadSize, void** state);
void OnCompleted(void* cls, MHD_Connection* connection, void** state,
                 MHD_RequestTerminationCode why);

}  // namespace

CHttpFront::CHttpFront(CRpcServer& rpc, CLedger& ledger) : m_rpc(rpc), m_ledger(ledger) {}

CHttpFront::~CHttpFront() {
    Stop();
}

bool CHttpFront::Start(const HttpOptions& options, std::string* error) {
    m_options = options;
    std::string hostPort = options.listen;
    size_t colon = hostPort.rfind(':');
    if (colon == std::string::npos) {
        *error = "--http expects HOST:PORT, got " + hostPort;
        return false;
    }
    std::string host = hostPort.substr(0, colon), port = hostPort.substr(colon + 1);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* res = nullptr;
    if (int rc = getaddrinfo(host.empty() ? nullptr : host.c_str(), port.c_str(), &hints, &res);
        rc != 0 || !res) {
        *error = "cannot resolve " + hostPort + ": " + gai_strerror(rc);
        return false;
    }
    sockaddr_storage addr{};
    std::memcpy(&addr, res->ai_addr, res->ai_addrlen);
    const bool v6 = res->ai_family == AF_INET6;
    freeaddrinfo(res);
    const bool loopback = IsLoopbackAddress(reinterpret_cast<const sockaddr*>(&addr));
    const bool tls = !options.tlsCert.empty();
    // Tokens and receipts do not cross a network in the clear unless the operator says so.
    if (!loopback && !tls && !options.insecure) {
        *error = "HTTP off the loopback (" + hostPort +
                 ") needs --tls-cert and --tls-key (vskmanager --make-cert makes them), or "
                 "--insecure";
        return false;
    }
    if (tls && MHD_is_feature_supported(MHD_FEATURE_TLS) != MHD_YES) {
        *error = "this libmicrohttpd has no TLS";
        return false;
    }
    unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_THREAD_PER_CONNECTION;
    if (v6)
        flags |= MHD_USE_IPv6;
    if (tls)
        flags |= MHD_USE_TLS;
    MHD_OptionItem tlsOptions[] = {
        {tls ? MHD_OPTION_HTTPS_MEM_CERT : MHD_OPTION_END, 0,
         const_cast<char*>(m_options.tlsCert.c_str())},
        {MHD_OPTION_HTTPS_MEM_KEY, 0, const_cast<char*>(m_options.tlsKey.c_str())},
        {MHD_OPTION_END, 0, nullptr},
    };
    m_daemon = MHD_start_daemon(flags, 0, nullptr, nullptr, &OnRequest, this, MHD_OPTION_SOCK_ADDR,
                                reinterpret_cast<sockaddr*>(&addr), MHD_OPTION_NOTIFY_COMPLETED,
                                &OnCompleted, this, MHD_OPTION_CONNECTION_LIMIT, 128u,
                                MHD_OPTION_CONNECTION_TIMEOUT, 60u, MHD_OPTION_ARRAY, tlsOptions,
                                MHD_OPTION_END);
    if (!m_daemon) {
        *error = "cannot listen for HTTP on " + hostPort;
        return false;
    }
    if (const MHD_DaemonInfo* info = MHD_get_daemon_info(m_daemon, MHD_DAEMON_INFO_BIND_PORT))
        m_port = info->port;
    m_sweeper = std::thread([this] {
        std::unique_lock lock(m_mutex);
        while (!m_ending) {
            m_cv.wait_for(lock, std::chrono::seconds(1));
            lock.unlock();
            Sweep();
            lock.lock();
        }
    });
    return true;
}

void CHttpFront::Stop() {
    {
        std::lock_guard lock(m_mutex);
        if (m_ending && !m_daemon)
            return;
        m_ending = true;
    }
    m_cv.notify_all();
    {
        std::lock_guard lock(m_replies->mutex);
        m_replies->ending = true;
    }
    m_replies->cv.notify_all();
    if (m_sweeper.joinable())
        m_sweeper.join();
    if (m_daemon)
        MHD_stop_daemon(m_daemon);
    m_daemon = nullptr;
    std::lock_guard lock(m_mutex);
    for (const auto& [name, since] : m_sessions)
        m_rpc.CloseSession("http:" + name);
    m_sessions.clear();
    // Closing a session releases its object, which lets its port go.
    for (const auto& [port, anchor] : m_anchors)
        m_rpc.CloseSession(anchor.session);
    m_anchors.clear();
}

// Sessions idle past their time go, with their objects (a port a session held is let go).
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
    std::vector<Anchor> idle;
    {
        std::lock_guard lock(m_mutex);
        for (auto it = m_anchors.begin(); it != m_anchors.end();) {
            if (!it->second.busy && now - it->second.idleSince > m_options.sessionIdle) {
                idle.push_back(std::move(it->second));
                it = m_anchors.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (const std::string& name : gone)
        m_rpc.CloseSession("http:" + name);
    for (const Anchor& anchor : idle)
        LetGo(anchor);
}

std::string CHttpFront::Call(const std::string& session, const std::string& line) {
    struct Wait {
        bool done = false;
        std::string reply;
    };
    auto wait = std::make_shared<Wait>();
    // The reply may come after this front is gone (the loop answers what is left when it
    // ends): the callback touches only what it shares.
    std::shared_ptr<Replies> replies = m_replies;
    m_rpc.PostSessionLine(session, line, [replies, wait](std::string reply) {
        {
            std::lock_guard lock(replies->mutex);
            wait->done = true;
            wait->reply = std::move(reply);
        }
        replies->cv.notify_all();
    });
    std::unique_lock lock(replies->mutex);
    replies->cv.wait(lock, [&] { return wait->done || replies->ending; });
    return wait->done ? wait->reply : std::string();
}

std::string CHttpFront::NewSessionName() {
    static thread_local std::mt19937_64 random{std::random_device{}()};
    char text[40];
    std::snprintf(text, sizeof text, "%016llx%016llx", (unsigned long long)random(),
                  (unsigned long long)random());
    return text;
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
    auto known = m_failures.find(host);
    if (known != m_failures.end() && now < known->second.retryAt) {
        *refusal = ErrorReply(429, "E_ACCESSDENIED",
                              "too many failed authentications from this address; try later");
        return false;
    }
    auto auth = request.headers.find("authorization");
    std::string token;
    if (auth != request.headers.end() && auth->second.rfind("Bearer ", 0) == 0)
        token = auth->second.substr(7);
    if (!TokenMatches(token, m_options.token)) {
        if (m_failures.size() > 4096)
            m_failures.clear();
        Failures& f = m_failures[host];
        f.count = std::min(f.count + 1, 16);
        f.retryAt = now + std::min<std::chrono::steady_clock::duration>(
                              kAuthDelayFirst * (1 << (f.count - 1)), kAuthDelayMax);
        *refusal = ErrorReply(401, "E_ACCESSDENIED",
                              token.empty() ? "a bearer token is required" : "wrong token");
        refusal->headers.emplace_back("WWW-Authenticate", "Bearer");
        return false;
    }
    if (known != m_failures.end())
        m_failures.erase(known);
    return true;
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
    } else if (request.path == "/v1/rpc") {
        reply = request.method == "POST" ? Rpc(request) : ErrorReply(405, "METHOD", "use POST");
    } else if (request.path == "/v1/status" && m_options.status) {
        reply.body = m_options.status();
    } else if (request.path == "/v1/events" && m_options.status) {
        reply.events = true;
        reply.contentType = "text/event-stream";
    } else if (request.path == "/v1/health" && m_options.health) {
        bool healthy = false;
        reply.body = m_options.health(&healthy);
        reply.status = healthy ? 200 : 503;
    } else if (request.path == "/metrics" && m_options.metrics) {
        reply.body = m_options.metrics();
        reply.contentType = "text/plain; version=0.0.4; charset=utf-8";
    } else if (request.path == "/v1/receipts") {
        reply = request.method == "GET" ? Receipts(request) : ErrorReply(405, "METHOD", "use GET");
    } else if (request.path.rfind("/v1/ports/", 0) == 0) {
        // /v1/ports/{n}/receipts and /v1/ports/{n}/last-receipt
        const std::string rest = request.path.substr(10);
        const size_t slash = rest.find('/');
        const std::string number = rest.substr(0, slash);
        const std::string what = slash == std::string::npos ? "" : rest.substr(slash + 1);
        int port = 0;
        const bool digits = !number.empty() && number.size() <= 4 &&
                            std::all_of(number.begin(), number.end(), ::isdigit);
        if (digits)
            port = std::stoi(number);
        if (port <= 0 || (what != "receipts" && what != "last-receipt"))
            reply = ErrorReply(404, "NOT_FOUND", "nothing at " + request.path);
        else if (what == "last-receipt")
            reply =
                request.method == "GET" ? LastReceipt(port) : ErrorReply(405, "METHOD", "use GET");
        else if (request.method != "POST")
            reply = ErrorReply(405, "METHOD", "use POST");
        else
            reply = Receipt(request, port);
    } else {
        reply = ErrorReply(404, "NOT_FOUND", "nothing at " + request.path);
    }
    if (allowedOrigin) {
        reply.headers.emplace_back("Access-Control-Allow-Origin", origin->second);
        reply.headers.emplace_back("Vary", "Origin");
    }
    return reply;
}

HttpReply CHttpFront::Rpc(const Request& request) {
    // Keys of JSON-RPC requests are kept apart from those of whole receipts. What a request
    // printed is not known here: a keyed one that ran counts as printed.
    std::string canonical = request.body;
    if (auto parsed = Json::Parse(request.body))
        canonical = Canonical(*parsed).Dump();
    return WithKey(request, "rpc:", 0, canonical,
                   [&](const std::string&, bool* printed) {
                       HttpReply reply = RunRpc(request);
                       *printed = reply.status != 400;
                       return reply;
                   },
                   {});
}

HttpReply CHttpFront::RunRpc(const Request& request) {
    std::string error;
    auto body = Json::Parse(request.body, &error);
    if (!body)
        return ErrorReply(400, "RPC_E_INVALID_DATA", "malformed JSON: " + error);
    if (body->IsArray() && body->AsArray().empty())
        return ErrorReply(400, "RPC_E_INVALID_DATA", "an empty batch");
    std::string session;
    if (auto h = request.headers.find(kSessionHeader); h != request.headers.end())
        session = h->second;
    else if (auto c = request.headers.find("cookie"); c != request.headers.end())
        session = CookieValue(c->second, kSessionCookie);
    if (!session.empty() && !UsableSessionName(session))
        return ErrorReply(400, "BAD_SESSION", "a session name is up to 64 letters, digits, - or _");
    {
        std::lock_guard lock(m_mutex);
        if (m_ending)
            return ErrorReply(503, "ENDING", "the server is ending");
        if (session.empty() || m_sessions.count(session) == 0) {
            if (m_sessions.size() >= m_options.maxSessions)
                return ErrorReply(503, "BUSY", "too many HTTP sessions; try later");
            if (session.empty())
                session = NewSessionName();
        }
        m_sessions[session] = std::chrono::steady_clock::now();
        ++m_busySessions[session];
    }
    const std::string rpcSession = "http:" + session;
    Json::Array replies;
    bool ended = false;
    auto one = [&](const Json& req) {
        std::string line = Call(rpcSession, req.Dump());
        if (line.empty()) {
            std::lock_guard lock(m_mutex);
            ended = ended || m_ending;
            return;
        }
        if (auto parsed = Json::Parse(line))
            replies.push_back(std::move(*parsed));
    };
    if (body->IsArray())
        for (const Json& req : body->AsArray())
            one(req);
    else
        one(*body);
    {
        std::lock_guard lock(m_mutex);
        if (--m_busySessions[session] == 0)
            m_busySessions.erase(session);
        m_sessions[session] = std::chrono::steady_clock::now();
    }
    if (ended)
        return ErrorReply(503, "ENDING", "the server is ending");
    HttpReply reply;
    if (body->IsArray())
        reply.body = Json(std::move(replies)).Dump();
    else if (!replies.empty())
        reply.body = replies.front().Dump();
    else
        reply.status = 204;  // a notification
    reply.headers.emplace_back("X-Vsk-Session", session);
    reply.headers.emplace_back("Set-Cookie", std::string(kSessionCookie) + "=" + session +
                                                 "; Path=/; HttpOnly; SameSite=Strict");
    return reply;
}

namespace {

// A ledger row as the API gives it; the CSV export uses the same names.
Json RowJson(const LedgerReceipt& r) {
    Json row;
    row.Set("id", r.id);
    row.Set("time", r.time);
    row.Set("port", int64_t(r.port));
    row.Set("client", r.client);
    row.Set("cashier", r.cashier);
    row.Set("clientCashier", r.clientCashier);
    row.Set("serial", r.serial);
    row.Set("kind", r.kind);
    row.Set("lines", Json::Parse(r.lines).value_or(Json(Json::Array{})));
    row.Set("payments", Json::Parse(r.payments).value_or(Json(Json::Object{})));
    row.Set("number", r.number);
    row.Set("numberBefore", r.numberBefore ? Json(*r.numberBefore) : Json());
    row.Set("total", r.total);
    row.Set("end", r.end);
    row.Set("error", r.error);
    row.Set("endedAt", r.endedAt);
    row.Set("settledBy", r.settledBy);
    row.Set("settledAt", r.settledAt);
    return row;
}

}  // namespace

HttpReply CHttpFront::Receipts(const Request& request) {
    const std::string portText = QueryValue(request.query, "port");
    int port = 0;
    if (!portText.empty()) {
        if (portText.size() > 4 || !std::all_of(portText.begin(), portText.end(), ::isdigit))
            return ErrorReply(400, "BAD_PORT", "port is a number");
        port = std::stoi(portText);
    }
    const std::string since = QueryValue(request.query, "since");
    if (!CLedger::ValidSince(since))
        return ErrorReply(
            400, "BAD_SINCE",
            "since is a date or time (2026-12-01, 2026-12-01T08:00:00Z), got " + since);
    if (!m_ledger.IsOpen())
        return ErrorReply(503, "NO_LEDGER", "the receipts ledger is not available");
    auto rows = m_ledger.Receipts(port, since);
    if (QueryValue(request.query, "format") == "csv") {
        HttpReply reply;
        reply.contentType = "text/csv; charset=utf-8";
        reply.body = QueryValue(request.query, "lines") == "1" ? CLedger::CsvLines(rows)
                                                               : CLedger::Csv(rows);
        return reply;
    }
    Json::Array list;
    for (const LedgerReceipt& r : rows)
        list.push_back(RowJson(r));
    Json body;
    body.Set("receipts", Json(std::move(list)));
    return JsonReply(200, body);
}

// What the register says its last receipt is, asked now, beside the ledger's last row of the
// port: an operator's look at a receipt in doubt.
HttpReply CHttpFront::LastReceipt(int port) {
    Json body;
    body.Set("port", int64_t(port));
    Json reg;
    if (m_options.lastReceipt) {
        reg = Json::Parse(m_options.lastReceipt(port)).value_or(Json());
    }
    body.Set("register", std::move(reg));
    std::optional<LedgerReceipt> last;
    if (m_ledger.IsOpen())
        last = m_ledger.LastOfPort(port);
    body.Set("ledger", last ? RowJson(*last) : Json());
    return JsonReply(200, body);
}

HttpReply CHttpFront::Receipt(const Request& request, int port) {
    std::string error;
    auto body = Json::Parse(request.body, &error);
    if (!body)
        return ErrorReply(400, "RPC_E_INVALID_DATA", "malformed JSON: " + error);
    WholeReceipt receipt;
    if (auto refusal = CheckReceipt(*body, &receipt)) {
        // Refused before anything reached the register: a key it carries stays free.
        return *refusal;
    }
    return WithKey(
        request, "", port, Canonical(*body).Dump(),
        [&](const std::string& key, bool* printed) {
            return RunReceipt(receipt, port, key, printed);
        },
        [&](int settlePort) { BindToSettle(settlePort, receipt); });
}

// A key whose receipt a killed server left unsettled: binding its port settles it (the first
// binding reads the register's counter), and the object stays bound for the retry.
// A new Veskar object in `session`, bound to `port` by Init; its id, or 0 (with *init saying
// why when Init refused: an empty code means no object could be made).
int64_t CHttpFront::BindObject(const std::string& session, int port, const std::string& cashier,
                               const std::string& password, const std::string& client,
                               CallOutcome* init) {
    Json params;
    params.Set("progid", "VSKManager.Veskar");
    auto created = Json::Parse(Call(session, RpcLine(1, "CreateInstance", params)));
    const Json* result = created ? created->Find("result") : nullptr;
    const Json* obj = result ? result->Find("object") : nullptr;
    if (!obj || !obj->IsInt())
        return 0;
    Json call;
    call.Set("object", obj->AsInt());
    call.Set("name", "Init");
    call.Set("args", Json(Json::Array{Json(int64_t(port)), Json(cashier), Json(password), Json(0),
                                      Json(client)}));
    *init = ParseOutcome(Call(session, RpcLine(2, "Invoke", std::move(call))));
    if (!init->ok) {
        if (init->code.empty())
            init->code = init->ended ? "ENDING" : "E_FAIL";
        return 0;
    }
    return obj->AsInt();
}

void CHttpFront::BindToSettle(int port, const WholeReceipt& receipt) {
    {
        std::lock_guard lock(m_mutex);
        if (m_ending || m_anchors.count(port))
            return;
    }
    Anchor a;
    {
        std::lock_guard lock(m_mutex);
        a.session = "http-receipt:" + std::to_string(++m_nextReceipt);
    }
    a.cashier = receipt.cashier;
    a.password = receipt.password;
    a.client = receipt.client;
    CallOutcome o;
    a.object = BindObject(a.session, port, a.cashier, a.password, a.client, &o);
    if (a.object == 0) {
        m_rpc.CloseSession(a.session);
        return;
    }
    a.idleSince = std::chrono::steady_clock::now();
    {
        std::lock_guard lock(m_mutex);
        if (o.ok && !m_ending && !m_anchors.count(port)) {
            m_anchors[port] = std::move(a);
            return;
        }
    }
    m_rpc.CloseSession(a.session);
}

// A printing request with an Idempotency-Key runs once: a repeat answers the stored answer.
// The key is bound to its request (a fingerprint of method, path, port and body), kept only
// where it survives a crash, and left free when nothing was printed.
HttpReply CHttpFront::WithKey(const Request& request, const std::string& scope, int port,
                              const std::string& canonicalBody, const KeyedRun& run,
                              const std::function<void(int port)>& settle) {
    std::string key;
    if (auto k = request.headers.find("idempotency-key"); k != request.headers.end())
        key = k->second;
    if (key.size() > 200)
        return ErrorReply(400, "BAD_KEY", "an idempotency key is at most 200 characters");
    bool printed = false;
    if (key.empty())
        return run("", &printed);
    key = scope + key;
    const std::string fingerprint =
        request.method + " " + request.path + " " + std::to_string(port) + " " + canonicalBody;
    for (int attempt = 0;; ++attempt) {
        std::string why;
        if (!m_ledger.KeysDurable(&why))
            return ErrorReply(503, "LEDGER_UNAVAILABLE",
                              "an idempotency key cannot be kept now (" + why +
                                  "); nothing was printed. Requests without a key still print");
        int status = 0, settlePort = 0;
        std::string stored, firstTime;
        switch (m_ledger.ClaimKey(key, fingerprint, &status, &stored, &firstTime, &settlePort)) {
            case CLedger::KeyState::Done: {
                HttpReply reply;
                reply.status = status;
                reply.body = stored;
                reply.headers.emplace_back("Idempotent-Replay", "true");
                return reply;
            }
            case CLedger::KeyState::Running:
                return ErrorReply(409, "IN_PROGRESS",
                                  "a request with this idempotency key is in progress");
            case CLedger::KeyState::Reused: {
                Json why2;
                why2.Set("code", "KEY_REUSED");
                why2.Set("message", "this idempotency key was first used at " + firstTime +
                                        " for another request; nothing was printed");
                why2.Set("firstTime", firstTime);
                Json body;
                body.Set("error", std::move(why2));
                return JsonReply(422, body);
            }
            case CLedger::KeyState::Unsettled:
                // Cut by a crash, its receipt not yet settled by the register: bind its port
                // (which settles it) and ask again.
                if (attempt == 0 && settle) {
                    settle(settlePort);
                    continue;
                }
                return ErrorReply(409, "UNSETTLED",
                                  "the first request with this key was cut by a crash and port " +
                                      std::to_string(settlePort) +
                                      " could not be asked yet what became of it; try later");
            case CLedger::KeyState::Unavailable:
                return ErrorReply(503, "LEDGER_UNAVAILABLE",
                                  "an idempotency key cannot be kept now; nothing was printed");
            case CLedger::KeyState::New:
                break;
        }
        break;
    }
    HttpReply reply = run(key, &printed);
    // Cut by the server's end: the key stays running, and the next start settles it by its
    // row (by the register's counter) or, without a row, frees it.
    if (reply.status == 503 && reply.body.find("\"ENDING\"") != std::string::npos)
        return reply;
    if (!printed) {
        m_ledger.ReleaseKey(key);  // nothing printed: the corrected request may use it
        return reply;
    }
    m_ledger.FinishKey(key, reply.status, reply.body);
    return reply;
}

// Everything is checked before the register is asked anything: a refused receipt prints
// nothing, and the field at fault is named.
std::optional<HttpReply> CHttpFront::CheckReceipt(const Json& body, WholeReceipt* r) {
    BodyCheck check;
    constexpr int64_t kMax = INT32_MAX;
    check.Members(&body, "",
                  {"cashier", "password", "department", "kind", "client", "returnNumber", "lines",
                   "texts", "payments"},
                  "a receipt");
    check.Text(body, "", "cashier", "", &r->cashier);
    check.Text(body, "", "password", "", &r->password);
    check.Text(body, "", "department", "1", &r->department);
    check.Text(body, "", "kind", "sale", &r->kind);
    check.Text(body, "", "client", "http", &r->client);
    if (!check.Failed() && r->kind != "sale" && r->kind != "return")
        check.Fail("/kind", "kind is sale or return");
    if (r->client.empty())
        r->client = "http";
    check.Number(body, "", "returnNumber", 0, 0, kMax, &r->returnNumber);
    const Json* lines = body.Find("lines");
    if (!check.Failed() && (!lines || !lines->IsArray() || lines->AsArray().empty()))
        check.Fail("/lines", "lines is a non-empty array");
    r->expected = 0;
    for (size_t i = 0; !check.Failed() && i < lines->AsArray().size(); ++i) {
        const Json& l = lines->AsArray()[i];
        const std::string at = "/lines/" + std::to_string(i);
        ReceiptLine line{};
        if (!check.Members(
                &l, at,
                {"name", "quantity", "price", "weighed", "tax1", "tax2", "article", "discount"},
                "a line"))
            break;
        check.Text(l, at, "name", "", &line.name);
        if (!check.Failed() && line.name.empty())
            check.Fail(at + "/name", "name is required");
        check.Number(l, at, "quantity", 1, 0, kMax, &line.qty);
        check.Number(l, at, "price", 0, 0, kMax, &line.price, true);
        check.Flag(l, at, "weighed", &line.weighed);
        // 1 to 8 name the register's tax rates; 0 is no tax.
        check.Number(l, at, "tax1", 1, 0, 8, &line.tax1);
        check.Number(l, at, "tax2", 0, 0, 8, &line.tax2);
        check.Number(l, at, "article", 0, 0, kMax, &line.article);
        if (const Json* d = l.Find("discount")) {
            const std::string dat = at + "/discount";
            check.Members(d, dat, {"direction", "value", "name"}, "a discount");
            if (!check.Failed()) {
                // 0 takes the value off the line, 1 adds it as a surcharge.
                check.Number(*d, dat, "direction", 0, 0, 1, &line.direction);
                check.Number(*d, dat, "value", 0, 0, kMax, &line.discount);
                check.Text(*d, dat, "name", "", &line.discountName);
            }
        }
        if (check.Failed())
            break;
        const int64_t sum =
            ExpectedLineSum(line.qty, line.price, line.weighed != 0, line.direction, line.discount);
        if (sum < 0) {
            check.Fail(at + "/price", "the line's sum does not fit");
            break;
        }
        r->expected += sum;
        r->lines.push_back(std::move(line));
    }
    if (const Json* t = body.Find("texts"); t && !check.Failed()) {
        if (!t->IsArray())
            check.Fail("/texts", "texts is an array");
        for (size_t i = 0; !check.Failed() && i < t->AsArray().size(); ++i) {
            const Json& e = t->AsArray()[i];
            const std::string at = "/texts/" + std::to_string(i);
            ReceiptText x{};
            check.Members(&e, at, {"text", "before", "journal", "bold"}, "a free text");
            check.Text(e, at, "text", "", &x.text);
            check.Flag(e, at, "before", &x.before);
            check.Flag(e, at, "journal", &x.journal);
            check.Flag(e, at, "bold", &x.bold);
            r->texts.push_back(std::move(x));
        }
    }
    const Json* payments = body.Find("payments");
    if (!check.Failed() && !payments)
        check.Fail("/payments", "payments is required");
    if (check.Members(payments, "/payments", {"cash", "check", "credit", "packing"},
                      "the payments")) {
        check.Number(*payments, "/payments", "cash", 0, 0, kMax, &r->cash);
        check.Number(*payments, "/payments", "check", 0, 0, kMax, &r->check);
        check.Number(*payments, "/payments", "credit", 0, 0, kMax, &r->credit);
        check.Number(*payments, "/payments", "packing", 0, 0, kMax, &r->packing);
    }
    if (check.Failed())
        return check.Refusal();
    r->paid = r->cash + r->check + r->credit + r->packing;
    if (r->paid < r->expected)
        return ErrorReply(409, "NOT_COVERED",
                          "the payments (" + std::to_string(r->paid) +
                              ") do not cover the total (" + std::to_string(r->expected) +
                              "); nothing was printed");
    return std::nullopt;
}

HttpReply CHttpFront::RunReceipt(const WholeReceipt& receipt, int port, const std::string& key,
                                 bool* printed) {
    const std::string& cashier = receipt.cashier;
    const std::string& password = receipt.password;
    const std::string& department = receipt.department;
    const std::string& kind = receipt.kind;
    const std::string& client = receipt.client;
    const int64_t paid = receipt.paid;

    // The receipt, as a client of the socket would sell it, in a session of its own: the
    // port's kept object when it is free and bound for the same cashier, else a new one that
    // is kept afterwards (or, while another receipt of the port uses the kept one, let go).
    std::string session;
    int64_t object = 0;
    bool bound = false, keep = true;
    std::optional<Anchor> stale;
    {
        std::lock_guard lock(m_mutex);
        if (m_ending)
            return ErrorReply(503, "ENDING", "the server is ending");
        auto anchor = m_anchors.find(port);
        if (anchor != m_anchors.end() && anchor->second.busy) {
            keep = false;
        } else if (anchor != m_anchors.end() && anchor->second.cashier == cashier &&
                   anchor->second.password == password && anchor->second.client == client) {
            anchor->second.busy = true;
            session = anchor->second.session;
            object = anchor->second.object;
            bound = true;
        } else if (anchor != m_anchors.end()) {
            stale = std::move(anchor->second);
            m_anchors.erase(anchor);
        }
        if (!bound)
            session = "http-receipt:" + std::to_string(++m_nextReceipt);
    }
    if (stale)
        LetGo(*stale);  // first, so the new object binds the port for its own cashier
    int64_t nextId = 1;
    auto invoke = [&](const std::string& name, Json::Array args) {
        Json params;
        params.Set("object", object);
        params.Set("name", name);
        params.Set("args", Json(std::move(args)));
        return ParseOutcome(Call(session, RpcLine(nextId++, "Invoke", std::move(params))));
    };
    auto refused = [&](const CallOutcome& o, const std::string& step) {
        return StepRefusal(o, step);
    };
    HttpReply reply;
    // The object is kept for the next receipt unless the register or the link failed it.
    auto finish = [&](bool unbind) {
        Anchor a;
        a.session = session;
        a.object = object;
        a.cashier = cashier;
        a.password = password;
        a.client = client;
        a.idleSince = std::chrono::steady_clock::now();
        {
            std::lock_guard lock(m_mutex);
            auto it = m_anchors.find(port);
            const bool mine = it != m_anchors.end() && it->second.session == session;
            if (keep && !unbind && !m_ending && (mine || it == m_anchors.end())) {
                m_anchors[port] = std::move(a);
                return;
            }
            if (mine)
                m_anchors.erase(it);
        }
        if (unbind)
            LetGo(a);
        else
            m_rpc.CloseSession(session);
    };
    if (!bound) {
        CallOutcome init;
        object = BindObject(session, port, cashier, password, client, &init);
        if (object == 0) {
            m_rpc.CloseSession(session);
            return init.code.empty() ? ErrorReply(503, "ENDING", "no Veskar object could be made")
                                     : refused(init, "Init");
        }
        nextId = 3;
    }
    CallOutcome o = invoke("LockPrinter", {Json(int64_t(kReceiptLockWaitMs))});
    if (!o.ok && bound && !o.ended && HRESULT(o.hr) != CONTEXT_E_SYNCH_TIMEOUT) {
        // The kept object lost its port meanwhile (the operator closed it): a new one binds.
        finish(true);
        return RunReceipt(receipt, port, key, printed);
    }
    if (!o.ok) {
        reply = refused(o, "LockPrinter");
        finish(o.ended);
        return reply;
    }
    // Holding the lock, the next receipt this object opens is the key's: its row is bound to
    // the key when it is written, so that recovery follows the row, never a guess.
    if (!key.empty())
        m_ledger.ExpectReceipt(port, key);
    bool open = false;
    // A step that failed, or succeeded without the register ever confirming it (a ready wait
    // that ran out), stops the receipt.
    auto step = [&](const std::string& name, Json::Array args) {
        o = invoke(name, std::move(args));
        if (o.ok && o.outcome == "unconfirmed")
            reply = ErrorReply(503, "NOT_CONFIRMED",
                               name + ": the register did not confirm the command (" + o.code +
                                   ": " + o.message + "); the receipt was cancelled");
        else if (!o.ok)
            reply = refused(o, name);
        return o.ok && o.outcome.empty();
    };
    bool ok = true;
    if (kind == "return")
        ok = step("SetReturnCheckNumber", {Json(receipt.returnNumber)}) &&
             step("OpenReturnCheck", {Json(department)});
    else
        ok = step("OpenCheck", {Json(department)});
    open = ok;
    if (!key.empty())
        m_ledger.ForgetExpected(port);
    for (const ReceiptText& t : receipt.texts) {
        if (!ok)
            break;
        ok = step("FreeTextLine", {Json(t.before), Json(t.journal), Json(t.bold), Json(t.text)});
    }
    for (const ReceiptLine& l : receipt.lines) {
        if (!ok)
            break;
        ok = step("FiscalLineEx", {Json(l.name), Json(l.qty), Json(l.price), Json(l.weighed),
                                   Json(l.tax1), Json(l.tax2), Json(l.article), Json(l.direction),
                                   Json(l.discountName), Json(l.discount)});
    }
    // A return pays back its return sum; a sale takes its running total.
    int64_t total = 0;
    if (ok && step(kind == "return" ? "GetCheckReturnSum" : "GetCheckSum", {}))
        total = o.value.IsInt() ? o.value.AsInt() : 0;
    if (ok && paid < total) {
        ok = false;
        reply = ErrorReply(409, "NOT_COVERED",
                           "the payments (" + std::to_string(paid) +
                               ") do not cover the register's total (" + std::to_string(total) +
                               "); the receipt was cancelled");
    }
    bool inDoubt = false;
    if (ok) {
        o = invoke("CloseCheckEx", {Json(receipt.cash), Json(receipt.check), Json(receipt.credit),
                                    Json(receipt.packing)});
        if (o.ended) {
            // Cut while the register closes it: the next start settles it by the register's
            // counter, and the key waits for that.
            ok = false;
            open = false;
            reply = ErrorReply(503, "ENDING", "the server is ending");
        } else if (o.ok && o.outcome == "in-doubt") {
            // It may have printed: never cancelled, never reported failed.
            ok = false;
            open = false;
            inDoubt = true;
            *printed = true;  // as far as the key goes: it must not print again
            Json why;
            why.Set("code", "UNKNOWN");
            why.Set("message",
                    "the register did not answer the closing (" + o.code + ": " + o.message +
                        "): it may have printed the receipt; its row is completed when the "
                        "register answers, else look at the register before printing it again");
            why.Set("step", "CloseCheckEx");
            Json body;
            body.Set("error", std::move(why));
            body.Set("end", "unknown");
            body.Set("printed", Json());
            reply = JsonReply(409, body);
        } else if (!o.ok || !o.code.empty()) {
            // The closing answers its failure in the detail, not in the result code.
            ok = false;
            reply = refused(o, "CloseCheckEx");
        }
    }
    if (ok) {
        open = false;
        *printed = true;
        Json result;
        o = invoke("GetCheckResult", {});
        if (o.ok && o.value.IsString()) {
            // number;total;on-sale taxes;included taxes;...;return figures
            const std::string& figures = o.value.AsString();
            std::vector<int64_t> values;
            size_t at = 0;
            while (at <= figures.size()) {
                size_t end = figures.find(';', at);
                if (end == std::string::npos)
                    end = figures.size();
                values.push_back(std::atoll(figures.substr(at, end - at).c_str()));
                at = end + 1;
            }
            values.resize(9, 0);
            result.Set("number", values[0]);
            // What the receipt took, or for a return what it paid back.
            result.Set("total", kind == "return" ? values[5] : values[1]);
            result.Set("onSaleTaxes", values[2]);
            result.Set("includedTaxes", values[3]);
            result.Set("returnTotal", values[5]);
            result.Set("checkResult", figures);
        }
        result.Set("kind", kind);
        result.Set("sum", total);
        result.Set("paid", paid);
        result.Set("change", paid - total);
        result.Set("port", int64_t(port));
        reply = JsonReply(200, result);
    } else if (open) {
        invoke("AbortCheck", {});
    }
    invoke("UnlockPrinter", {});
    // A register that did not answer, or a server that is ending, keeps nothing bound. A
    // closing in doubt keeps its object: the port's next command catches the register's late
    // answer and completes the row (letting go now would wait for it inside this request).
    finish(reply.status == 503 && !inDoubt);
    return reply;
}

CHttpFront::CallOutcome CHttpFront::ParseOutcome(const std::string& line) {
    CallOutcome out;
    auto reply = Json::Parse(line);
    if (!reply) {
        out.ended = true;
        return out;
    }
    if (const Json* e = reply->Find("error")) {
        out.code = "RPC";
        if (const Json* m = e->Find("message"); m && m->IsString())
            out.message = m->AsString();
        return out;
    }
    const Json* result = reply->Find("result");
    const Json* hr = result ? result->Find("hr") : nullptr;
    out.hr = hr && hr->IsInt() ? hr->AsInt() : -1;
    out.ok = out.hr == 0;
    if (!result)
        return out;
    if (const Json* v = result->Find("value"))
        out.value = *v;
    if (const Json* why = result->Find("error")) {
        if (const Json* c = why->Find("code"); c && c->IsString())
            out.code = c->AsString();
        if (const Json* m = why->Find("message"); m && m->IsString())
            out.message = m->AsString();
        if (const Json* w = why->Find("outcome"); w && w->IsString())
            out.outcome = w->AsString();
    }
    return out;
}

HttpReply CHttpFront::StepRefusal(const CallOutcome& o, const std::string& step) {
    if (o.ended)
        return ErrorReply(503, "ENDING", "the server is ending");
    std::string code = o.code.empty() ? "E_FAIL" : o.code;
    std::string message =
        o.message.empty() ? step + " failed (hr " + std::to_string(o.hr) + ")" : o.message;
    // Time-outs and a port that cannot be had are the register's or the link's state (try
    // again later); the rest is the register's refusal of this receipt.
    const bool unavailable =
        code == "CONNTIMEOUT" || code == "PORTOPENERROR" || step == "Init" || step == "LockPrinter";
    Json why;
    why.Set("code", code);
    why.Set("message", message);
    why.Set("step", step);
    Json reply;
    reply.Set("error", std::move(why));
    reply.Set("printed", false);
    return JsonReply(unavailable ? 503 : 409, reply);
}

void CHttpFront::LetGo(const Anchor& anchor) {
    Json params;
    params.Set("object", anchor.object);
    params.Set("name", "Done");
    params.Set("args", Json(Json::Array{}));
    Call(anchor.session, RpcLine(1, "Invoke", std::move(params)));
    m_rpc.CloseSession(anchor.session);
}

bool CHttpFront::NextEvent(std::string* last, std::string* event, int* quietSeconds) {
    {
        std::unique_lock lock(m_mutex);
        if (!last->empty())
            m_cv.wait_for(lock, std::chrono::seconds(1), [&] { return m_ending; });
        if (m_ending)
            return false;
    }
    std::string now = m_options.status();
    if (now != *last) {
        *last = now;
        *event = "event: status\ndata: " + now + "\n\n";
        *quietSeconds = 0;
    } else if (++*quietSeconds >= 15) {
        *event = ": still here\n\n";  // keeps proxies from closing a quiet stream
        *quietSeconds = 0;
    }
    return true;
}

// --- the listener's side ---------------------------------------------------------------------

namespace {

struct RequestState {
    CHttpFront::Request request;
};

// One client's stream of server-sent events.
struct EventStream {
    CHttpFront* front;
    std::string last, pending;
    int quiet = 0;
};

ssize_t NextEventBytes(void* cls, uint64_t, char* buf, size_t max) {
    auto* stream = static_cast<EventStream*>(cls);
    while (stream->pending.empty())
        if (!stream->front->NextEvent(&stream->last, &stream->pending, &stream->quiet))
            return MHD_CONTENT_READER_END_OF_STREAM;
    const size_t n = std::min(max, stream->pending.size());
    std::memcpy(buf, stream->pending.data(), n);
    stream->pending.erase(0, n);
    return ssize_t(n);
}

void FreeEventStream(void* cls) {
    delete static_cast<EventStream*>(cls);
}

MHD_Result CollectHeader(void* cls, MHD_ValueKind, const char* key, const char* value) {
    auto* headers = static_cast<std::map<std::string, std::string>*>(cls);
    (*headers)[Lower(key)] = value ? value : "";
    return MHD_YES;
}

MHD_Result CollectArgument(void* cls, MHD_ValueKind, const char* key, const char* value) {
    auto* query = static_cast<std::string*>(cls);
    if (!query->empty())
        *query += '&';
    *query += key;
    if (value)
        *query += std::string("=") + value;
    return MHD_YES;
}

MHD_Result OnRequest(void* cls, MHD_Connection* connection, const char* url, const char* method,
                     const char*, const char* upload, size_t* uploadSize, void** state) {
    auto* self = static_cast<CHttpFront*>(cls);
    auto* rs = static_cast<RequestState*>(*state);
    if (!rs) {
        rs = new RequestState;
        *state = rs;
        rs->request.method = method;
        rs->request.path = url;
        MHD_get_connection_values(connection, MHD_HEADER_KIND, &CollectHeader,
                                  &rs->request.headers);
        MHD_get_connection_values(connection, MHD_GET_ARGUMENT_KIND, &CollectArgument,
                                  &rs->request.query);
        if (const MHD_ConnectionInfo* info =
                MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS)) {
            const sockaddr* sa = info->client_addr;
            char host[INET6_ADDRSTRLEN] = "";
            if (sa->sa_family == AF_INET)
                inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(sa)->sin_addr, host,
                          sizeof host);
            else if (sa->sa_family == AF_INET6)
                inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(sa)->sin6_addr, host,
                          sizeof host);
            rs->request.loopback = IsLoopbackAddress(sa);
            rs->request.peer = host;
        }
        return MHD_YES;
    }
    if (*uploadSize > 0) {
        if (rs->request.body.size() + *uploadSize > self->MaxBody()) {
            rs->request.tooLarge = true;
            rs->request.body.clear();
        } else if (!rs->request.tooLarge) {
            rs->request.body.append(upload, *uploadSize);
        }
        *uploadSize = 0;
        return MHD_YES;
    }
    HttpReply reply = self->Handle(rs->request);
    MHD_Response* response =
        reply.events
            ? MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 4096, &NextEventBytes,
                                                new EventStream{self, {}, {}, 0}, &FreeEventStream)
            : MHD_create_response_from_buffer(reply.body.size(), reply.body.data(),
                                              MHD_RESPMEM_MUST_COPY);
    if (!reply.body.empty() || reply.status != 204)
        MHD_add_response_header(response, "Content-Type", reply.contentType.c_str());
    MHD_add_response_header(response, "Cache-Control", "no-store");
    for (const auto& [name, value] : reply.headers)
        MHD_add_response_header(response, name.c_str(), value.c_str());
    MHD_Result rc = MHD_queue_response(connection, unsigned(reply.status), response);
    MHD_destroy_response(response);
    return rc;
}

void OnCompleted(void*, MHD_Connection*, void** state, MHD_RequestTerminationCode) {
    delete static_cast<RequestState*>(*state);
    *state = nullptr;
}

}  // namespace

}  // namespace vsk
