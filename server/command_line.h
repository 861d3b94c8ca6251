// The server's command line: the registration switches in their Windows spellings
// (/Regserver, -Embedding, …, any letter case, either prefix), then the options of
// platform/command_line.h. A command line that cannot be used starts nothing and writes nothing.
#pragma once

#include <string>

#include "platform/registry.h"
#include "server/server_app.h"

namespace vsk {

std::string ServerUsage();

// Does what a switch that starts no server asks (help, registration, ports, settings); the
// exit status, or -1 when the server is to start.
int RunCommandLineAction(const ServerCommandLine& cl, RegistryStore& reg,
                         const std::string& modulePath);

}  // namespace vsk
