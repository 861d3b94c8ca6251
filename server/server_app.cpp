#include "server/server_app.h"

#include <signal.h>
#include <strings.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "engine/operator_ui.h"
#include "engine/vsk_core.h"
#include "link/settings.h"
#include "platform/registry.h"
#include "rpc/module.h"
#include "rpc/rpc_server.h"
#include "rpc/runtime_paths.h"
#include "rpc/type_library.h"
#include "server/client_object.h"
#include "server/manager_proxy.h"
#include "server/port_registry.h"
#include "server/registration.h"

namespace vsk {

namespace {

bool IsAnyOf(std::string_view name, std::initializer_list<const char*> names) {
    for (const char* n : names)
        if (EqualNoCase(name, n))
            return true;
    return false;
}

const char* kUsage =
    "usage: vskmanager [-Embedding | -Automation | /Regserver | /Unregserver]\n"
    "                  [--headless] [--listen HOST:PORT] [--token-file PATH]\n"
    "       vskmanager --set-port COMn=DEVICE | --unset-port COMn | --list-ports\n"
    "       vskmanager --config SaveToLog|KeepLogFiles|ShowSystemTrayIcon|BaudRate VALUE\n";

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

ServerCommandLine ParseServerCommandLine(const std::vector<std::string>& args) {
    ServerCommandLine cl;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](const char* what) -> std::string {
            if (i + 1 >= args.size()) {
                cl.error = std::string(a) + " needs " + what;
                return {};
            }
            return args[++i];
        };
        if (a.rfind("--", 0) == 0) {
            if (a == "--headless") {
                cl.headless = true;
            } else if (a == "--listen") {
                cl.listen = value("HOST:PORT");
            } else if (a == "--token-file") {
                cl.tokenFile = value("a path");
            } else if (a == "--set-port" || a == "--unset-port") {
                cl.action = a == "--set-port" ? ServerCommandLine::Action::SetPort
                                              : ServerCommandLine::Action::UnsetPort;
                // "N DEVICE", or the port's own name: "COMn=DEVICE" and "COMn".
                std::string n = value("a port number");
                std::string device;
                bool joined = false;
                if (size_t eq = n.find('='); eq != std::string::npos) {
                    device = n.substr(eq + 1);
                    n.resize(eq);
                    joined = true;
                }
                if (n.size() > 3 && strncasecmp(n.c_str(), "COM", 3) == 0)
                    n.erase(0, 3);
                char* end = nullptr;
                long port = std::strtol(n.c_str(), &end, 10);
                if (n.empty() || *end || port <= 0 || port > 255) {
                    if (cl.error.empty())
                        cl.error = "bad port number: " + n;
                } else {
                    cl.port = int(port);
                }
                if (a == "--set-port")
                    cl.devicePath = joined ? device : value("a device path");
                if (cl.action == ServerCommandLine::Action::SetPort && cl.devicePath.empty() &&
                    cl.error.empty())
                    cl.error = "--set-port needs a device path";
            } else if (a == "--config") {
                cl.action = ServerCommandLine::Action::SetConfig;
                cl.configName = value("a setting name");
                std::string v = value("a value");
                char* end = nullptr;
                unsigned long n = std::strtoul(v.c_str(), &end, 10);
                if (!IsAnyOf(cl.configName,
                             {kSaveToLog, kKeepLogFiles, kShowSystemTrayIcon, kBaudRate})) {
                    if (cl.error.empty())
                        cl.error = "unknown setting " + cl.configName;
                } else if (v.empty() || *end || n > UINT32_MAX) {
                    if (cl.error.empty())
                        cl.error = "bad value: " + v;
                } else {
                    cl.configValue = uint32_t(n);
                }
            } else if (a == "--list-ports") {
                cl.action = ServerCommandLine::Action::ListPorts;
            } else if (a == "--help") {
                cl.action = ServerCommandLine::Action::Help;
            } else {
                cl.error = "unknown option " + a;
            }
            continue;
        }
        if (a.empty() || (a[0] != '/' && a[0] != '-'))
            continue;  // not a switch
        std::string name = a.substr(1);
        if (IsAnyOf(name, {"Embedding", "Automation"})) {
            cl.startedByAutomation = true;
            cl.userInControl = false;
        } else if (IsAnyOf(name,
                           {"Regserver", "Register", "RegserverPerUser", "RegisterPerUser"})) {
            cl.action = ServerCommandLine::Action::Register;
        } else if (IsAnyOf(name, {"Unregserver", "Unregister", "UnregserverPerUser",
                                  "UnregisterPerUser"})) {
            cl.action = ServerCommandLine::Action::Unregister;
        } else if (name == "dde") {
            cl.userInControl = false;
        }
        // "p", "pt" and anything else: a normal start.
    }
    return cl;
}

