#include "platform/registry.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <map>
#include <thread>
#include <utility>

#include "platform/known_folders.h"

namespace vsk {
namespace {

// Hive file format, one record per line:
//   VSKREG 1                      first line, always
//   [SOFTWARE\Maker\Program]      a key; every value line below belongs to it ("[]" is the root)
//   dword:Name=115200             a DWORD value, decimal
//   string:Name=text              a string value; its bytes are kept as given
// Names and strings escape '%', '=', control bytes and DEL as %HH, so any byte string
// round-trips and every record stays on one line. Blank lines and lines starting with '#' are
// ignored, so the file may be edited by hand.
constexpr std::string_view kHeader = "VSKREG 1";
constexpr std::string_view kDwordTag = "dword:";
constexpr std::string_view kStringTag = "string:";
constexpr auto kLockTimeout = std::chrono::seconds(10);

struct Value {
    std::string name;  // as first written
    RegValue data;
};

struct Key {
    std::string path;                     // as first written, normalised
    std::map<std::string, Value> values;  // by lower-case name
};

// Keys by lower-case normalised path; the root "" is always present and every key's parents
// are present too.
using HiveData = std::map<std::string, Key>;

std::string Lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

// Drops leading, trailing and doubled separators: "\A\\B\" is "A\B".
std::string NormaliseKey(std::string_view key) {
    std::string out;
    size_t pos = 0;
    while (pos <= key.size()) {
        size_t end = key.find('\\', pos);
        if (end == std::string_view::npos)
            end = key.size();
        if (end > pos) {
            if (!out.empty())
                out += '\\';
            out += key.substr(pos, end - pos);
        }
        pos = end + 1;
    }
    return out;
}

Key& EnsureKey(HiveData& hive, const std::string& path) {
    size_t pos = 0;
    while ((pos = path.find('\\', pos)) != std::string::npos) {
        const std::string parent = path.substr(0, pos++);
        hive.try_emplace(Lower(parent), Key{parent, {}});
    }
    return hive.try_emplace(Lower(path), Key{path, {}}).first->second;
}

HiveData EmptyHive() {
    HiveData hive;
    EnsureKey(hive, "");
    return hive;
}

bool NeedsEscape(unsigned char c) {
    return c < 0x20 || c == 0x7F || c == '%' || c == '=';
}

std::string Escape(std::string_view text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (NeedsEscape(c)) {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 0x0F];
        } else {
            out += ch;
        }
    }
    return out;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

std::optional<std::string> Unescape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (i + 2 >= text.size())
            return std::nullopt;
        const int high = HexDigit(text[i + 1]);
        const int low = HexDigit(text[i + 2]);
        if (high < 0 || low < 0)
            return std::nullopt;
        out += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return out;
}

std::optional<uint32_t> ParseDword(std::string_view text) {
    if (text.empty() || text.size() > 10)
        return std::nullopt;
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    if (value > UINT32_MAX)
        return std::nullopt;
    return static_cast<uint32_t>(value);
}

bool ParseValueLine(std::string_view line, Key& key) {
    RegValue data;
    std::string_view rest;
    const bool isDword = line.starts_with(kDwordTag);
    if (isDword) {
        rest = line.substr(kDwordTag.size());
    } else if (line.starts_with(kStringTag)) {
        rest = line.substr(kStringTag.size());
    } else {
        return false;
    }
    const size_t eq = rest.find('=');
    if (eq == std::string_view::npos)
        return false;
    auto name = Unescape(rest.substr(0, eq));
    if (!name)
        return false;
    if (isDword) {
        auto number = ParseDword(rest.substr(eq + 1));
        if (!number)
            return false;
        data = *number;
    } else {
        auto text = Unescape(rest.substr(eq + 1));
        if (!text)
            return false;
        data = std::move(*text);
    }
    auto [it, inserted] = key.values.try_emplace(Lower(*name), Value{*name, data});
    if (!inserted)
        it->second.data = std::move(data);  // a later line wins
    return true;
}

// Nothing when the text is not a hive file; an empty file is an empty hive.
std::optional<HiveData> Parse(std::string_view content) {
    HiveData hive = EmptyHive();
    if (content.empty())
        return hive;
    std::string current;  // lower-case path of the key the value lines belong to
    bool first = true;
    size_t pos = 0;
    while (pos < content.size()) {
        size_t end = content.find('\n', pos);
        if (end == std::string_view::npos)
            end = content.size();
        std::string_view line = content.substr(pos, end - pos);
        pos = end + 1;
        if (line.ends_with('\r'))
            line.remove_suffix(1);
        if (first) {
            if (line != kHeader)
                return std::nullopt;
            first = false;
            continue;
        }
        if (line.empty() || line.front() == '#')
            continue;
        if (line.front() == '[') {
            if (line.back() != ']' || line.size() < 2)
                return std::nullopt;
            auto path = Unescape(line.substr(1, line.size() - 2));
            if (!path)
                return std::nullopt;
            current = Lower(EnsureKey(hive, NormaliseKey(*path)).path);
            continue;
        }
        if (!ParseValueLine(line, hive.at(current)))
            return std::nullopt;
    }
    return hive;
}

