// The server side of the automation runtime: class objects registered by CLSID, a Unix stream
// socket per server process (and an opt-in TCP listener), JSON-RPC requests of each
// connection answered in order.
//
// Threading: every member runs on one thread, the one that calls RunOnce. The loop never waits
// on a register: an Invoke of an object that offers IAsyncDispatch is handed to the object
// (which runs it on its port's worker, or parks it while it waits for a lock) and the loop goes
// on serving the other connections; the call's end comes back through a completion queue that
// wakes the loop. A connection whose call is under way is not read until the call has ended,
// so its requests are still answered one at a time and in order. The loop is a plain poll(); a
// GUI event loop can drive it by watching Fds() and calling RunOnce(0) when one becomes ready.
#pragma once

#include <poll.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "rpc/async_dispatch.h"
#include "rpc/auth_backoff.h"
#include "rpc/com_types.h"
#include "rpc/json.h"
#include "rpc/tls_stream.h"

namespace vsk {

struct MemberDesc;

struct ClassFactory {
    CLSID clsid;
    std::vector<std::string> progIds;  // compared without letter case
    // Single use: revoked after its first creation, so the next client starts a new server.
    bool singleUse = false;
    // Creates one object with one reference for the caller.
    std::function<HRESULT(IDispatch** ppObj)> create;
};

struct TcpListenOptions {
    // Both given: every TCP connection speaks TLS with this certificate (PEM) before its lines.
    std::string certFile, keyFile;
    // Plain TCP off the loopback puts the token and every call on the network in clear text:
    // refused unless this is set.
    bool insecure = false;
};

class CRpcServer {
public:
    // Objects one connection or session may hold at once. Each is the server's memory, and a
    // client that creates without releasing would otherwise grow the server without end; a
    // till needs a handful. Beyond it CreateInstance is refused until the client releases one.
    static constexpr size_t kMaxObjects = 256;

    explicit CRpcServer(std::string runtimeDir);
    ~CRpcServer();  // closes every connection (releasing its objects) and revokes every class
    CRpcServer(const CRpcServer&) = delete;
    CRpcServer& operator=(const CRpcServer&) = delete;

    // Listens on <runtimeDir>/server-<pid>.sock (0600) in a private runtime folder.
    bool ListenLocal(std::string* error);
    // Serves a listening Unix socket someone else made (socket activation) instead: its path
    // goes into the class files, and it is neither removed nor are the class files revoked at
    // the end, since its owner goes on listening and starts the next server.
    bool AdoptLocal(int listenFd, std::string* error);
    // HOST:PORT ("127.0.0.1:0" picks a free port; a bare HOST takes kDefaultTcpPort); every
    // connection must authenticate first with the token of tokenFile (created when absent),
    // within the pre-authentication time, a TLS handshake included.
    bool ListenTcp(const std::string& hostOrHostPort, const std::string& tokenFile,
                   std::string* error, const TcpListenOptions& options = {});
    // The TCP listener speaks TLS; the fingerprint of its certificate.
    bool TcpUsesTls() const { return m_tlsCredentials != nullptr; }
    std::string TcpFingerprint() const;
    // The listener accepts plain TCP on an address off the loopback (--insecure).
    bool TcpInClearOffLoopback() const { return m_tcpClearOffLoopback; }
    // How long a TCP peer has to finish its handshake and authenticate (10 s).
    void SetPreAuthTimeout(std::chrono::milliseconds timeout) { m_preAuthTimeout = timeout; }
    const std::string& SocketPath() const { return m_socketPath; }
    int TcpPort() const { return m_tcpPort; }

    // Makes the class creatable and writes its class file (needs ListenLocal first).
    bool RegisterClassObject(ClassFactory factory, std::string* error);
    void RevokeClassObject(const CLSID& clsid);
    bool IsRegistered(const CLSID& clsid) const;