int RunServerProcess(const std::vector<std::string>& args, const WindowedServer& windowed) {
    ServerCommandLine cl = ParseServerCommandLine(args);
    if (!cl.error.empty()) {
        std::fprintf(stderr, "vskmanager: %s\n%s", cl.error.c_str(), kUsage);
        return 2;
    }
    RegistryStore reg;
    switch (cl.action) {
        case ServerCommandLine::Action::Help:
            std::fputs(kUsage, stdout);
            return 0;
        case ServerCommandLine::Action::Register:
            return RegisterServer(reg, ModulePath()) ? 0 : 1;
        case ServerCommandLine::Action::Unregister:
            return UnregisterServer(reg) ? 0 : 1;
        case ServerCommandLine::Action::SetPort:
            return SetPortMapping(reg, cl.port, cl.devicePath) ? 0 : 1;
        case ServerCommandLine::Action::UnsetPort:
            return UnsetPortMapping(reg, cl.port) ? 0 : 1;
        case ServerCommandLine::Action::ListPorts:
            for (const auto& [port, path] : ListPortMappings(reg))
                std::printf("COM%d\t%s\n", port, path.c_str());
            return 0;
        case ServerCommandLine::Action::SetConfig:
            for (const char* known : {kSaveToLog, kKeepLogFiles, kShowSystemTrayIcon, kBaudRate})
                if (EqualNoCase(cl.configName, known))
                    return WriteConfigInt(kCurrentConfig, known, cl.configValue) ? 0 : 1;
            return 1;
        case ServerCommandLine::Action::Run:
            break;
    }
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
        std::fputs("vskmanager: no display (DISPLAY and WAYLAND_DISPLAY unset): running headless\n",
                   stderr);
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
        std::fprintf(stderr, "vskmanager: %s\n", error.c_str());
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
    TheModule().SetOnLastUnlock({});
}

bool CServerSession::Start(std::string* error) {
    if (!m_server.ListenLocal(error))
        return false;
    if (!m_cl.listen.empty() &&
        !m_server.ListenTcp(m_cl.listen,
                            m_cl.tokenFile.empty() ? DefaultTokenFile() : m_cl.tokenFile, error))
        return false;
    ClassFactory veskar;
    veskar.clsid = typelib::CLSID_Veskar;
    veskar.progIds = {typelib::kVeskarProgId, typelib::kVeskarVersionIndependentProgId};
    veskar.create = [this](IDispatch** pp) { return CVeskar::CreateInstance(m_ports, pp); };
    if (!m_server.RegisterClassObject(std::move(veskar), error))
        return false;
    // VSKManager.Application only in a server the automation runtime started, and for one
    // object: the next creation starts a server process of its own.
    if (m_cl.startedByAutomation) {
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
        if (!m_server.RegisterClassObject(std::move(manager), error))
            return false;
    }
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
    // LockPrinter's waits end on time through the loop's timer.
    m_server.SetTimer([this] { return m_ports.ExpireLockWaits(); });
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
