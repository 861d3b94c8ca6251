#include "client/client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <thread>

#include "platform/registry.h"
#include "rpc/host_port.h"
#include "rpc/query_interface.h"
#include "rpc/runtime_paths.h"
#include "rpc/tls_stream.h"
#include "rpc/type_library.h"
#include "rpc/wire.h"

namespace vsk {

namespace {

std::string& ActivationErrorSlot() {
    thread_local std::string text;
    return text;
}

}  // namespace

// ---- channel ----------------------------------------------------------------------------

namespace {

// connect() that gives up after `timeoutMs`: an unreachable host would otherwise hold the
// caller for the kernel's whole retry time (minutes).
bool ConnectWithin(int fd, const sockaddr* addr, socklen_t len, int timeoutMs) {
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0)
        return false;
    bool ok = connect(fd, addr, len) == 0;
    if (!ok && errno == EINPROGRESS) {
        pollfd p{fd, POLLOUT, 0};
        int rc;
        do {
            rc = poll(&p, 1, timeoutMs);
        } while (rc < 0 && errno == EINTR);
        int err = 0;
        socklen_t errLen = sizeof err;
        ok = rc > 0 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &errLen) == 0 && err == 0;
    }
    return fcntl(fd, F_SETFL, flags) == 0 && ok;
}

// Waits for the socket to be ready for `events` until the deadline (none: time_point::max).
bool WaitFor(int fd, short events, std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        int wait = -1;
        if (deadline != std::chrono::steady_clock::time_point::max()) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return false;
            wait = int(std::min<int64_t>(left.count(), INT32_MAX));
        }
        pollfd p{fd, events, 0};
        int rc = poll(&p, 1, wait);
        if (rc < 0 && errno == EINTR)
            continue;
        return rc > 0;
    }
}

}  // namespace

TlsTrust TlsTrust::FromEnvironment() {
    TlsTrust trust;
    if (const char* ca = std::getenv("VSK_TLS_CA"))
        trust.caFile = ca;
    if (const char* pin = std::getenv("VSK_TLS_FINGERPRINT"))
        trust.fingerprint = pin;
    // For programs without an option of their own (the VSKManager.Application proxy).
    if (const char* insecure = std::getenv("VSK_INSECURE"))
        trust.insecure = std::string(insecure) == "1";
    return trust;
}

CRpcChannel::CRpcChannel(int fd) : m_fd(fd) {}

std::shared_ptr<CRpcChannel> CRpcChannel::ConnectUnix(const std::string& path, HRESULT* hr,
                                                      std::string* error) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        *hr = E_INVALIDARG;
        return nullptr;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        if (fd >= 0)
            close(fd);
        *hr = RPC_E_DISCONNECTED;
        return nullptr;
    }
    ucred peer{};
    socklen_t len = sizeof peer;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &len) != 0 || peer.uid != geteuid()) {
        close(fd);
        if (error)
            *error = "the server at " + path + " runs as user " + std::to_string(peer.uid) +
                     ", not as this user (" + std::to_string(geteuid()) + "); nothing was sent";
        *hr = E_ACCESSDENIED;
        return nullptr;
    }
    *hr = S_OK;
    return std::shared_ptr<CRpcChannel>(new CRpcChannel(fd));
}

namespace {

// A socket connected to the first address of the host that answers in time; -1 when none does.
int ConnectTcpSocket(const HostPort& address, const std::string& full, bool loopbackOnly,
                     HRESULT* hr, std::string* why) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    if (int rc = getaddrinfo(address.host.c_str(), address.port.c_str(), &hints, &res); rc != 0) {
        *why = "cannot resolve " + address.host + ": " + gai_strerror(rc);
        *hr = RPC_E_DISCONNECTED;
        return -1;
    }
    bool skipped = false;
    int fd = -1;
    for (addrinfo* ai = res; ai && fd < 0; ai = ai->ai_next) {
        if (loopbackOnly && !IsLoopbackAddress(ai->ai_addr)) {
            skipped = true;
            continue;
        }
        fd = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, 0);
        if (fd >= 0 &&
            !ConnectWithin(fd, ai->ai_addr, ai->ai_addrlen, CRpcChannel::kConnectTimeoutMs)) {
            close(fd);
            fd = -1;
        }
    }
    freeaddrinfo(res);
    if (fd < 0 && skipped) {
        *why = "refusing to send the token in clear text to " + full +
               ", which is not on this computer: give the server's CA file or certificate "
               "fingerprint (--tls-ca, --tls-fingerprint), or --insecure; nothing was sent";
        *hr = E_ACCESSDENIED;
    } else if (fd < 0) {
        *why = "cannot connect to " + full;
        *hr = RPC_E_DISCONNECTED;
    }
    return fd;
}

}  // namespace

