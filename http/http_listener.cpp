// The listener's side: libmicrohttpd's daemon, its callbacks, and the stream of events.
#include <arpa/inet.h>
#include <microhttpd.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

#include "http/http_admission.h"
#include "http/http_front.h"
#include "http/http_reply.h"
#include "http/receipt_desk.h"
#include "platform/peer_user.h"
#include "platform/text.h"
#include "rpc/host_port.h"
#include "rpc/rpc_server.h"
#include "rpc/runtime_paths.h"

namespace vsk {

namespace {

MHD_Result OnRequest(void* cls, MHD_Connection* connection, const char* url, const char* method,
                     const char* version, const char* upload, size_t* uploadSize, void** state);
void OnCompleted(void* cls, MHD_Connection* connection, void** state,
                 MHD_RequestTerminationCode why);
void OnConnection(void* cls, MHD_Connection* connection, void** socketContext,
                  MHD_ConnectionNotificationCode what);

}  // namespace

bool CHttpFront::Start(const HttpOptions& options, std::string* error) {
    m_options = options;
    const std::string& hostPort = options.listen;
    const std::optional<HostPort> split = SplitHostPort(hostPort);
    if (!split) {
        *error = "--http expects HOST:PORT, got " + hostPort;
        return false;
    }
    const std::string &host = split->host, &port = split->port;
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
    // The limits libmicrohttpd enforces itself; the finer ones are CAdmission's (see
    // http_admission.h for every value and why).
    m_admission = std::make_unique<CAdmission>();
    m_daemon = MHD_start_daemon(
        flags, 0, nullptr, nullptr, &OnRequest, this, MHD_OPTION_SOCK_ADDR,
        reinterpret_cast<sockaddr*>(&addr), MHD_OPTION_NOTIFY_COMPLETED, &OnCompleted, this,
        MHD_OPTION_NOTIFY_CONNECTION, &OnConnection, this, MHD_OPTION_CONNECTION_LIMIT,
        http_limits::kConnections, MHD_OPTION_PER_IP_CONNECTION_LIMIT,
        http_limits::kConnectionsPerAddress, MHD_OPTION_CONNECTION_TIMEOUT,
        http_limits::kInactivitySeconds, MHD_OPTION_ARRAY, tlsOptions, MHD_OPTION_END);
    if (!m_daemon) {
        *error = "cannot listen for HTTP on " + hostPort;
        return false;
    }
    if (const MHD_DaemonInfo* info = MHD_get_daemon_info(m_daemon, MHD_DAEMON_INFO_BIND_PORT))
        m_port = info->port;
    m_admission->StartSweeper();
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
    // Receipts under way answer soon that the server is ending; their bindings go with the desk.
    if (m_options.desk)
        m_options.desk->Stop();
    m_cv.notify_all();
    m_feedChanged.notify_all();
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
    if (m_admission)
        m_admission->Stop();
    std::lock_guard lock(m_mutex);
    for (const auto& [name, since] : m_sessions)
        m_rpc.CloseSession("http:" + name);
    m_sessions.clear();
}

namespace {

struct RequestState {
    CHttpFront::Request request;
};

// One client's stream of server-sent events.
struct EventStream {
    CHttpFront* front;
    CAdmission::Connection* connection;
    std::string last, pending;
    int quiet = 0;
};

// The connection's account in the admission (nullptr: refused at its start).
CAdmission::Connection* AccountOf(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    return info ? static_cast<CAdmission::Connection*>(info->socket_context) : nullptr;
}

void OnConnection(void* cls, MHD_Connection* connection, void** socketContext,
                  MHD_ConnectionNotificationCode what) {
    CAdmission& admission = static_cast<CHttpFront*>(cls)->Admission();
    if (what == MHD_CONNECTION_NOTIFY_CLOSED) {
        // libmicrohttpd closes the socket after this returns.
        admission.Closed(static_cast<CAdmission::Connection*>(*socketContext));
        *socketContext = nullptr;
        return;
    }
    const MHD_ConnectionInfo* fd =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    const MHD_ConnectionInfo* address =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    if (!fd)
        return;
    const std::string peer =
        CAdmission::PeerOf(fd->connect_fd, address ? address->client_addr : nullptr);
    *socketContext = admission.Admit(fd->connect_fd, peer, CAdmission::Clock::now());
}

// The stream's account says when it asks for its next event and when it hands one over: one
// handed over that does not leave marks a reader that does not read.
ssize_t NextEventBytes(void* cls, uint64_t, char* buf, size_t max) {
    auto* stream = static_cast<EventStream*>(cls);
    CAdmission& admission = stream->front->Admission();
    admission.StreamProgress(stream->connection, true, CAdmission::Clock::now());
    while (stream->pending.empty()) {
        if (admission.Cut(stream->connection))
            return MHD_CONTENT_READER_END_WITH_ERROR;
        if (!stream->front->NextEvent(&stream->last, &stream->pending, &stream->quiet))
            return MHD_CONTENT_READER_END_OF_STREAM;
    }
    admission.StreamProgress(stream->connection, false, CAdmission::Clock::now());
    const size_t n = std::min(max, stream->pending.size());
    std::memcpy(buf, stream->pending.data(), n);
    stream->pending.erase(0, n);
    return ssize_t(n);
}

// An event stream's socket holds a few events, not megabytes: a reader that stops reading
// stalls its stream soon, and the sweeper drops it.
void SmallSendBuffer(MHD_Connection* connection) {
    if (const MHD_ConnectionInfo* fd =
            MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD)) {
        const int size = http_limits::kEventSendBuffer;
        setsockopt(fd->connect_fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    }
}

void FreeEventStream(void* cls) {
    delete static_cast<EventStream*>(cls);
}

MHD_Result CollectHeader(void* cls, MHD_ValueKind, const char* key, const char* value) {
    auto* headers = static_cast<std::map<std::string, std::string>*>(cls);
    (*headers)[LowerAscii(key)] = value ? value : "";
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

// The address the peer reached and, for a loopback peer, its user; asked of the kernel once per
// connection (the socket's cookie, never reused while the system runs, tells a connection
// from the next: each has a thread of its own here, but a cache must not rely on that).
void DescribeConnection(int fd, CHttpFront::Request* request) {
    struct Known {
        uint64_t cookie = 0;
        std::string local;
        std::optional<uid_t> user;
    };
    thread_local Known known;
    uint64_t cookie = 0;
    socklen_t cookieLen = sizeof cookie;
    if (getsockopt(fd, SOL_SOCKET, SO_COOKIE, &cookie, &cookieLen) != 0)
        cookie = 0;
    if (cookie == 0 || cookie != known.cookie) {
        known = Known{cookie, {}, std::nullopt};
        sockaddr_storage ss{};
        socklen_t len = sizeof ss;
        char text[INET6_ADDRSTRLEN] = "";
        if (getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len) != 0)
            ss.ss_family = AF_UNSPEC;
        if (ss.ss_family == AF_INET)
            inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(ss).sin_addr, text,
                      sizeof text);
        else if (ss.ss_family == AF_INET6)
            inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6&>(ss).sin6_addr, text,
                      sizeof text);
        known.local = text;
        if (request->loopback)
            known.user = LocalPeerUser(fd);
    }
    request->local = known.local;
    request->peerUser = known.user;
}

