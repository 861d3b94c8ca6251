#include "automation/runtime_paths.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace vsk {

namespace {

std::string EnvOr(const char* name, const std::string& fallback) {
    const char* v = std::getenv(name);
    return v && *v ? std::string(v) : fallback;
}

std::string Trim(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' '))
        s.pop_back();
    return s;
}

}  // namespace

std::string AutomationRuntimeDir() {
    return EnvOr("XDG_RUNTIME_DIR", "/tmp/vskmanager-" + std::to_string(getuid())) + "/vskmanager";
}

bool EnsurePrivateDir(const std::string& dir, std::string* error) {
    // Create each missing component privately; only the last two need to be ours.
    for (size_t pos = 1; pos != std::string::npos;) {
        pos = dir.find('/', pos + 1);
        std::string part = dir.substr(0, pos);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
            if (error)
                *error = "cannot create " + part + ": " + std::strerror(errno);
            return false;
        }
    }
    struct stat st;
    if (lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        if (error)
            *error = dir + " is not a folder";
        return false;
    }
    if (st.st_uid != geteuid()) {
        if (error)
            *error = dir + " belongs to another user";
        return false;
    }
    // Whoever may rename entries in the parent could swap the folder for one of their own.
    std::string parent = dir.substr(0, dir.find_last_of('/'));
    struct stat up;
    if (!parent.empty() && lstat(parent.c_str(), &up) == 0 &&
        ((up.st_uid != geteuid() && up.st_uid != 0) ||
         ((up.st_mode & 022) != 0 && (up.st_mode & S_ISVTX) == 0))) {
        if (error)
            *error = parent + " may be changed by other users";
        return false;
    }
    if ((st.st_mode & 077) != 0 && chmod(dir.c_str(), 0700) != 0) {
        if (error)
            *error = "cannot make " + dir + " private: " + std::strerror(errno);
        return false;
    }
    return true;
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
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        if (error)
            *error = "cannot open " + path + ": " + std::strerror(errno);
        return std::nullopt;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || (st.st_mode & 077) != 0 || st.st_uid != geteuid()) {
        close(fd);
        if (error)
            *error = path + " must belong to this user and be readable by it alone";
        return std::nullopt;
    }
    std::string text;
    char buf[256];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0 && text.size() < 4096)
        text.append(buf, size_t(n));
    close(fd);
    text = Trim(text);
    if (text.empty()) {
        if (error)
            *error = path + " holds no token";
        return std::nullopt;
    }
    return text;
}

std::optional<std::string> LoadOrCreateTokenFile(const std::string& path, std::string* error) {
    if (access(path.c_str(), F_OK) == 0)
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
    static const char kHex[] = "0123456789abcdef";
    std::string token;
    for (unsigned char c : raw) {
        token += kHex[c >> 4];
        token += kHex[c & 15];
    }
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
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

}  // namespace vsk
