#include "server/server_app.h"

#include <signal.h>
#include <strings.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>

#include "engine/operator_ui.h"
#include "engine/vsk_core.h"
#include "link/settings.h"
#include "platform/log.h"
#include "platform/registry.h"
#include "rpc/host_port.h"
#include "rpc/module.h"
#include "rpc/rpc_server.h"
#include "rpc/runtime_paths.h"
#include "rpc/type_library.h"
#include "server/client_object.h"
#include "server/command_line.h"
#include "server/instance_lock.h"
#include "server/manager_proxy.h"
#include "server/port_registry.h"
#include "server/registration.h"
#include "server/status_report.h"
#include "server/systemd.h"

namespace vsk {

namespace {

// On SIGTERM every register wait of the server lasts at most this long, so that the server
// ends within a few seconds whatever it was waiting for.
constexpr uint32_t kShutdownWaitCapMs = 300;

// Every connection costs a descriptor: take all the user may have.
void RaiseDescriptorLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

std::string ModulePath() {
    std::error_code ec;
    auto path = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : path.string();
}

}  // namespace

int RunServerProcess(const std::vector<std::string>& args, const WindowedServer& windowed) {
    ServerCommandLine cl = ParseServerCommandLine(args);
    if (!cl.error.empty()) {
        std::fprintf(stderr, "vskmanager: %s\n%s", cl.error.c_str(), ServerUsage().c_str());
        return 2;
    }
    RegistryStore reg;
    if (int status = RunCommandLineAction(cl, reg, ModulePath()); status >= 0)
        return status;
    CInstanceLock instanceLock;
    if (cl.instanceLock && !TakeInstanceLock(instanceLock, AutomationRuntimeDir()))
        return 1;
    std::string activationError;
    const int activatedFd = TakeActivatedSocket(&activationError);
    if (!activationError.empty()) {
        LogLine(LogPriority::Error, activationError);
        return 1;
    }
    if (activatedFd >= 0) {  // a client's connection started it: it ends as -Embedding does
        cl.startedByAutomation = true;
        cl.userInControl = false;
    }
    cl.activatedFd = activatedFd;
    cl.onListening = [&instanceLock](const std::string& socketPath) {
        instanceLock.Describe(socketPath);
    };
    // A server started by the operator refreshes its registration at every start; a failure
    // here is not reported, as with the registration switches' own failures.
    if (!cl.startedByAutomation)
        RegisterServer(reg, ModulePath());

    // SIGTERM and SIGINT end the loop through a descriptor it watches.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    sigprocmask(SIG_BLOCK, &signals, nullptr);
    int signalFd = signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK);
    signal(SIGPIPE, SIG_IGN);
    RaiseDescriptorLimit();

    int status = 0;
    if (!windowed || cl.headless) {
        status = RunHeadless(cl, signalFd);
    } else if (!std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY")) {
        LogLine(LogPriority::Notice,
                "no display (DISPLAY and WAYLAND_DISPLAY unset): running headless");
        status = RunHeadless(cl, signalFd);
    } else {
        status = windowed(cl, signalFd);
    }
    close(signalFd);
    return status;
}

int RunHeadless(const ServerCommandLine& cl, int signalFd) {
    CServerSession session(cl, signalFd, nullptr);
    std::string error;
    if (!session.Start(&error)) {
        LogLine(LogPriority::Error, error);
        return 1;
    }
    while (!session.Ended())
        session.RunOnce(session.WaitMs());
    return 0;
}

CServerSession::CServerSession(const ServerCommandLine& cl, int signalFd, IOperatorUi* ui)
    : m_cl(cl),
      m_signalFd(signalFd),
      m_userInControl(cl.userInControl),
      m_ui(ui),
      m_ports(ui ? EngineFactory([ui](int32_t port, IClock& clock) {
          return std::make_unique<CVSKCore>(port, &clock, ui);
      })
                 : EngineFactory()),
      m_server(AutomationRuntimeDir()),
      m_started(std::chrono::steady_clock::now()) {}

CServerSession::~CServerSession() {
    if (m_http)
        m_http->Stop();
    TheModule().SetOnLastUnlock({});
    m_notifier.Stopping();
}

