// CVSKManagerApp: the server process. Parses the command line (registration switches end the
// process after registering), registers the Veskar class object (and, when started by the
// automation runtime, the single-use class of VSKManager.Application), creates the port registry
// and runs the automation loop until the operator ends it (SIGTERM/SIGINT, or the operator window)
// or, when the automation runtime started it (-Embedding), until the last automation object is
// released. The loop is either the headless one here or the operator window's event loop, which
// drives the same CServerSession.
#pragma once

#include <poll.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "http/http_front.h"
#include "ledger/ledger.h"
#include "rpc/rpc_server.h"
#include "server/port_registry.h"
#include "server/receipt_desk.h"
#include "server/register_detection.h"
#include "server/systemd.h"

namespace vsk {

class IOperatorUi;
class IProxyHost;

struct ServerCommandLine {
    enum class Action {
        Run,
        Register,
        Unregister,
        SetPort,
        UnsetPort,
        ListPorts,
        SetConfig,
        Help,
        Version,
        ShowConfig,
        ListConfig,
        MakeCert,
        Detect
    };
    Action action = Action::Run;
    bool startedByAutomation = false;  // Embedding or Automation
    bool userInControl = true;         // false for Embedding, Automation and "dde"
    bool headless = false;
    std::string listen;     // HOST:PORT of the opt-in TCP listener
    std::string tokenFile;  // empty: the default token file
    // HOST:PORT of the opt-in HTTP listener; empty: the setting HttpListen (a string), if any.
    std::string http;
    std::vector<std::string> httpOrigins;  // and the setting HttpOrigins (comma-separated)
    std::vector<std::string> httpHosts;    // and the setting HttpHosts (comma-separated)
    std::string ledger;                    // empty: the default ledger file
    // TLS for the HTTP API and the TCP listener: the certificate and key (PEM files); plain
    // HTTP or TCP off the loopback only with --insecure.
    std::string tlsCert, tlsKey;
    bool insecure = false;
    int port = 0;  // --set-port / --unset-port
    std::string devicePath;
    std::string configName;   // --config NAME [VALUE]: a row of link/settings.def
    std::string configValue;  // checked against the row's kind; empty: remove the value
    std::vector<std::string> detectDevices;  // --detect DEVICE...: none, every device present
    bool detectMap = false;                  // --detect --map
    // One server per user serves the multiple-use class; see server/instance_lock.h.
    bool instanceLock = true;
    std::string error;  // set when the command line cannot be used
    // Filled by the start-up, not the command line: the listening socket systemd handed over
    // (-1: none), and who is told the socket once the server listens (the instance lock).
    int activatedFd = -1;
    std::function<void(const std::string& socketPath)> onListening;
};

// Defined in server/command_line.cpp, with what the switches that start no server do.
ServerCommandLine ParseServerCommandLine(const std::vector<std::string>& args);

// The running server: the port registry, the automation loop with the Veskar class object, and
// the rule of when the process ends. Every member runs on the loop's thread.
class CServerSession {
public:
    // `signalFd` ends the server when readable (-1: none); `ui` is the operator every engine
    // asks (null: the headless one). Both must outlive the session.
    CServerSession(const ServerCommandLine& cl, int signalFd, IOperatorUi* ui);
    ~CServerSession();
    CServerSession(const CServerSession&) = delete;
    CServerSession& operator=(const CServerSession&) = delete;

    bool Start(std::string* error);
    // Serves what is ready, waiting at most timeoutMs (-1: no limit).
    void RunOnce(int timeoutMs);
    // How long RunOnce may wait when nothing else is due (-1: no limit).
    int WaitMs() const;
    // For another event loop: what RunOnce would wait on (the signal descriptor included) and
    // the milliseconds until it wants to run anyway (-1: no limit).
    int WatchSet(std::vector<pollfd>* watch);
    bool Ended() const { return m_stop; }
    // The server is to end: the loop stops and every register wait is cut short.
    void Stop();

    // Asked when the last automation object of a server the automation runtime started goes:
    // false keeps the process running (an operator's modal window is open), and the operator
    // is in control from then on.
    void SetMayEnd(std::function<bool()> mayEnd) { m_mayEnd = std::move(mayEnd); }
    // The operator window the VSKManager.Application proxies link to (set before Start).
    void SetProxyHost(IProxyHost* host) { m_proxyHost = host; }
    bool StartedByAutomation() const { return m_cl.startedByAutomation; }
    bool UserInControl() const { return m_userInControl; }
    CVSKPortManager& Ports() { return m_ports; }
    CRpcServer& Server() { return m_server; }
    CLedger& Ledger() { return m_ledger; }
    int HttpPort() const { return m_http ? m_http->Port() : 0; }

private:
    bool StartTcp(const std::string& tokenFile, std::string* error);
    void OpenLedger();
    bool StartHttp(const std::string& tokenFile, std::string* error);
    // The Veskar class, or (in a server started for one proxy object) VSKManager.Application.
    bool RegisterClasses(bool singleUseOnly, std::string* error);
    // The register's last receipt number on `port`, asked now on the port's worker, as JSON.
    std::string LastReceiptJson(int port);

    ServerCommandLine m_cl;
    int m_signalFd;
    // Also set from whichever thread releases the last object (the receipt desk's too).
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_userInControl;
    bool m_everCreated = false;
    std::function<bool()> m_mayEnd;
    IOperatorUi* m_ui;
    IProxyHost* m_proxyHost = nullptr;
    // Without a window the proxy's messages go to the standard error.
    std::unique_ptr<IOperatorUi> m_headlessUi;
    // Every receipt the ports' recorders follow, and the HTTP front's idempotency keys. Declared
    // before the ports: a port that closes last still ends its open receipt's row in it.
    CLedger m_ledger;
    // Destroyed after everything that holds client objects: they release their ports into it
    // when the server closes their connections.
    CVSKPortManager m_ports;
    CRpcServer m_server;
    // Stopped before the loop ends: its requests wait on the loop.
    // Declared before the HTTP front, so that it outlives the front's last request.
    std::unique_ptr<CReceiptDesk> m_desk;
    CPortDetector m_detector;  // GET /v1/ports/detect
    std::unique_ptr<CHttpFront> m_http;
    CServiceNotifier m_notifier;
    std::chrono::steady_clock::time_point m_started;
};

// The operator window's loop: runs a session of its own until it ends; the exit status.
using WindowedServer = std::function<int(const ServerCommandLine& cl, int signalFd)>;

// The whole process after main(): returns the exit status. Without `windowed`, with
// --headless, or without a display the server runs headless.
int RunServerProcess(const std::vector<std::string>& args, const WindowedServer& windowed = {});
int RunHeadless(const ServerCommandLine& cl, int signalFd);

}  // namespace vsk