std::shared_ptr<CRpcChannel> CRpcChannel::ConnectTcp(const std::string& hostPort,
                                                     const std::string& token, HRESULT* hr,
                                                     const TlsTrust& trust, std::string* error) {
    std::string ignored;
    std::string& why = error ? *error : ignored;
    *hr = E_INVALIDARG;
    const std::string full = WithDefaultTcpPort(hostPort);
    const auto address = SplitHostPort(full);
    if (!address) {
        why = "expected HOST:PORT, got " + hostPort;
        return nullptr;
    }
    std::optional<std::string> pin;
    if (!trust.fingerprint.empty() && !(pin = NormalizeFingerprint(trust.fingerprint))) {
        why = "not a SHA-256 fingerprint (64 hex digits): " + trust.fingerprint;
        return nullptr;
    }
    // Without TLS only the loopback is tried: nothing at all goes to another host.
    const bool loopbackOnly = !trust.UsesTls() && !trust.insecure;
    const int fd = ConnectTcpSocket(*address, full, loopbackOnly, hr, &why);
    if (fd < 0)
        return nullptr;
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    auto channel = std::shared_ptr<CRpcChannel>(new CRpcChannel(fd));
    if (trust.UsesTls() && !channel->StartTls(address->host, full, trust.caFile, pin, hr, &why))
        return nullptr;
    // A listener that accepts and then says nothing is no server of ours.
    const int timeout = channel->m_timeoutMs;
    channel->SetTimeout(kConnectTimeoutMs);
    Json result;
    std::string message;
    *hr = channel->Call("Authenticate", Json(Json::Object{{"token", token}}), &result, &message);
    channel->SetTimeout(timeout);
    if (FAILED(*hr)) {
        why = message.empty() ? "no answer to the authentication from " + full : message;
        return nullptr;
    }
    return channel;
}

bool CRpcChannel::StartTls(const std::string& host, const std::string& full,
                           const std::string& caFile, const std::optional<std::string>& pin,
                           HRESULT* hr, std::string* why) {
    // The handshake runs on a non-blocking socket and so do the calls after it: a record half
    // received must not hold a call past its time-out.
    fcntl(m_fd, F_SETFL, fcntl(m_fd, F_GETFL) | O_NONBLOCK);
    std::string tlsError;
    m_tls = CTlsSession::Client(m_fd, host, caFile, &tlsError);
    if (!m_tls) {
        *why = tlsError;
        *hr = E_INVALIDARG;
        return false;
    }
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kConnectTimeoutMs);
    for (;;) {
        auto step = m_tls->Handshake(&tlsError);
        if (step == CTlsSession::Step::Done)
            break;
        if (step == CTlsSession::Step::Failed) {
            *why = tlsError + " (" + full + "); nothing was sent";
            *hr = m_tls->Untrusted() ? E_ACCESSDENIED : RPC_E_DISCONNECTED;
            m_tls.reset();
            return false;
        }
        if (!WaitFor(m_fd, step == CTlsSession::Step::WantWrite ? POLLOUT : POLLIN, deadline)) {
            *why = "no TLS handshake with " + full + " within " +
                   std::to_string(kConnectTimeoutMs / 1000) +
                   " s (does it listen with --tls-cert?); nothing was sent";
            *hr = RPC_E_DISCONNECTED;
            return false;
        }
    }
    const std::string seen = pin ? m_tls->PeerFingerprint() : std::string();
    if (pin && seen != *pin) {
        *why = "the server's certificate at " + full + " has the SHA-256 fingerprint " +
               (seen.empty() ? std::string("(none)") : seen) + ", not the one pinned (" + *pin +
               "); nothing was sent";
        *hr = E_ACCESSDENIED;
        m_tls->Bye();
        return false;
    }
    return true;
}

