#include "platform/known_folders.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <strings.h>
#include <cerrno>
#include <cstdlib>

namespace vsk {
namespace {

// Empty variables count as unset: an empty ProgramData would otherwise put the journal
// folder at the file system root.
std::optional<std::string> Env(const std::string& name) {
    const char* value = std::getenv(name.c_str());
    if (!value || !*value)
        return std::nullopt;
    return std::string(value);
}

std::optional<std::string> HomeDir() {
    if (auto home = Env("HOME"))
        return home;
    if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir && *pw->pw_dir) {
        return std::string(pw->pw_dir);
    }
    return std::nullopt;
}

// $xdgVariable when it names an absolute path (relative ones are ignored, as XDG asks),
// else ~/fallback.
std::optional<std::string> XdgDir(const char* xdgVariable, const char* fallback) {
    if (auto dir = Env(xdgVariable); dir && dir->front() == '/')
        return dir;
    if (auto home = HomeDir())
        return *home + "/" + fallback;
    return std::nullopt;
}

// Environment names are looked up exactly first; the Windows folder names also match in any
// case, as they do on the platform they come from.
std::optional<std::string> Lookup(const std::string& name) {
    if (auto value = Env(name))
        return value;
    if (strcasecmp(name.c_str(), "ProgramData") == 0) {
        if (auto value = Env("ProgramData"))
            return value;
        return XdgDir("XDG_STATE_HOME", ".local/state");
    }
    if (strcasecmp(name.c_str(), "APPDATA") == 0) {
        if (auto value = Env("APPDATA"))
            return value;
        return XdgDir("XDG_DATA_HOME", ".local/share");
    }
    return std::nullopt;
}

// Appends text, turning '\' into '/' and never writing two '/' in a row.
void AppendPath(std::string& out, std::string_view text, bool convertBackslashes) {
    for (char c : text) {
        if (convertBackslashes && c == '\\')
            c = '/';
        if (c == '/' && !out.empty() && out.back() == '/')
            continue;
        out += c;
    }
}

}  // namespace

std::optional<std::string> ExpandEnvironmentStrings(std::string_view text, size_t maxLength) {
    std::string out;
    size_t pos = 0;
    while (pos < text.size()) {
        const size_t open = text.find('%', pos);
        if (open == std::string_view::npos) {
            AppendPath(out, text.substr(pos), true);
            break;
        }
        AppendPath(out, text.substr(pos, open - pos), true);
        const size_t close = text.find('%', open + 1);
        if (close == std::string_view::npos) {
            // A lone '%' is plain text.
            AppendPath(out, text.substr(open), true);
            break;
        }
        if (close == open + 1) {
            // "%%" names nothing; keep it as it stands.
            out += "%%";
            pos = close + 1;
            continue;
        }
        const auto value = Lookup(std::string(text.substr(open + 1, close - open - 1)));
        if (!value)
            return std::nullopt;
        // Values are Linux paths already: a backslash in them is a file name character.
        AppendPath(out, *value, false);
        pos = close + 1;
    }
    if (out.size() > maxLength)
        return std::nullopt;
    return out;
}

bool CreateDirectories(const std::string& path, unsigned mode) {
    if (path.empty())
        return false;
    std::string partial;
    size_t pos = 0;
    while (pos != std::string::npos) {
        pos = path.find('/', pos + 1);
        partial = path.substr(0, pos);
        if (partial.empty() || partial == "/")
            continue;
        if (mkdir(partial.c_str(), static_cast<mode_t>(mode)) != 0 && errno != EEXIST)
            return false;
    }
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace vsk
