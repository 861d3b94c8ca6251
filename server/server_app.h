// CVSKManagerApp: the server process. Parses the command line (registration switches end the
// process after registering), registers the Veskar class object, creates the port registry and
// runs the automation loop until the operator ends it (SIGTERM/SIGINT) or, when the automation
// runtime started it (-Embedding), until the last automation object is released.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace vsk {

class CRpcServer;

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
        ShowConfig
    };
    Action action = Action::Run;
    bool startedByAutomation = false;  // Embedding or Automation
    bool userInControl = true;         // false for Embedding, Automation and "dde"
    bool headless = false;
    std::string listen;     // HOST:PORT of the opt-in TCP listener
    std::string tokenFile;  // empty: the default token file
    int port = 0;           // --set-port / --unset-port
    std::string devicePath;
    std::string configName;  // --config NAME [VALUE]: one of the four per-user settings
    uint32_t configValue = 0;
    // One server per user serves the multiple-use class; see server/instance_lock.h.
    bool instanceLock = true;
    std::string error;  // set when the command line cannot be used
};

// Defined in server/command_line.cpp, with what the switches that start no server do.
ServerCommandLine ParseServerCommandLine(const std::vector<std::string>& args);

// The whole process after main(): returns the exit status.
int RunServerProcess(const std::vector<std::string>& args);

}  // namespace vsk
