#include "rpc/runtime_paths.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/text.h"

namespace vsk {

namespace {

std::string EnvOr(const char* name, const std::string& fallback) {
    const char* v = std::getenv(name);
    return v && *v ? std::string(v) : fallback;
}

}  // namespace

std::string FallbackRuntimeParent() {
    return "/tmp/vskmanager-" + std::to_string(getuid());
}

std::string AutomationRuntimeDir() {
    return EnvOr("XDG_RUNTIME_DIR", FallbackRuntimeParent()) + "/vskmanager";
}

namespace {

bool Refuse(std::string* error, std::string why) {
    if (error)
        *error = std::move(why);
    return false;
}

std::string ModeText(mode_t mode) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%04o", unsigned(mode & 07777));
    return buf;
}

// A real folder (not a symbolic link) of this user; one open to others is refused, or made
// private when `tighten`.
bool IsOwnFolder(const std::string& dir, bool tighten, std::string* error) {
    struct stat st;
    if (lstat(dir.c_str(), &st) != 0)
        return Refuse(error, "cannot inspect " + dir + ": " + std::strerror(errno));
    if (S_ISLNK(st.st_mode))
        return Refuse(error, dir + " is a symbolic link");
    if (!S_ISDIR(st.st_mode))
        return Refuse(error, dir + " is not a folder");
    if (st.st_uid != geteuid())
        return Refuse(error, dir + " belongs to another user (uid " + std::to_string(st.st_uid) +
                                 ", this user is " + std::to_string(geteuid()) + ")");
    if ((st.st_mode & 077) == 0)
        return true;
    if (!tighten)
        return Refuse(error, dir + " is open to other users (mode " + ModeText(st.st_mode) +
                                 ", expected 0700)");
    if (chmod(dir.c_str(), 0700) != 0)
        return Refuse(error, "cannot make " + dir + " private: " + std::strerror(errno));
    return true;
}

// Whoever may rename entries in the parent could swap the folder for one of their own. The
// /tmp parent the runtime makes is held to the folder's own rule.
bool ParentIsSafe(const std::string& dir, bool tighten, std::string* error) {
    std::string parent = dir.substr(0, dir.find_last_of('/'));
    if (parent.empty())
        return true;
    if (parent == FallbackRuntimeParent())
        return IsOwnFolder(parent, tighten, error);
    struct stat up;
    if (lstat(parent.c_str(), &up) == 0 &&
        ((up.st_uid != geteuid() && up.st_uid != 0) ||
         ((up.st_mode & 022) != 0 && (up.st_mode & S_ISVTX) == 0)))
        return Refuse(error, parent + " may be changed by other users");
    return true;
}

}  // namespace

bool EnsurePrivateDir(const std::string& dir, std::string* error) {
    // Create each missing component privately; only the last two need to be ours.
    for (size_t pos = 1; pos != std::string::npos;) {
        pos = dir.find('/', pos + 1);
        std::string part = dir.substr(0, pos);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)
            return Refuse(error, "cannot create " + part + ": " + std::strerror(errno));
    }
    return ParentIsSafe(dir, true, error) && IsOwnFolder(dir, true, error);
}

RuntimeDirTrust CheckRuntimeDir(const std::string& dir, std::string* error) {
    struct stat st;
    if (lstat(dir.c_str(), &st) != 0 && errno == ENOENT)
        return RuntimeDirTrust::Absent;
    if (!IsOwnFolder(dir, false, error) || !ParentIsSafe(dir, false, error))
        return RuntimeDirTrust::Refused;
    return RuntimeDirTrust::Private;
}

std::string ActivationSocketPath(const std::string& runtimeDir) {
    return runtimeDir + "/vskmanager.sock";
}

std::string ClassFilePath(const std::string& runtimeDir, const CLSID& clsid) {
    return runtimeDir + "/" + GuidToString(clsid);
}