CRpcChannel::~CRpcChannel() {
    if (m_tls && !m_broken && !m_shut)
        m_tls->Bye();
    m_tls.reset();
    if (m_fd >= 0)
        close(m_fd);
}

bool CRpcChannel::SendLine(const std::string& line,
                           std::chrono::steady_clock::time_point deadline) {
    for (size_t done = 0; done < line.size();) {
        ssize_t n;
        if (m_tls) {
            n = m_tls->Send(line.data() + done, line.size() - done);
            if (n == 0) {
                if (m_shut || !WaitFor(m_fd, POLLOUT, deadline))
                    return false;
                continue;
            }
        } else {
            n = send(m_fd, line.data() + done, line.size() - done, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR)
                continue;
        }
        if (n <= 0)
            return false;
        done += size_t(n);
    }
    return true;
}

void CRpcChannel::Shutdown() {
    m_shut = true;
    if (m_fd >= 0)
        shutdown(m_fd, SHUT_RDWR);
}

HRESULT CRpcChannel::Call(const std::string& method, Json params, Json* result,
                          std::string* message) {
    std::lock_guard lock(m_mutex);
    if (m_fd < 0 || m_broken || m_shut)
        return RPC_E_DISCONNECTED;
    int64_t id = m_nextId++;
    std::string line = wire::Request(id, method, std::move(params)).Dump() + "\n";
    auto deadline = m_timeoutMs < 0
                        ? std::chrono::steady_clock::time_point::max()
                        : std::chrono::steady_clock::now() + std::chrono::milliseconds(m_timeoutMs);
    if (!SendLine(line, deadline)) {
        m_broken = m_broken || m_tls != nullptr;  // a record cut short cannot be resumed
        return RPC_E_DISCONNECTED;
    }
    for (;;) {
        size_t nl;
        while ((nl = m_in.find('\n')) != std::string::npos) {
            std::string reply = m_in.substr(0, nl);
            m_in.erase(0, nl + 1);
            auto parsed = Json::Parse(reply);
            if (!parsed)
                return RPC_E_INVALID_DATA;
            const Json* rid = parsed->Find("id");
            // An error without an id answers the request the server could not read (a line
            // too long); only one request is ever outstanding, so it is this one.
            bool unreadable = (!rid || rid->IsNull()) && parsed->Find("error");
            if (!unreadable && (!rid || !rid->IsInt() || rid->AsInt() != id))
                continue;  // not ours (stale)
            if (const Json* err = parsed->Find("error")) {
                const Json* code = err->Find("code");
                const Json* text = err->Find("message");
                if (message && text && text->IsString())
                    *message = text->AsString();
                return code && code->IsInt() ? HRESULT(code->AsInt()) : E_FAIL;
            }
            const Json* r = parsed->Find("result");
            if (!r)
                return RPC_E_INVALID_DATA;
            if (result)
                *result = *r;
            return S_OK;
        }
        if (m_tls) {
            // Decrypted bytes may wait inside the session, where poll cannot see them.
            if (m_shut)
                return RPC_E_DISCONNECTED;
            if (!m_tls->Pending() && !WaitFor(m_fd, POLLIN, deadline))
                return RPC_E_DISCONNECTED;
            switch (m_tls->Read(m_in)) {
                case CTlsSession::Received::Data:
                case CTlsSession::Received::Again:
                    continue;
                case CTlsSession::Received::Closed:
                case CTlsSession::Received::Failed:
                    m_broken = true;
                    return RPC_E_DISCONNECTED;
            }
        }
        int wait = -1;
        if (m_timeoutMs >= 0) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return RPC_E_DISCONNECTED;
            wait = int(left.count());
        }
        pollfd p{m_fd, POLLIN, 0};
        int rc = poll(&p, 1, wait);
        if (rc < 0 && errno == EINTR)
            continue;
        if (rc <= 0)
            return RPC_E_DISCONNECTED;
        char buf[65536];
        ssize_t n = recv(m_fd, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            m_broken = true;
            return RPC_E_DISCONNECTED;
        }
        m_in.append(buf, size_t(n));
    }
}

// ---- remote object ------------------------------------------------------------------------