    // Waits up to timeoutMs (-1: no limit) for something to do, or for wakeFd to become
    // readable, and serves every ready connection.
    void RunOnce(int timeoutMs, int wakeFd = -1);
    std::vector<int> Fds() const;
    // For another event loop: the descriptors RunOnce would wait on now, with the events it
    // would ask for (a descriptor with none still reports its hang-up), and the milliseconds
    // until it wants to run anyway (-1: no limit). Run RunOnce(0) when one is ready or the
    // time is up, then ask again: the set changes as connections come, go and get busy.
    int WatchSet(std::vector<pollfd>* watch);
    // Run at the start of every RunOnce; returns the milliseconds until it wants to run again
    // (-1: no wish). The server's lock waits end through it.
    void SetTimer(std::function<int()> timer) { m_timer = std::move(timer); }
    // Where the server reports what nobody else sees (refused TCP connections); stderr unless
    // set. Never handed a token.
    void SetLog(std::function<void(const std::string&)> log) { m_log = std::move(log); }
    size_t ConnectionCount() const { return m_connections.size(); }

    // A connection without a socket whose lines are handed in directly (the fuzz target).
    // HandleTestLine returns the reply line (empty for a notification); *close is set when the
    // connection would be dropped.
    int OpenTestConnection(bool tcp);
    std::string HandleTestLine(int id, std::string_view line, bool* close);
    void CloseTestConnection(int id) { CloseConnection(id); }

    // Connections without a socket, for front ends on other threads (the HTTP listener). Any
    // thread may post a request line under a session name: the loop opens the session's
    // connection at its first line, serves its lines one at a time and in order like a socket's,
    // and hands each reply line (empty for a notification) to `done` on the loop's thread.
    // Such a connection needs no authentication: its front end checks its peers itself.
    // Closing a session releases its objects; lines still queued are answered with "".
    using ReplyDone = std::function<void(std::string reply)>;
    void PostSessionLine(const std::string& session, std::string line, ReplyDone done);
    void CloseSession(const std::string& session);

    struct Connection;

private:
    // The loop (rpc_server.cpp).
    int BuildPollSet(int timeoutMs, std::vector<pollfd>& fds, std::vector<int>& ids,
                     std::vector<int>& expired);
    void ServeReady(const pollfd& ready, int id);
    void Log(const std::string& line);
    void Wake();
    // Serves the ends of calls until `underWay` is false or the shutdown wait has passed.
    void WaitForCalls(const std::function<bool()>& underWay);
    bool AnyCallUnderWay() const;

    // Listeners and authentication (rpc_listeners.cpp).
    void Accept(int listenFd, bool tcp);
    void ContinueHandshake(int id);
    void LogRefusal(Connection& c, const std::string& why);

    // Connection I/O (rpc_connection.cpp).
    void ServeReadable(int id);
    void Resume(int id);
    // Serves the complete request lines of the connection until one starts a call that goes
    // on elsewhere; false when the connection is to be dropped.
    bool ServeLines(Connection& c);
    void Flush(Connection& c);
    void CloseConnection(int id);
    size_t TotalOutput() const;

    // Dispatch (rpc_dispatch.cpp): one request line, and the table of its methods.
    struct Request;
    std::string HandleLine(Connection& c, std::string_view line, bool* close);
    Json Dispatch(Request& r, const std::string& method);
    Json Refuse(Request& r, const char* why);
    bool FindObject(Request& r);
    Json Authenticate(Request& r);
    Json CreateInstance(Request& r);
    Json ReleaseObject(Request& r);
    Json DescribeObject(Request& r);
    Json NamesToIds(Request& r);
    Json InvokeMember(Request& r);
    static const MemberDesc* FindMember(Request& r);
    static bool InvokeArgs(Request& r, const MemberDesc& member, InvokeKind* kind,
                           std::vector<VARIANT>* values);
    Json InvokeLater(Request& r, IAsyncDispatch* async, const MemberDesc& member, InvokeKind kind,
                     std::vector<VARIANT> args);
    Json InvokeResult(IDispatch* obj, const char* member, HRESULT hr, const VARIANT& result,
                      HRESULT* error, std::string* message);