MHD_Result OnRequest(void* cls, MHD_Connection* connection, const char* url, const char* method,
                     const char*, const char* upload, size_t* uploadSize, void** state) {
    auto* self = static_cast<CHttpFront*>(cls);
    auto* rs = static_cast<RequestState*>(*state);
    CAdmission::Connection* account = AccountOf(connection);
    if (!account)
        return MHD_NO;  // refused at its start; whatever it sent before is not read
    if (!rs) {
        self->Admission().HeadersIn(account, CAdmission::Clock::now());
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
        if (const MHD_ConnectionInfo* info =
                MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD))
            DescribeConnection(info->connect_fd, &rs->request);
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
    self->Admission().BodyIn(account);
    HttpReply reply = self->Handle(rs->request);
    if (reply.events && !self->Admission().OpenStream(account, CAdmission::Clock::now()))
        reply = ErrorReply(Fault::Busy, "too many event streams; try later");
    if (reply.events)
        SmallSendBuffer(connection);
    MHD_Response* response =
        reply.events ? MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 4096, &NextEventBytes,
                                                         new EventStream{self, account, {}, {}, 0},
                                                         &FreeEventStream)
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

void OnCompleted(void* cls, MHD_Connection* connection, void** state, MHD_RequestTerminationCode) {
    delete static_cast<RequestState*>(*state);
    *state = nullptr;
    // A kept-alive connection's next request has its own deadline.
    if (CAdmission::Connection* account = AccountOf(connection))
        static_cast<CHttpFront*>(cls)->Admission().RequestEnded(account, CAdmission::Clock::now());
}

}  // namespace

}  // namespace vsk