namespace {

const ITypeInfo* LocalTypeInfo(const IID& iid) {
    if (iid == typelib::IID_IVeskar)
        return &typelib::VeskarTypeInfo();
    if (iid == typelib::IID_IVSKManager)
        return &typelib::ManagerTypeInfo();
    return nullptr;
}

const char* KindName(InvokeKind kind) {
    switch (kind) {
        case InvokeKind::PropertyGet:
            return "get";
        case InvokeKind::PropertyPut:
            return "put";
        default:
            return "method";
    }
}

// The IVeskar class of the client: every method is a remote Invoke by DISPID. Inputs travel
// in declaration order; the out value, which the server always returns for a method that has
// one, is stored whatever the HRESULT.
class CVeskarProxy final : public IVeskar {
public:
    explicit CVeskarProxy(CRemoteObject* remote) : m_remote(remote) { m_remote->AddRef(); }

    HRESULT QueryInterface(const IID& riid, void** ppv) override {
        return QueryInterfaceOf(
            this, riid, ppv, Answers<IVeskar>{{IID_IUnknown, IID_IDispatch, typelib::IID_IVeskar}});
    }
    ULONG AddRef() override { return ++m_refs; }
    ULONG Release() override {
        ULONG left = --m_refs;
        if (left == 0) {
            m_remote->Release();
            delete this;
        }
        return left;
    }
    HRESULT GetTypeInfoCount(unsigned* p) override { return m_remote->GetTypeInfoCount(p); }
    HRESULT GetTypeInfo(unsigned i, const ITypeInfo** pp) override {
        return m_remote->GetTypeInfo(i, pp);
    }
    HRESULT GetIDsOfNames(const std::u16string& name, DISPID* id) override {
        return m_remote->GetIDsOfNames(name, id);
    }
    HRESULT Invoke(DISPID id, InvokeKind kind, const VARIANT* args, unsigned n,
                   VARIANT* result) override {
        return m_remote->Invoke(id, kind, args, n, result);
    }

#define VSK_METHOD(id, name, help, ...)                                     \
    HRESULT name(VSK_PP_MAP(VSK_PP_SIG, __VA_ARGS__)) override {            \
        return Call(id __VA_OPT__(, VSK_PP_MAP(VSK_PP_NAME, __VA_ARGS__))); \
    }
#include "rpc/veskar_methods.def"
#undef VSK_METHOD

private:
    ~CVeskarProxy() = default;

    template <class... A>
    HRESULT Call(DISPID id, A&&... a) {
        std::vector<VARIANT> args;
        OutArg<LONG> longOut = nullptr;
        OutArg<BSTR> textOut = nullptr;
        (Collect(args, &longOut, &textOut, a), ...);
        VARIANT result;
        HRESULT hr =
            m_remote->Invoke(id, InvokeKind::Method, args.data(), unsigned(args.size()), &result);
        if (longOut && result.vt() == VT_I4)
            *longOut = result.lVal();
        if (textOut && result.vt() == VT_BSTR)
            *textOut = result.bstrVal();
        return hr;
    }
    using LongOut = OutArg<LONG>;
    using TextOut = OutArg<BSTR>;
    static void Collect(std::vector<VARIANT>& args, LongOut*, TextOut*, LONG v) {
        args.push_back(VARIANT::FromLong(v));
    }
    static void Collect(std::vector<VARIANT>& args, LongOut*, TextOut*, DATE v) {
        args.push_back(VARIANT::FromDate(v));
    }
    static void Collect(std::vector<VARIANT>& args, LongOut*, TextOut*, const BSTR& v) {
        args.push_back(VARIANT::FromBstr(v));
    }
    static void Collect(std::vector<VARIANT>&, LongOut* out, TextOut*, LongOut p) {
        *out = p;
    }
    static void Collect(std::vector<VARIANT>&, LongOut*, TextOut* out, TextOut p) {
        *out = p;
    }

    CRemoteObject* m_remote;
    ULONG m_refs = 1;
};

}  // namespace

CRemoteObject::CRemoteObject(std::shared_ptr<CRpcChannel> channel, int handle,
                             const ITypeInfo* info)
    : m_channel(std::move(channel)), m_handle(handle), m_info(info) {}