    // The ends of calls that went on elsewhere (rpc_dispatch.cpp).
    struct Completion {
        int connection;
        HRESULT hr;
        VARIANT result;
    };
    void PostCompletion(Completion done, bool wake);
    std::optional<Completion> TakeCompletion(int connection);
    void DrainCompletions();

    // The session bridge (rpc_sessions.cpp).
    void TakeSessionPosts();
    void ServeSession(Connection& c);
    void FinishSessionLine(Connection& c, std::string reply);

    struct SessionPost {
        std::string session;
        std::string line;
        ReplyDone done;  // empty: close the session
    };
    std::mutex m_postMutex;
    std::deque<SessionPost> m_posts;
    std::map<std::string, int> m_sessions;  // session name -> connection id (loop thread)

    std::function<void(const std::string&)> m_log;
    std::string m_runtimeDir;
    std::string m_socketPath;
    int m_localFd = -1;
    bool m_adopted = false;  // m_localFd came from AdoptLocal
    int m_tcpFd = -1;
    int m_tcpPort = 0;
    bool m_tcpClearOffLoopback = false;
    std::shared_ptr<CTlsServerCredentials> m_tlsCredentials;
    std::chrono::milliseconds m_preAuthTimeout{10000};
    std::string m_token;
    std::vector<ClassFactory> m_classes;
    std::map<int, std::unique_ptr<Connection>> m_connections;
    int m_nextConnection = 1;
    std::function<int()> m_timer;

    CAuthBackoff m_failures;  // of TCP peers
    std::chrono::steady_clock::time_point m_acceptPausedUntil;
    std::chrono::steady_clock::time_point m_lastAcceptComplaint;

    bool m_ending = false;  // the destructor runs: no new request is served
    int m_wakeFd = -1;      // eventfd: a call has ended on another thread
    std::mutex m_doneMutex;
    std::deque<Completion> m_done;
};

struct CRpcServer::Connection {
    int id = 0;
    int fd = -1;
    bool tcp = false;
    std::string peer;     // "address:port" of a TCP client
    std::string peerKey;  // what the back-off knows it by (CAuthBackoff::PeerKey)
    bool authenticated = false;
    std::chrono::steady_clock::time_point authDeadline;  // TCP, until authenticated
    // A TLS listener's connection: its session, and whether its handshake has ended. Nothing
    // but the handshake is read or written before.
    std::unique_ptr<CTlsSession> tls;
    bool handshaken = false;
    bool busy = false;     // a call of this connection is under way
    bool closing = false;  // close once the call under way has ended
    bool discarding = false;
    std::string in;
    std::string out;
    std::map<int, IDispatch*> objects;
    int nextObject = 1;
    // The call under way: its request's id, the object (one reference held) and member.
    struct Call {
        Json id;
        bool notification = false;
        IDispatch* obj = nullptr;
        IAsyncDispatch* async = nullptr;
        const char* member = "";
    };
    Call call;
    // A session's connection (no socket): its queued lines and the one being served.
    std::string session;
    std::deque<std::pair<std::string, ReplyDone>> lines;
    ReplyDone serving;
};

// One request line being served: its connection and parameters, and how its method ends it.
struct CRpcServer::Request {
    Request(Connection& connection, const Json& parameters) : c(connection), params(parameters) {}

    Connection& c;
    const Json& params;
    bool close = false;    // the connection is dropped after the reply
    bool pending = false;  // the call goes on elsewhere: answered when it has ended
    HRESULT error = S_OK;
    std::string message;
    // The object of the connection the request acts on, for the methods on one.
    int handle = 0;
    IDispatch* obj = nullptr;
    const ITypeInfo* info = nullptr;

    Json Fail(HRESULT hr, const std::string& text) {
        error = hr;
        message = HResultName(hr) + ": " + text;
        return Json();
    }
};

}  // namespace vsk
