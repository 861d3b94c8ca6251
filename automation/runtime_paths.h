// Where the automation runtime of one user meets: the per-user runtime folder with the server
// sockets and the class files, and the token file of the TCP listener.
#pragma once

#include <optional>
#include <string>

#include "automation/com_types.h"

namespace vsk {

// ${XDG_RUNTIME_DIR:-/tmp/vskmanager-$UID}/vskmanager
std::string AutomationRuntimeDir();
// Creates the folder (and the /tmp parent) with mode 0700, refusing one that is a symbolic
// link, owned by another user or open to others (then *error says why).
bool EnsurePrivateDir(const std::string& dir, std::string* error);
// The class file of a CLSID: the folder + "/{XXXXXXXX-...}".
std::string ClassFilePath(const std::string& runtimeDir, const CLSID& clsid);
// The first KiB of a small file (a class file, a token); empty when it cannot be read.
std::string ReadSmallFile(const std::string& path);
// $VSK_TOKEN_FILE, else $XDG_CONFIG_HOME/vskmanager/tcp-token (or ~/.config/...).
std::string DefaultTokenFile();
// Reads a token file that only its owner may read; nothing when absent, empty or readable by
// others.
std::optional<std::string> ReadTokenFile(const std::string& path, std::string* error);
// Reads the token file, creating it (mode 0600, 32 random bytes as hex) when absent.
std::optional<std::string> LoadOrCreateTokenFile(const std::string& path, std::string* error);

}  // namespace vsk