std::string Serialise(const HiveData& hive) {
    std::string out(kHeader);
    out += '\n';
    for (const auto& [lower, key] : hive) {
        if (lower.empty() && key.values.empty())
            continue;
        out += '[';
        out += Escape(key.path);
        out += "]\n";
        for (const auto& [lowerName, value] : key.values) {
            if (const auto* number = std::get_if<uint32_t>(&value.data)) {
                out += kDwordTag;
                out += Escape(value.name);
                out += '=';
                out += std::to_string(*number);
            } else {
                out += kStringTag;
                out += Escape(value.name);
                out += '=';
                out += Escape(std::get<std::string>(value.data));
            }
            out += '\n';
        }
    }
    return out;
}

enum class ReadResult { Ok, Missing, Failed };

ReadResult ReadWholeFile(const std::string& path, std::string& content) {
    content.clear();
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT ? ReadResult::Missing : ReadResult::Failed;
    char buffer[8192];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            const int saved = errno;
            close(fd);
            errno = saved;
            return ReadResult::Failed;
        }
        if (n == 0)
            break;
        content.append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    return ReadResult::Ok;
}

bool WriteAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

// An exclusive flock on "<hive file>.lock", held for one read-modify-write. The lock file is
// never removed: removing it would let two writers lock two different files.
class HiveLock {
public:
    explicit HiveLock(const std::string& hiveFile) {
        m_fd = open((hiveFile + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (m_fd < 0)
            return;
        const auto deadline = std::chrono::steady_clock::now() + kLockTimeout;
        while (flock(m_fd, LOCK_EX | LOCK_NB) != 0) {
            if ((errno != EWOULDBLOCK && errno != EINTR) ||
                std::chrono::steady_clock::now() >= deadline) {
                const int saved = errno;
                close(m_fd);
                m_fd = -1;
                errno = saved;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    ~HiveLock() {
        if (m_fd >= 0)
            close(m_fd);  // closing releases the lock
    }
    HiveLock(const HiveLock&) = delete;
    HiveLock& operator=(const HiveLock&) = delete;
    bool Held() const { return m_fd >= 0; }

private:
    int m_fd = -1;
};

// Moves an unparseable hive file to "<file>.corrupt-<unix time>" (never over an earlier one).
// Runs under the hive lock only, after re-reading the file, so a good file that another
// writer put in its place meanwhile is never moved.
bool SetAside(const std::string& file) {
    const std::string base = file + ".corrupt-" + std::to_string(std::time(nullptr));
    std::string target = base;
    for (int n = 1; access(target.c_str(), F_OK) == 0; ++n)
        target = base + "-" + std::to_string(n);
    if (rename(file.c_str(), target.c_str()) != 0)
        return false;
    std::fprintf(stderr, "registry file %s could not be parsed; kept as %s\n", file.c_str(),
                 target.c_str());
    return true;
}

// The hive as stored; a file that does not parse is set aside and the hive is empty. Nothing
// when the file exists but cannot be read or set aside: going on as if it were empty would
// let the next write destroy it. Runs under the hive lock.
std::optional<HiveData> LoadLocked(const std::string& file) {
    std::string content;
    switch (ReadWholeFile(file, content)) {
        case ReadResult::Missing:
            return EmptyHive();
        case ReadResult::Failed:
            return std::nullopt;
        case ReadResult::Ok:
            break;
    }
    if (auto hive = Parse(content))
        return hive;
    if (!SetAside(file))
        return std::nullopt;
    return EmptyHive();
}

// Reads without the lock: rename() makes every replacement atomic, so the file read is
// always a whole one. Only a file that fails to parse takes the lock, to set it aside.
HiveData LoadForReading(const std::string& file) {
    std::string content;
    if (ReadWholeFile(file, content) != ReadResult::Ok)
        return EmptyHive();
    if (auto hive = Parse(content))
        return std::move(*hive);
    HiveLock lock(file);
    if (!lock.Held())
        return EmptyHive();
    return LoadLocked(file).value_or(EmptyHive());
}

// The data is on disk before the rename, so a crash leaves the old file or the new one, whole.
bool Store(const std::string& file, std::string_view content) {
    const std::string temp = file + ".tmp";
    const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    bool ok = WriteAll(fd, content) && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    if (ok)
        ok = rename(temp.c_str(), file.c_str()) == 0;
    if (!ok) {
        const int saved = errno;
        unlink(temp.c_str());
        errno = saved;
        return false;
    }
    return true;
}

// Read-modify-write under the hive lock. `change` returns false when the operation fails
// (for example the value to delete is absent); the file is then left as it is.
bool Modify(const std::string& dir, const std::string& file,
            const std::function<bool(HiveData&)>& change) {
    if (dir.empty() || !CreateDirectories(dir, 0700))
        return false;
    HiveLock lock(file);
    if (!lock.Held())
        return false;
    auto hive = LoadLocked(file);
    if (!hive)
        return false;
    const std::string before = Serialise(*hive);
    if (!change(*hive))
        return false;
    // Settings readers create their key on every read; an unchanged hive is not rewritten.
    const std::string after = Serialise(*hive);
    return after == before || Store(file, after);
}

std::optional<std::string> EnvValue(const char* name) {
    const char* value = std::getenv(name);
    if (!value || !*value)
        return std::nullopt;
    return std::string(value);
}

}  // namespace

std::string DefaultRegistryDir() {
    if (auto dir = EnvValue("VSK_REGISTRY_DIR"))
        return *dir;
    if (auto config = EnvValue("XDG_CONFIG_HOME"); config && config->front() == '/') {
        return *config + "/vskmanager/registry";
    }
    std::optional<std::string> home = EnvValue("HOME");
    if (!home) {
        if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir && *pw->pw_dir) {
            home = pw->pw_dir;
        }
    }
    return home ? *home + "/.config/vskmanager/registry" : std::string();
}

RegistryStore::RegistryStore(std::string dir) : m_dir(std::move(dir)) {}

std::string RegistryStore::HiveFile(Hive hive) const {
    return m_dir + (hive == Hive::CurrentUser ? "/HKCU.reg" : "/HKCR.reg");
}

bool RegistryStore::KeyExists(Hive hive, std::string_view key) const {
    if (m_dir.empty())
        return false;
    return LoadForReading(HiveFile(hive)).contains(Lower(NormaliseKey(key)));
}

bool RegistryStore::CreateKey(Hive hive, std::string_view key) {
    const std::string path = NormaliseKey(key);
    return Modify(m_dir, HiveFile(hive), [&](HiveData& data) {
        EnsureKey(data, path);
        return true;
    });
}

std::optional<RegValue> RegistryStore::GetValue(Hive hive, std::string_view key,
                                                std::string_view name) const {
    if (m_dir.empty())
        return std::nullopt;
    const HiveData data = LoadForReading(HiveFile(hive));
    const auto k = data.find(Lower(NormaliseKey(key)));
    if (k == data.end())
        return std::nullopt;
    const auto v = k->second.values.find(Lower(name));
    if (v == k->second.values.end())
        return std::nullopt;
    return v->second.data;
}

bool RegistryStore::SetValue(Hive hive, std::string_view key, std::string_view name,
                             const RegValue& value) {
    const std::string path = NormaliseKey(key);
    return Modify(m_dir, HiveFile(hive), [&](HiveData& data) {
        auto& values = EnsureKey(data, path).values;
        auto [it, inserted] = values.try_emplace(Lower(name), Value{std::string(name), value});
        if (!inserted)
            it->second.data = value;
        return true;
    });
}

bool RegistryStore::DeleteValue(Hive hive, std::string_view key, std::string_view name) {
    const std::string lowerPath = Lower(NormaliseKey(key));
    return Modify(m_dir, HiveFile(hive), [&](HiveData& data) {
        const auto k = data.find(lowerPath);
        return k != data.end() && k->second.values.erase(Lower(name)) > 0;
    });
}

bool RegistryStore::DeleteTree(Hive hive, std::string_view key) {
    const std::string lowerPath = Lower(NormaliseKey(key));
    return Modify(m_dir, HiveFile(hive), [&](HiveData& data) {
        if (!data.contains(lowerPath))
            return false;
        if (lowerPath.empty()) {
            data = EmptyHive();  // the root itself stays, as it always exists
            return true;
        }
        const std::string prefix = lowerPath + '\\';
        std::erase_if(data, [&](const auto& entry) {
            return entry.first == lowerPath || entry.first.starts_with(prefix);
        });
        return true;
    });
}

std::vector<std::string> RegistryStore::SubKeys(Hive hive, std::string_view key) const {
    std::vector<std::string> names;
    if (m_dir.empty())
        return names;
    const HiveData data = LoadForReading(HiveFile(hive));
    const std::string lowerPath = Lower(NormaliseKey(key));
    if (!data.contains(lowerPath))
        return names;
    const std::string prefix = lowerPath.empty() ? std::string() : lowerPath + '\\';
    for (auto it = data.lower_bound(prefix); it != data.end(); ++it) {
        if (!it->first.starts_with(prefix))
            break;
        if (it->first.size() == prefix.size())
            continue;  // the root itself
        if (it->first.find('\\', prefix.size()) != std::string::npos)
            continue;
        names.push_back(it->second.path.substr(prefix.size()));
    }
    return names;
}

std::vector<std::string> RegistryStore::ValueNames(Hive hive, std::string_view key) const {
    std::vector<std::string> names;
    if (m_dir.empty())
        return names;
    const HiveData data = LoadForReading(HiveFile(hive));
    const auto k = data.find(Lower(NormaliseKey(key)));
    if (k == data.end())
        return names;
    for (const auto& [lower, value] : k->second.values)
        names.push_back(value.name);
    return names;
}

}  // namespace vsk