bool CServerSession::Start(std::string* error) {
    m_server.SetLog([](const std::string& line) { LogLine(LogPriority::Warning, line); });
    if (!(m_cl.activatedFd >= 0 ? m_server.AdoptLocal(m_cl.activatedFd, error)
                                : m_server.ListenLocal(error)))
        return false;
    const std::string tokenFile = m_cl.tokenFile.empty() ? DefaultTokenFile() : m_cl.tokenFile;
    const bool tokenExisted = access(tokenFile.c_str(), F_OK) == 0;
    // The settings stand in for the options not given; a server for one proxy object listens
    // on nothing but its socket.
    if (!(m_cl.startedByAutomation && !m_cl.instanceLock)) {
        if (m_cl.listen.empty())
            m_cl.listen = TextSetting(Setting::TcpListen);
        if (m_cl.tlsCert.empty() && m_cl.tlsKey.empty()) {
            m_cl.tlsCert = TextSetting(Setting::TlsCert);
            m_cl.tlsKey = TextSetting(Setting::TlsKey);
        }
    }
    if (!m_cl.listen.empty() && !StartTcp(tokenFile, error))
        return false;
    // The ledger is the user's server's: a server for one proxy object opens no receipts.
    const bool singleUseOnly = m_cl.startedByAutomation && !m_cl.instanceLock;
    if (!singleUseOnly)
        OpenLedger();
    if (!StartHttp(tokenFile, error) || !RegisterClasses(singleUseOnly, error))
        return false;
    // A server the automation runtime started ends with its last object, unless the operator
    // is busy in a window of its own: then the operator is in control from now on.
    TheModule().SetOnLastUnlock([this] {
        if (m_userInControl)
            return;
        m_userInControl = true;
        if (m_mayEnd && !m_mayEnd())
            return;
        m_stop = true;
    });
    if (m_cl.onListening)
        m_cl.onListening(m_server.SocketPath());
    m_notifier.Ready(AnnounceListeners(m_server, m_cl.listen, tokenExisted ? "" : tokenFile));
    // LockPrinter's waits end on time through the loop's timer; the watchdog's keep-alive
    // rides on the same timer.
    m_server.SetTimer([this] { return SoonerOf(m_ports.ExpireLockWaits(), m_notifier.Tick()); });
    return true;
}

bool CServerSession::StartTcp(const std::string& tokenFile, std::string* error) {
    TcpListenOptions tcp;
    tcp.certFile = m_cl.tlsCert;
    tcp.keyFile = m_cl.tlsKey;
    tcp.insecure = m_cl.insecure;
    if (!m_server.ListenTcp(m_cl.listen, tokenFile, error, tcp))
        return false;
    if (m_server.TcpInClearOffLoopback())
        LogLine(LogPriority::Warning,
                "the TCP listener on " + m_cl.listen +
                    " speaks plain TCP off the loopback (--insecure): the token and every "
                    "call cross the network in clear text");
    else if (m_server.TcpUsesTls())
        LogLine(LogPriority::Info,
                "the TCP listener speaks TLS; its certificate's SHA-256 "
                "fingerprint is " +
                    m_server.TcpFingerprint());
    return true;
}

void CServerSession::OpenLedger() {
    std::string report;
    const std::string ledgerPath = m_cl.ledger.empty() ? CLedger::DefaultPath() : m_cl.ledger;
    // Every write the ledger could not make is said: a key or a row that is not on the disk is
    // a promise the server cannot keep.
    m_ledger.SetReporter([](const std::string& line) { LogLine(LogPriority::Error, line); });
    const bool opened = m_ledger.Open(ledgerPath, &report);
    if (!report.empty())
        LogLine(opened ? LogPriority::Warning : LogPriority::Error, report);
    if (int cut = m_ledger.RecoverAfterCrash(); cut > 0)
        LogLine(LogPriority::Warning,
                std::to_string(cut) +
                    " receipt(s) of the ledger were open or closing when the server last "
                    "ended; each port's first binding settles them by the register's last "
                    "receipt number");
}

bool CServerSession::RegisterClasses(bool singleUseOnly, std::string* error) {
    // A server started for one VSKManager.Application object holds no instance lock: it must
    // not take the Veskar class over from the user's server (its proxy is a client of that).
    if (!singleUseOnly) {
        ClassFactory veskar;
        veskar.clsid = typelib::CLSID_Veskar;
        veskar.progIds = {typelib::kVeskarProgId, typelib::kVeskarVersionIndependentProgId};
        veskar.create = [this](IDispatch** pp) {
            return CVeskar::CreateInstance(m_ports, pp, &m_ledger);
        };
        return m_server.RegisterClassObject(std::move(veskar), error);
    }
    // VSKManager.Application only in a server the automation runtime started for it, and for
    // one object: the next creation starts a server process of its own. (A server started for
    // the Veskar class does not offer it: the next proxy would share that server's life.)
    if (!m_ui)
        m_headlessUi = std::make_unique<HeadlessOperatorUi>();
    ClassFactory manager;
    manager.clsid = typelib::CLSID_VSKManager;
    manager.progIds = {typelib::kManagerProgId};
    manager.singleUse = true;
    manager.create = [this](IDispatch** pp) {
        CVSKManagerDlgAutoProxy::Links links;
        links.ui = m_ui ? m_ui : m_headlessUi.get();
        links.window = m_proxyHost;
        return CVSKManagerDlgAutoProxy::CreateInstance(std::move(links), pp);
    };
    return m_server.RegisterClassObject(std::move(manager), error);
}

std::string CServerSession::LastReceiptJson(int port) {
    // Shared with the worker, which may come to it after this answer has given up.
    auto json = std::make_shared<std::string>();
    const bool answered = m_ports.AskEngine(
        port,
        [json](CVSKCore* core) {
            if (!core) {
                *json = R"({"number":null,"reason":"the port is not open"})";
                return;
            }
            const std::optional<int64_t> number = core->ReadLastReceiptNumber();
            *json = number ? "{\"number\":" + std::to_string(*number) + "}"
                           : R"({"number":null,"reason":"the register did not tell its last )"
                             R"(receipt number"})";
        },
        std::chrono::seconds(30));
    if (!answered)
        return R"({"number":null,"reason":"the port's worker did not come to it within 30 s, )"
               R"(or no thread could be had for the port"})";
    return *json;
}

