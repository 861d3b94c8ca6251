// libvskclient: how a C++ program (without Qt) reaches the automation server. Activation by
// CLSID or ProgID (starting the registered server with -Embedding when none runs), remote
// creation over TCP, late binding by name, and IVeskar as a C++ class whose methods return the
// server's HRESULTs and out values.
//
// Threading: an object and its connection may be used from one thread at a time; calls on one
// connection are sent and answered in order.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "rpc/com_types.h"
#include "rpc/failure_detail.h"
#include "rpc/iveskar.h"
#include "rpc/json.h"

namespace vsk {

class CTlsSession;

// How a TCP client trusts the server. With a CA file or a fingerprint the connection speaks
// TLS and the token is sent only once the server has proved itself; without either it is plain
// TCP, which is refused off the loopback (the token would cross the network in clear text)
// unless `insecure` is set.
struct TlsTrust {
    // PEM certificates of the authorities that may sign the server's certificate; the
    // certificate must also name the host connected to (its DNS name or IP address).
    std::string caFile;
    // The SHA-256 of the server's certificate (what vskmanager --make-cert prints): 64 hex
    // digits, colons optional, any case. With a CA file too, both must hold.
    std::string fingerprint;
    bool insecure = false;

    bool UsesTls() const { return !caFile.empty() || !fingerprint.empty(); }
    // VSK_TLS_CA and VSK_TLS_FINGERPRINT, when set; VSK_INSECURE=1 sets `insecure`.
    static TlsTrust FromEnvironment();
};

// One JSON-RPC connection to a server.
class CRpcChannel {
public:
    // Refuses (E_ACCESSDENIED, *error says why) a socket whose server runs as another user,
    // before anything is sent: a password must never reach a stranger's process.
    static std::shared_ptr<CRpcChannel> ConnectUnix(const std::string& path, HRESULT* hr,
                                                    std::string* error = nullptr);
    // Connects (a host that does not answer within kConnectTimeoutMs is given up), makes sure
    // of the server as `trust` says (the TLS handshake has the same time), and authenticates
    // with the token before anything else. A bare host takes kDefaultTcpPort. A server that
    // fails the trust, or plain TCP off the loopback without trust.insecure, is refused with
    // E_ACCESSDENIED before the token is sent; *error says why.
    static std::shared_ptr<CRpcChannel> ConnectTcp(
        const std::string& hostPort, const std::string& token, HRESULT* hr,
        const TlsTrust& trust = TlsTrust::FromEnvironment(), std::string* error = nullptr);
    static constexpr int kConnectTimeoutMs = 5000;
    ~CRpcChannel();

    // One request and its reply. A JSON-RPC error gives its code (an HRESULT) and message; a
    // broken connection or a time-out gives RPC_E_DISCONNECTED.
    HRESULT Call(const std::string& method, Json params, Json* result,
                 std::string* message = nullptr);
    void SetTimeout(int ms) { m_timeoutMs = ms; }  // per reply; -1 waits without limit
    // Breaks the connection from any thread: a Call waiting for its reply ends at once, and
    // every later one fails at once, with RPC_E_DISCONNECTED. The server releases the objects
    // the connection created, as it does for a client that goes away.
    void Shutdown();

private:
    explicit CRpcChannel(int fd);
    // The TLS handshake with `host` and the checks of its certificate (the CA file, the pinned
    // fingerprint), within the connect time; false with *hr and *why when it fails.
    bool StartTls(const std::string& host, const std::string& full, const std::string& caFile,
                  const std::optional<std::string>& pin, HRESULT* hr, std::string* why);
    bool SendLine(const std::string& line,
                  std::chrono::steady_clock::time_point deadline);  // under m_mutex
    std::mutex m_mutex;
    const int m_fd;         // open until the channel is destroyed
    bool m_broken = false;  // under m_mutex: the server closed the connection
    std::atomic<bool> m_shut{false};
    std::unique_ptr<CTlsSession> m_tls;  // a TLS connection's session (the socket non-blocking)
    std::string m_in;
    int64_t m_nextId = 1;
    int m_timeoutMs = 10 * 60 * 1000;
};

// A server object reached through a channel: IDispatch with remote calls.
class CRemoteObject final : public IDispatch {
public:
    CRemoteObject(std::shared_ptr<CRpcChannel> channel, int handle, const ITypeInfo* info);

    HRESULT QueryInterface(const IID& riid, void** ppv) override;
    ULONG AddRef() override;
    ULONG Release() override;  // the last one releases the server object
    HRESULT GetTypeInfoCount(unsigned* pctinfo) override;
    HRESULT GetTypeInfo(unsigned iTInfo, const ITypeInfo** ppTInfo) override;
    HRESULT GetIDsOfNames(const std::u16string& name, DISPID* pDispId) override;
    HRESULT Invoke(DISPID dispId, InvokeKind kind, const VARIANT* args, unsigned argCount,
                   VARIANT* pResult) override;

    // Late binding by name in one round trip.
    HRESULT InvokeByName(const std::string& name, InvokeKind kind, const std::vector<VARIANT>& args,
                         VARIANT* pResult, std::string* message = nullptr);
    // Why the object's last call failed, as the server told it ("error" of the Invoke result:
    // the register's or the engine's code, such as SOFTUPAS, and its message in UTF-8); empty
    // after a call that succeeded or whose failure came without a reason.
    const FailureDetail& LastFailure() const { return m_lastFailure; }
    int Handle() const { return m_handle; }
    const std::shared_ptr<CRpcChannel>& Channel() const { return m_channel; }

private:
    HRESULT InvokeWith(Json params, const VARIANT* args, unsigned argCount, VARIANT* pResult,
                       std::string* message);
    ~CRemoteObject() = default;
    std::shared_ptr<CRpcChannel> m_channel;
    int m_handle;
    const ITypeInfo* m_info;  // the local description of the server's interface, or null
    ULONG m_refs = 1;
    FailureDetail m_lastFailure;
};

struct ActivationOptions {
    std::string runtimeDir;      // empty: AutomationRuntimeDir()
    std::string registryDir;     // empty: the registry store's default
    int startTimeoutMs = 10000;  // waiting for a started server to register its class
    bool allowStart = true;      // start the LocalServer32 when no server serves the class
};

// CLSID ("{...}") or ProgID. REGDB_E_CLASSNOTREG when nothing serves it and nothing is
// registered to start; CO_E_SERVER_EXEC_FAILURE when the started server never registers;
// E_ACCESSDENIED when the runtime folder is not this user's own (a symbolic link, another
// user's, open to others, in a parent others may change) or the registered server runs as
// another user: then nothing was sent to it.
HRESULT CreateInstance(const std::string& clsidOrProgId, IDispatch** ppObj,
                       const ActivationOptions& options = {});
// The same on a server's TCP listener (HOST:PORT), authenticating with the token file once
// the server is trusted (see TlsTrust; E_ACCESSDENIED and ActivationError() when it is not).
HRESULT CreateInstanceEx(const std::string& clsidOrProgId, const std::string& hostPort,
                         IDispatch** ppObj, const std::string& tokenFile = "",
                         const TlsTrust& trust = TlsTrust::FromEnvironment());

// Why the last CreateInstance or CreateInstanceEx of this thread failed, when it knows more
// than its HRESULT says; empty after a success.
std::string ActivationError();

// The IVeskar view of a server object (E_NOINTERFACE unless it is a Veskar object); takes
// its own reference.
HRESULT QueryVeskar(IDispatch* object, IVeskar** ppVeskar);

}  // namespace vsk
