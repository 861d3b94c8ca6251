// Where the automation runtime of one user meets: the per-user runtime folder with the server
// sockets and the class files, and the token file of the TCP listener.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "rpc/com_types.h"

struct sockaddr;

namespace vsk {

// ${XDG_RUNTIME_DIR:-/tmp/vskmanager-$UID}/vskmanager
std::string AutomationRuntimeDir();
// /tmp/vskmanager-$UID: the parent the runtime makes for itself when XDG_RUNTIME_DIR is unset.
std::string FallbackRuntimeParent();
// Creates the folder (and the /tmp parent) with mode 0700, refusing one that is a symbolic
// link, owned by another user or open to others (then *error says why).
bool EnsurePrivateDir(const std::string& dir, std::string* error);

// What a client finds at a runtime folder before it believes a class file there. In a shared
// /tmp another user may have made the folder first and put in a class file naming their own
// socket.
enum class RuntimeDirTrust {
    Absent,   // no folder: no server has run
    Private,  // this user's real folder, mode 0700, in a parent others cannot rearrange
    Refused,  // anything else; *error says why
};
// The parent is held to the same rule when it is FallbackRuntimeParent(); another parent (the
// session's XDG_RUNTIME_DIR) only must not let other users rename entries in it.
RuntimeDirTrust CheckRuntimeDir(const std::string& dir, std::string* error);
// The socket a socket-activation unit listens on for the user's server
// (<runtime folder>/vskmanager.sock): clients try it when no class file names a server.
std::string ActivationSocketPath(const std::string& runtimeDir);
// The class file of a CLSID: the folder + "/{XXXXXXXX-...}".
std::string ClassFilePath(const std::string& runtimeDir, const CLSID& clsid);
// The first KiB of a small file (a class file, a token); empty when it cannot be read.
std::string ReadSmallFile(const std::string& path);
// $VSK_TOKEN_FILE, else $XDG_CONFIG_HOME/vskmanager/tcp-token (or ~/.config/...).
std::string DefaultTokenFile();
// Tokens shorter than this are refused: a guessable token opens the register to the network.
constexpr size_t kMinTokenLength = 32;
// Reads a token file that only its owner may read; nothing when absent, not a regular file
// (a symbolic link, a FIFO, a device), readable by others or holding a token shorter than
// kMinTokenLength.
std::optional<std::string> ReadTokenFile(const std::string& path, std::string* error);
// Reads the token file, creating it (mode 0600, 32 random bytes as hex) when absent.
std::optional<std::string> LoadOrCreateTokenFile(const std::string& path, std::string* error);
// Whether a peer's token is `expected` (never, when that is empty), in a time that does not
// depend on where the two first differ, so that timing tells a guesser nothing.
bool TokenMatches(std::string_view given, std::string_view expected);

// An address of this computer's loopback (127.0.0.0/8, ::1, or 127.x mapped into IPv6): the
// only place a token may travel outside TLS unless the user says otherwise.
bool IsLoopbackAddress(const sockaddr* addr);

}  // namespace vsk