HRESULT CRemoteObject::QueryInterface(const IID& riid, void** ppv) {
    // IVeskar is a proxy of its own, holding this object.
    if (ppv && m_info && riid == typelib::IID_IVeskar && m_info->iid == riid) {
        *ppv = static_cast<IVeskar*>(new CVeskarProxy(this));
        return S_OK;
    }
    return QueryInterfaceOf(this, riid, ppv, Answers<IDispatch>{{IID_IUnknown, IID_IDispatch}});
}

ULONG CRemoteObject::AddRef() {
    return ++m_refs;
}

ULONG CRemoteObject::Release() {
    ULONG left = --m_refs;
    if (left == 0) {
        Json ignored;
        m_channel->Call("Release", Json(Json::Object{{"object", int64_t(m_handle)}}), &ignored);
        delete this;
    }
    return left;
}

HRESULT CRemoteObject::GetTypeInfoCount(unsigned* pctinfo) {
    if (!pctinfo)
        return E_POINTER;
    *pctinfo = m_info ? 1 : 0;
    return S_OK;
}

HRESULT CRemoteObject::GetTypeInfo(unsigned iTInfo, const ITypeInfo** ppTInfo) {
    if (!ppTInfo)
        return E_POINTER;
    if (iTInfo != 0 || !m_info)
        return MakeHr(0x8002000B);  // DISP_E_BADINDEX
    *ppTInfo = m_info;
    return S_OK;
}

HRESULT CRemoteObject::GetIDsOfNames(const std::u16string& name, DISPID* pDispId) {
    if (!pDispId)
        return E_POINTER;
    Json params;
    params.Set("object", int64_t(m_handle));
    params.Set("names", Json(Json::Array{Json(Utf16ToUtf8(name))}));
    Json result;
    HRESULT hr = m_channel->Call("GetIDsOfNames", std::move(params), &result);
    if (FAILED(hr))
        return hr;
    const Json* ids = result.Find("dispids");
    if (!ids || !ids->IsArray() || ids->AsArray().size() != 1 || !ids->AsArray()[0].IsInt())
        return RPC_E_INVALID_DATA;
    *pDispId = DISPID(ids->AsArray()[0].AsInt());
    return S_OK;
}

HRESULT CRemoteObject::Invoke(DISPID dispId, InvokeKind kind, const VARIANT* args,
                              unsigned argCount, VARIANT* pResult) {
    Json params;
    params.Set("object", int64_t(m_handle));
    params.Set("dispid", int64_t(dispId));
    params.Set("kind", KindName(kind));
    return InvokeWith(std::move(params), args, argCount, pResult, nullptr);
}

HRESULT CRemoteObject::InvokeByName(const std::string& name, InvokeKind kind,
                                    const std::vector<VARIANT>& args, VARIANT* pResult,
                                    std::string* message) {
    Json params;
    params.Set("object", int64_t(m_handle));
    params.Set("name", name);
    params.Set("kind", KindName(kind));
    return InvokeWith(std::move(params), args.data(), unsigned(args.size()), pResult, message);
}

HRESULT CRemoteObject::InvokeWith(Json params, const VARIANT* args, unsigned argCount,
                                  VARIANT* pResult, std::string* message) {
    Json::Array list;
    for (unsigned i = 0; i < argCount; ++i)
        list.push_back(wire::ToJson(args[i]));
    params.Set("args", Json(std::move(list)));
    Json result;
    m_lastFailure = {};
    HRESULT hr = m_channel->Call("Invoke", std::move(params), &result, message);
    if (FAILED(hr))
        return hr;
    if (const Json* why = result.Find("error"); why && why->IsObject()) {
        const Json* code = why->Find("code");
        const Json* text = why->Find("message");
        m_lastFailure.code = code && code->IsString() ? code->AsString() : "";
        m_lastFailure.message = text && text->IsString() ? text->AsString() : "";
        const Json* outcome = why->Find("outcome");
        m_lastFailure.outcome = outcome && outcome->IsString() ? outcome->AsString() : "";
        const Json* kind = why->Find("kind");
        m_lastFailure.kind = kind && kind->IsString() ? kind->AsString() : "";
        const Json* safe = why->Find("retrySafe");
        m_lastFailure.retrySafe = !safe || !safe->IsBool() || safe->AsBool();
    }
    const Json* code = result.Find("hr");
    const Json* value = result.Find("value");
    if (!code || !code->IsInt() || !value)
        return RPC_E_INVALID_DATA;
    auto v = wire::FromJson(*value);
    if (!v)
        return RPC_E_INVALID_DATA;
    if (pResult)
        *pResult = std::move(*v);
    return HRESULT(code->AsInt());
}

