#include "server/server_app.h"

#include <signal.h>
#include <strings.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>

#include "link/settings.h"
#include "platform/log.h"
#include "platform/registry.h"
#include "rpc/module.h"
#include "rpc/rpc_server.h"
#include "rpc/runtime_paths.h"
#include "rpc/type_library.h"
#include "server/client_object.h"
#include "server/command_line.h"
#include "server/instance_lock.h"
#include "server/port_registry.h"
#include "server/registration.h"
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

int RunServerProcess(const std::vector<std::string>& args) {
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

    bool stop = false;
    bool userInControl = cl.userInControl;
    {
        // Declared first, destroyed last: the client objects the server still holds release
        // their ports into it when the server closes their connections.
        CVSKPortManager ports;
        CRpcServer server(AutomationRuntimeDir());
        std::string error;
        server.SetLog([](const std::string& line) { LogLine(LogPriority::Warning, line); });
        if (!(activatedFd >= 0 ? server.AdoptLocal(activatedFd, &error)
                               : server.ListenLocal(&error))) {
            LogLine(LogPriority::Error, error);
            return 1;
        }
        const std::string tokenFile = cl.tokenFile.empty() ? DefaultTokenFile() : cl.tokenFile;
        const bool tokenExisted = access(tokenFile.c_str(), F_OK) == 0;
        if (!cl.listen.empty() && !server.ListenTcp(cl.listen, tokenFile, &error)) {
            LogLine(LogPriority::Error, error);
            return 1;
        }
        ClassFactory veskar;
        veskar.clsid = typelib::CLSID_Veskar;
        veskar.progIds = {typelib::kVeskarProgId, typelib::kVeskarVersionIndependentProgId};
        veskar.create = [&ports](IDispatch** pp) { return CVeskar::CreateInstance(ports, pp); };
        if (!server.RegisterClassObject(std::move(veskar), &error)) {
            LogLine(LogPriority::Error, error);
            return 1;
        }
        instanceLock.Describe(server.SocketPath());
        CServiceNotifier notifier;
        notifier.Ready(AnnounceListeners(server, cl.listen, tokenExisted ? "" : tokenFile));
        // A server the automation runtime started ends with its last object.
        TheModule().SetOnLastUnlock([&] {
            if (userInControl)
                return;
            userInControl = true;
            stop = true;
        });
        // LockPrinter's waits end on time through the loop's timer.
        // The watchdog's keep-alive rides on the same timer.
        server.SetTimer(
            [&ports, &notifier] { return SoonerOf(ports.ExpireLockWaits(), notifier.Tick()); });
        // A server started for a client that never came (it gave up waiting) would otherwise
        // wait forever: it ends when no object was created within its first minute.
        const auto started = std::chrono::steady_clock::now();
        bool everCreated = false;
        while (!stop) {
            bool waitingForFirst = cl.startedByAutomation && !everCreated;
            server.RunOnce(waitingForFirst ? 1000 : -1, signalFd);
            everCreated = everCreated || TheModule().LockCount() > 0;
            if (waitingForFirst && !everCreated &&
                std::chrono::steady_clock::now() - started > std::chrono::seconds(60))
                stop = true;
            signalfd_siginfo info;
            if (read(signalFd, &info, sizeof info) == ssize_t(sizeof info)) {
                stop = true;
                // Whatever is waiting ends soon: register waits are cut short (their calls
                // answer failures), the closings that follow cancel what is open.
                ports.InterruptEngines(kShutdownWaitCapMs);
            }
        }
        TheModule().SetOnLastUnlock({});
        notifier.Stopping();
    }
    close(signalFd);
    return 0;
}

}  // namespace vsk
