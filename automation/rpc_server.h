// The server side of the automation runtime: class objects registered by CLSID, a Unix stream
// socket per server process (and an opt-in TCP listener), JSON-RPC requests served one at a
// time on the thread that runs the loop.
//
// Threading: every member runs on one thread, the one that calls RunOnce (the single-threaded
// apartment). A call that runs a nested loop (a modal message box of the engine) may call
// RunOnce again; the connection whose request is running is not served until it returns.
// The loop is a plain poll(); a GUI event loop can drive it by watching Fds() and calling
// RunOnce(0) when one becomes ready.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "automation/com_types.h"
#include "automation/json.h"

namespace vsk {

struct ClassFactory {
    CLSID clsid;
    std::vector<std::string> progIds;  // compared without letter case
    // Single use: revoked after its first creation, so the next client starts a new server.
    bool singleUse = false;
    // Creates one object with one reference for the caller.
    std::function<HRESULT(IDispatch** ppObj)> create;
};

class CRpcServer {
public:
    explicit CRpcServer(std::string runtimeDir);
    ~CRpcServer();  // closes every connection (releasing its objects) and revokes every class
    CRpcServer(const CRpcServer&) = delete;
    CRpcServer& operator=(const CRpcServer&) = delete;

    // Listens on <runtimeDir>/server-<pid>.sock (0600) in a private runtime folder.
    bool ListenLocal(std::string* error);
    // HOST:PORT ("127.0.0.1:0" picks a free port); every connection must authenticate first
    // with the token of tokenFile (created when absent).
    bool ListenTcp(const std::string& hostPort, const std::string& tokenFile, std::string* error);
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

    struct Connection;

private:
    void Accept(int listenFd, bool tcp);
    void Log(const std::string& line);
    void ServeReadable(int id);
    void Flush(Connection& c);
    void CloseConnection(int id);
    std::string HandleLine(Connection& c, std::string_view line, bool* close);
    Json Dispatch(Connection& c, const std::string& method, const Json& params, bool* close,
                  HRESULT* error, std::string* message);

    std::function<void(const std::string&)> m_log;
    std::string m_runtimeDir;
    std::string m_socketPath;
    int m_localFd = -1;
    int m_tcpFd = -1;
    int m_tcpPort = 0;
    std::string m_token;
    std::vector<ClassFactory> m_classes;
    std::map<int, std::unique_ptr<Connection>> m_connections;
    int m_nextConnection = 1;
};

struct CRpcServer::Connection {
    int fd = -1;
    bool tcp = false;
    std::string peer;  // "address:port" of a TCP client
    bool authenticated = false;
    bool busy = false;     // a request of this connection is running
    bool closing = false;  // close once the running request returns
    bool discarding = false;
    std::string in;
    std::string out;
    std::map<int, IDispatch*> objects;
    int nextObject = 1;
};

}  // namespace vsk