std::string ActivationError() {
    return ActivationErrorSlot();
}

HRESULT QueryVeskar(IDispatch* object, IVeskar** ppVeskar) {
    if (!object || !ppVeskar)
        return E_POINTER;
    return object->QueryInterface(typelib::IID_IVeskar, reinterpret_cast<void**>(ppVeskar));
}

// ---- activation ---------------------------------------------------------------------------

namespace {

HRESULT CreateOn(const std::shared_ptr<CRpcChannel>& channel, const CLSID& clsid,
                 IDispatch** ppObj) {
    Json result;
    HRESULT hr = channel->Call("CreateInstance", Json(Json::Object{{"clsid", GuidToString(clsid)}}),
                               &result);
    if (FAILED(hr))
        return hr;
    const Json* handle = result.Find("object");
    if (!handle || !handle->IsInt())
        return RPC_E_INVALID_DATA;
    // The interface the object speaks decides which local description its proxy uses.
    const ITypeInfo* local = nullptr;
    Json info;
    if (SUCCEEDED(
            channel->Call("GetTypeInfo", Json(Json::Object{{"object", handle->AsInt()}}), &info)))
        if (const Json* iid = info.Find("iid"); iid && iid->IsString())
            if (auto g = GuidFromString(iid->AsString()))
                local = LocalTypeInfo(*g);
    *ppObj = new CRemoteObject(channel, int(handle->AsInt()), local);
    return S_OK;
}

std::string ReadFirstLine(const std::string& path) {
    std::string text = ReadSmallFile(path);
    return text.substr(0, text.find('\n'));
}

// The running server that registered the class, if its socket answers (S_OK); S_FALSE when
// none does: no folder yet, no class file, or a stale one whose server died. E_ACCESSDENIED
// when the folder or the server is not this user's own: the class file may name anyone's
// socket then.
HRESULT ConnectRegistered(const std::string& runtimeDir, const CLSID& clsid,
                          std::shared_ptr<CRpcChannel>* channel) {
    std::string& error = ActivationErrorSlot();
    switch (CheckRuntimeDir(runtimeDir, &error)) {
        case RuntimeDirTrust::Absent:
            return S_FALSE;
        case RuntimeDirTrust::Refused:
            error = "runtime folder refused: " + error;
            return E_ACCESSDENIED;
        case RuntimeDirTrust::Private:
            break;
    }
    std::string socketPath = ReadFirstLine(ClassFilePath(runtimeDir, clsid));
    // No server has registered yet; a socket unit may be listening to start one.
    if (socketPath.empty() && access(ActivationSocketPath(runtimeDir).c_str(), F_OK) == 0)
        socketPath = ActivationSocketPath(runtimeDir);
    if (socketPath.empty())
        return S_FALSE;
    HRESULT hr;
    *channel = CRpcChannel::ConnectUnix(socketPath, &hr, &error);
    return hr == E_ACCESSDENIED ? hr : *channel ? S_OK : S_FALSE;
}

std::optional<CLSID> ResolveClass(const std::string& clsidOrProgId, const RegistryStore& reg) {
    if (auto g = GuidFromString(clsidOrProgId))
        return g;
    auto value = reg.GetValue(Hive::ClassesRoot, clsidOrProgId + "\\CLSID", "");
    if (value && std::holds_alternative<std::string>(*value))
        return GuidFromString(std::get<std::string>(*value));
    return std::nullopt;
}

// LocalServer32 holds the executable in double quotes, possibly followed by arguments.
std::vector<std::string> SplitCommandLine(const std::string& text) {
    std::vector<std::string> args;
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && text[i] == ' ')
            ++i;
        if (i >= text.size())
            break;
        std::string arg;
        if (text[i] == '"') {
            size_t end = text.find('"', i + 1);
            arg = text.substr(i + 1, end == std::string::npos ? std::string::npos : end - i - 1);
            i = end == std::string::npos ? text.size() : end + 1;
        } else {
            size_t end = text.find(' ', i);
            arg = text.substr(i, end == std::string::npos ? std::string::npos : end - i);
            i = end == std::string::npos ? text.size() : end;
        }
        args.push_back(arg);
    }
    return args;
}