std::string DefaultTokenFile() {
    if (const char* v = std::getenv("VSK_TOKEN_FILE"); v && *v)
        return v;
    std::string home = EnvOr("HOME", "/tmp");
    return EnvOr("XDG_CONFIG_HOME", home + "/.config") + "/vskmanager/tcp-token";
}

std::optional<std::string> ReadTokenFile(const std::string& path, std::string* error) {
    auto refuse = [&](std::string why) -> std::optional<std::string> {
        Refuse(error, std::move(why));
        return std::nullopt;
    };
    // Looked at before opening: opening a FIFO waits for a writer, a device may act on it.
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        return refuse("cannot open " + path + ": " + std::strerror(errno));
    if (S_ISLNK(st.st_mode))
        return refuse(path + " is a symbolic link; the token must be in a regular file");
    if (!S_ISREG(st.st_mode))
        return refuse(path + " is not a regular file");
    // O_NOFOLLOW and O_NONBLOCK hold should the name be swapped after the look.
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0)
        return refuse("cannot open " + path + ": " + std::strerror(errno));
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return refuse(path + " is not a regular file");
    }
    if ((st.st_mode & 077) != 0 || st.st_uid != geteuid()) {
        close(fd);
        return refuse(path + " must belong to this user and be readable by it alone");
    }
    std::string text;
    char buf[256];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0 && text.size() < 4096)
        text.append(buf, size_t(n));
    close(fd);
    text = TrimRight(text, " \r\n");  // what an editor leaves after the token
    if (text.empty())
        return refuse(path + " holds no token");
    if (text.size() < kMinTokenLength)
        return refuse(path + " holds a token of " + std::to_string(text.size()) +
                      " characters; at least " + std::to_string(kMinTokenLength) +
                      " are needed (delete the file to have a new one made)");
    return text;
}

std::optional<std::string> LoadOrCreateTokenFile(const std::string& path, std::string* error) {
    struct stat st;
    if (lstat(path.c_str(), &st) == 0)  // whatever is there, even a dangling link
        return ReadTokenFile(path, error);
    size_t slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0 && !EnsurePrivateDir(path.substr(0, slash), error))
        return std::nullopt;
    unsigned char raw[32];
    if (getrandom(raw, sizeof raw, 0) != ssize_t(sizeof raw)) {
        if (error)
            *error = "no random bytes for the token";
        return std::nullopt;
    }
    std::string token;
    for (unsigned char c : raw)
        AppendHex(token, c, HexCase::Lower);
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        if (errno == EEXIST)
            return ReadTokenFile(path, error);  // lost a race: use theirs
        if (error)
            *error = "cannot create " + path + ": " + std::strerror(errno);
        return std::nullopt;
    }
    std::string line = token + "\n";
    bool ok = write(fd, line.data(), line.size()) == ssize_t(line.size());
    close(fd);
    if (!ok) {
        unlink(path.c_str());
        if (error)
            *error = "cannot write " + path;
        return std::nullopt;
    }
    return token;
}

std::string ReadSmallFile(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {};
    char buf[1024];
    ssize_t n = read(fd, buf, sizeof buf);
    close(fd);
    return n > 0 ? std::string(buf, size_t(n)) : std::string();
}

bool TokenMatches(std::string_view given, std::string_view expected) {
    if (given.size() != expected.size() || expected.empty())
        return false;
    unsigned char diff = 0;
    for (size_t i = 0; i < given.size(); ++i)
        diff |= uint8_t(given[i] ^ expected[i]);
    return diff == 0;
}

bool IsLoopbackAddress(const sockaddr* addr) {
    if (addr->sa_family == AF_INET)
        return (ntohl(reinterpret_cast<const sockaddr_in*>(addr)->sin_addr.s_addr) >> 24) == 127;
    if (addr->sa_family == AF_INET6) {
        const in6_addr& a = reinterpret_cast<const sockaddr_in6*>(addr)->sin6_addr;
        return IN6_IS_ADDR_LOOPBACK(&a) || (IN6_IS_ADDR_V4MAPPED(&a) && a.s6_addr[12] == 127);
    }
    return false;
}

}  // namespace vsk