bool CServerSession::StartHttp(const std::string& tokenFile, std::string* error) {
    HttpOptions options;
    options.listen = m_cl.http.empty() ? TextSetting(Setting::HttpListen) : m_cl.http;
    if (options.listen.empty() || (m_cl.startedByAutomation && !m_cl.instanceLock))
        return true;
    // The command line's, then the setting's (comma-separated).
    auto list = [&](const std::vector<std::string>& given, Setting setting) {
        std::vector<std::string> items = given;
        const std::string text = TextSetting(setting);
        for (size_t at = 0; at < text.size();) {
            size_t end = text.find(',', at);
            if (end == std::string::npos)
                end = text.size();
            std::string item = text.substr(at, end - at);
            item.erase(0, item.find_first_not_of(' '));
            item.erase(item.find_last_not_of(' ') + 1);
            if (!item.empty())
                items.push_back(item);
            at = end + 1;
        }
        return items;
    };
    options.origins = list(m_cl.httpOrigins, Setting::HttpOrigins);
    options.hosts = list(m_cl.httpHosts, Setting::HttpHosts);
    // Seconds a JSON-RPC session, or a port a whole receipt bound, is kept unused.
    const SettingSpec& idleSpec = SpecOf(Setting::HttpSessionIdle);
    const std::string idle = TextSetting(Setting::HttpSessionIdle);
    if (std::string why = CheckSettingValue(idleSpec, idle); !why.empty()) {
        *error = why;
        return false;
    }
    options.sessionIdle = std::chrono::seconds(std::strtol(idle.c_str(), nullptr, 10));
    auto token = LoadOrCreateTokenFile(tokenFile, error);
    if (!token)
        return false;
    options.token = *token;
    options.insecure = m_cl.insecure;
    if (!m_cl.tlsCert.empty()) {
        auto readAll = [](const std::string& path) {
            std::ifstream in(path, std::ios::binary);
            return std::string(std::istreambuf_iterator<char>(in), {});
        };
        options.tlsCert = readAll(m_cl.tlsCert);
        options.tlsKey = readAll(m_cl.tlsKey);
        if (options.tlsCert.empty() || options.tlsKey.empty()) {
            *error = "cannot read " + m_cl.tlsCert + " or " + m_cl.tlsKey;
            return false;
        }
    }
    options.health = [this](bool* healthy) { return HealthJson(m_ports, m_ledger, healthy); };
    options.lastReceipt = [this](int port) { return LastReceiptJson(port); };
    options.metrics = [this] { return MetricsText(m_ports); };
    options.status = [this] { return StatusJson(m_ports, m_ledger); };
    m_desk = std::make_unique<CReceiptDesk>(m_ports, &m_ledger);
    options.desk = m_desk.get();
    options.detector = &m_detector;
    m_http = std::make_unique<CHttpFront>(m_server, m_ledger);
    if (!m_http->Start(options, error)) {
        m_http.reset();
        return false;
    }
    LogLine(LogPriority::Info, std::string("HTTP API on ") +
                                   (options.tlsCert.empty() ? "http://" : "https://") +
                                   WithPort(options.listen, m_http->Port()));
    return true;
}

int CServerSession::WaitMs() const {
    return m_cl.startedByAutomation && !m_everCreated ? 1000 : -1;
}

void CServerSession::RunOnce(int timeoutMs) {
    bool waitingForFirst = m_cl.startedByAutomation && !m_everCreated;
    m_server.RunOnce(timeoutMs, m_signalFd);
    m_everCreated = m_everCreated || TheModule().LockCount() > 0;
    // A server started for a client that never came (it gave up waiting) would otherwise
    // wait forever: it ends when no object was created within its first minute.
    if (waitingForFirst && !m_everCreated &&
        std::chrono::steady_clock::now() - m_started > std::chrono::seconds(60))
        m_stop = true;
    signalfd_siginfo info;
    if (m_signalFd >= 0 && read(m_signalFd, &info, sizeof info) == ssize_t(sizeof info))
        Stop();
}

int CServerSession::WatchSet(std::vector<pollfd>* watch) {
    int timeoutMs = m_server.WatchSet(watch);
    if (m_signalFd >= 0)
        watch->push_back({m_signalFd, POLLIN, 0});
    int wait = WaitMs();
    if (wait >= 0 && (timeoutMs < 0 || wait < timeoutMs))
        timeoutMs = wait;
    return timeoutMs;
}

void CServerSession::Stop() {
    m_stop = true;
    // Whatever is waiting ends soon: register waits are cut short (their calls answer
    // failures), the closings that follow cancel what is open.
    m_ports.InterruptEngines(kShutdownWaitCapMs);
}

}  // namespace vsk