// Starts the server detached (double fork), so it outlives this client and leaves no zombie.
bool StartServer(std::vector<std::string> args) {
    if (access(args[0].c_str(), X_OK) != 0)
        return false;
    args.push_back("-Embedding");
    pid_t child = fork();
    if (child < 0)
        return false;
    if (child == 0) {
        setsid();
        if (fork() != 0)
            _exit(0);
        int devnull = open("/dev/null", O_RDWR);
        if (devnull >= 0) {
            dup2(devnull, 0);
            dup2(devnull, 1);
        }
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return true;
}

}  // namespace

HRESULT CreateInstance(const std::string& clsidOrProgId, IDispatch** ppObj,
                       const ActivationOptions& options) {
    if (!ppObj)
        return E_POINTER;
    *ppObj = nullptr;
    std::string runtimeDir =
        options.runtimeDir.empty() ? AutomationRuntimeDir() : options.runtimeDir;
    RegistryStore reg =
        options.registryDir.empty() ? RegistryStore() : RegistryStore(options.registryDir);
    ActivationErrorSlot().clear();
    auto clsid = ResolveClass(clsidOrProgId, reg);
    if (!clsid)
        return REGDB_E_CLASSNOTREG;
    std::shared_ptr<CRpcChannel> channel;
    if (ConnectRegistered(runtimeDir, *clsid, &channel) == E_ACCESSDENIED)
        return E_ACCESSDENIED;  // and no server is started to join it
    if (channel) {
        HRESULT hr = CreateOn(channel, *clsid, ppObj);
        if (hr != REGDB_E_CLASSNOTREG && hr != RPC_E_DISCONNECTED)
            return hr;
        // A single-use class was taken meanwhile, or the server is ending: start another.
    }
    if (!options.allowStart)
        return REGDB_E_CLASSNOTREG;
    auto server =
        reg.GetValue(Hive::ClassesRoot, "CLSID\\" + GuidToString(*clsid) + "\\LocalServer32", "");
    if (!server || !std::holds_alternative<std::string>(*server))
        return REGDB_E_CLASSNOTREG;
    auto args = SplitCommandLine(std::get<std::string>(*server));
    if (args.empty() || !StartServer(args))
        return CO_E_SERVER_EXEC_FAILURE;
    auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(options.startTimeoutMs);
    do {
        channel.reset();
        if (ConnectRegistered(runtimeDir, *clsid, &channel) == E_ACCESSDENIED)
            return E_ACCESSDENIED;
        if (channel) {
            HRESULT hr = CreateOn(channel, *clsid, ppObj);
            if (hr != RPC_E_DISCONNECTED)
                return hr;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    } while (std::chrono::steady_clock::now() < deadline);
    return CO_E_SERVER_EXEC_FAILURE;
}

HRESULT CreateInstanceEx(const std::string& clsidOrProgId, const std::string& hostPort,
                         IDispatch** ppObj, const std::string& tokenFile, const TlsTrust& trust) {
    if (!ppObj)
        return E_POINTER;
    *ppObj = nullptr;
    auto clsid = GuidFromString(clsidOrProgId);
    if (!clsid) {
        // A remote server is asked by ProgID: this computer's registry need not know the class.
        RegistryStore reg;
        clsid = ResolveClass(clsidOrProgId, reg);
    }
    if (!clsid)
        return REGDB_E_CLASSNOTREG;
    std::string& error = ActivationErrorSlot();
    error.clear();
    auto token = ReadTokenFile(tokenFile.empty() ? DefaultTokenFile() : tokenFile, &error);
    if (!token)
        return E_ACCESSDENIED;
    HRESULT hr;
    auto channel = CRpcChannel::ConnectTcp(hostPort, *token, &hr, trust, &error);
    if (!channel)
        return hr;
    return CreateOn(channel, *clsid, ppObj);
}

}  // namespace vsk
