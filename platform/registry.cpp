#include "platform/registry.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

#include "platform/known_folders.h"
#include "platform/log.h"
#include "platform/text.h"

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
// Settings are read on every port opening and written by the options page: neither may hang
// on another process that holds the lock (a stopped editor, a debugger). A writer waits this
// long at most and then fails; a reader never waits.
constexpr auto kLockTimeout = std::chrono::milliseconds(200);
// Another writer holds the lock for one fsync and frees it for a few microseconds before its
// next change: a waiter that looks only every millisecond would rarely see it free.
constexpr auto kLockPoll = std::chrono::microseconds(100);
// Far above any real hive (a few kilobytes); a bigger file is not ours to read into memory.
constexpr size_t kMaxHiveBytes = 1024 * 1024;

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
        hive.try_emplace(LowerAscii(parent), Key{parent, {}});
    }
    return hive.try_emplace(LowerAscii(path), Key{path, {}}).first->second;
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
    std::string out;
    out.reserve(text.size());
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (NeedsEscape(c)) {
            out += '%';
            AppendHex(out, c, HexCase::Upper);
        } else {
            out += ch;
        }
    }
    return out;
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
        const int high = HexValue(text[i + 1]);
        const int low = HexValue(text[i + 2]);
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
    auto [it, inserted] = key.values.try_emplace(LowerAscii(*name), Value{*name, data});
    if (!inserted)
        it->second.data = std::move(data);  // a later line wins
    return true;
}

// A hive file read line by line: what could be read, and the lines that could not.
struct Parsed {
    HiveData hive;
    std::vector<size_t> badLines;  // 1-based line numbers
};

// One bad line costs that line only. The value lines under a key line that cannot be read are
// bad too: they belong to a key nobody can name, and filing them under the key above would be
// worse than leaving them out. An empty file is an empty hive.
Parsed Parse(std::string_view content) {
    Parsed parsed{EmptyHive(), {}};
    HiveData& hive = parsed.hive;
    std::optional<std::string> current = std::string();  // lower-case path values belong to
    size_t number = 0;
    size_t pos = 0;
    while (pos < content.size()) {
        size_t end = content.find('\n', pos);
        if (end == std::string_view::npos)
            end = content.size();
        std::string_view line = content.substr(pos, end - pos);
        pos = end + 1;
        ++number;
        if (line.ends_with('\r'))
            line.remove_suffix(1);
        if (number == 1) {
            if (line != kHeader)
                parsed.badLines.push_back(number);
            continue;
        }
        if (line.empty() || line.front() == '#')
            continue;
        if (line.front() == '[') {
            std::optional<std::string> path;
            if (line.size() >= 2 && line.back() == ']')
                path = Unescape(line.substr(1, line.size() - 2));
            if (path) {
                current = LowerAscii(EnsureKey(hive, NormaliseKey(*path)).path);
            } else {
                current.reset();
                parsed.badLines.push_back(number);
            }
            continue;
        }
        if (!current || !ParseValueLine(line, hive.at(*current)))
            parsed.badLines.push_back(number);
    }
    return parsed;
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

enum class ReadResult { Ok, Missing, Failed, TooLarge };

ReadResult ReadWholeFile(const std::string& path, std::string& content) {
    content.clear();
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT ? ReadResult::Missing : ReadResult::Failed;
    struct stat st {};
    if (fstat(fd, &st) == 0 && st.st_size > static_cast<off_t>(kMaxHiveBytes)) {
        close(fd);
        return ReadResult::TooLarge;
    }
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
        if (content.size() > kMaxHiveBytes) {  // grew while we read it
            close(fd);
            content.clear();
            return ReadResult::TooLarge;
        }
    }
    close(fd);
    return ReadResult::Ok;
}

// What this process knows of each hive file beyond the file itself: the values it last read
// (used while the file cannot be read) and which troubles it has already told on stderr, so
// that a setting read on every port opening does not repeat them.
struct HiveMemo {
    std::optional<HiveData> last;
    bool lockSaid = false;
    bool unreadableSaid = false;
    std::string badLinesSaid;  // the content whose bad lines were told
};

std::mutex g_memoMutex;

HiveMemo& MemoOf(const std::string& file) {
    static std::map<std::string, HiveMemo> memos;  // guarded by g_memoMutex
    return memos[file];
}

// Says `text` on stderr unless `said` is already set; sets it.
void SayOnce(bool& said, const std::string& text) {
    if (!said)
        LogLine(LogPriority::Warning, text);
    said = true;
}

void RememberRead(const std::string& file, const HiveData& hive) {
    std::lock_guard lock(g_memoMutex);
    HiveMemo& memo = MemoOf(file);
    memo.last = hive;
    memo.unreadableSaid = false;
}

void SayUnreadable(const std::string& file, ReadResult result) {
    std::lock_guard lock(g_memoMutex);
    SayOnce(MemoOf(file).unreadableSaid,
            result == ReadResult::TooLarge
                ? "registry file " + file + " is larger than " + std::to_string(kMaxHiveBytes) +
                      " bytes and is not read; settings keep their last values or defaults, and "
                      "nothing is written to it"
                : "registry file " + file + " cannot be read (" + std::strerror(errno) +
                      "); settings keep their last values or defaults");
}

void SayLocked(const std::string& file, const char* consequence) {
    std::lock_guard lock(g_memoMutex);
    SayOnce(MemoOf(file).lockSaid,
            "registry file " + file + " is locked by another process for too long; " + consequence);
}

void SayUnlocked(const std::string& file) {
    std::lock_guard lock(g_memoMutex);
    MemoOf(file).lockSaid = false;
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

// An exclusive flock on "<hive file>.lock", held for one read-modify-write. The lock files are
// never removed: removing one would let two writers lock two different files.
class HiveLock {
public:
    // Writers queue on "<hive file>.queue" before they take the lock itself, and leave the
    // queue once they hold it: a writer that has just let the lock go must queue behind the
    // one that waited, so two busy writers take turns instead of one starving the other.
    HiveLock(const std::string& hiveFile, std::chrono::milliseconds wait) {
        const auto deadline = std::chrono::steady_clock::now() + wait;
        const int queue = open((hiveFile + ".queue").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (queue < 0)
            return;
        if (LockBefore(queue, deadline)) {
            m_fd = open((hiveFile + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
            if (m_fd >= 0 && !LockBefore(m_fd, deadline)) {
                const int saved = errno;
                close(m_fd);
                m_fd = -1;
                errno = saved;
            }
        }
        const int saved = errno;
        close(queue);  // leaves the queue
        errno = saved;
    }
    ~HiveLock() {
        if (m_fd >= 0)
            close(m_fd);  // closing releases the lock
    }
    HiveLock(const HiveLock&) = delete;
    HiveLock& operator=(const HiveLock&) = delete;
    bool Held() const { return m_fd >= 0; }
    bool Busy() const { return m_busy; }  // another holder kept it past the wait

private:
    bool LockBefore(int fd, std::chrono::steady_clock::time_point deadline) {
        while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            if (errno == EINTR)
                continue;
            if (errno != EWOULDBLOCK)
                return false;
            if (std::chrono::steady_clock::now() >= deadline) {
                m_busy = true;
                return false;
            }
            std::this_thread::sleep_for(kLockPoll);
        }
        return true;
    }

    int m_fd = -1;
    bool m_busy = false;
};

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

std::string LineList(const std::vector<size_t>& lines) {
    std::string text;
    for (size_t n : lines)
        text += (text.empty() ? "" : ", ") + std::to_string(n);
    return text;
}

// Keeps a copy of a hive file with bad lines as "<file>.corrupt-<unix time>" (never over an
// earlier one), so that no line is ever lost, and says which lines were left out. Runs under
// the hive lock, before the good lines replace the file.
bool KeepCopy(const std::string& file, std::string_view content, const Parsed& parsed) {
    const std::string base = file + ".corrupt-" + std::to_string(std::time(nullptr));
    std::string target = base;
    int fd = -1;
    for (int n = 1; n < 1000; ++n) {
        fd = open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0 || errno != EEXIST)
            break;
        target = base + "-" + std::to_string(n);
    }
    if (fd < 0)
        return false;
    bool ok = WriteAll(fd, content) && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    if (!ok) {
        unlink(target.c_str());
        return false;
    }
    std::lock_guard lock(g_memoMutex);
    MemoOf(file).badLinesSaid = content;
    LogLine(LogPriority::Warning,
            "registry file " + file + ": line(s) " + LineList(parsed.badLines) +
                " could not be read and are left out; the other settings are kept, and the "
                "file as it was is kept as " +
                target);
    return true;
}

// The hive as stored, read under the hive lock for a change or a repair. Bad lines are kept
// aside in a copy and left out (`repaired` tells the caller to store the rest). Nothing when the
// file exists but cannot be read or its bad lines cannot be kept: going on as if it held less
// would let the next write destroy what it holds.
std::optional<HiveData> LoadLocked(const std::string& file, bool& repaired) {
    repaired = false;
    std::string content;
    switch (const ReadResult result = ReadWholeFile(file, content)) {
        case ReadResult::Missing:
            return EmptyHive();
        case ReadResult::Failed:
        case ReadResult::TooLarge:
            SayUnreadable(file, result);
            return std::nullopt;
        case ReadResult::Ok:
            break;
    }
    Parsed parsed = Parse(content);
    if (!parsed.badLines.empty()) {
        if (!KeepCopy(file, content, parsed))
            return std::nullopt;
        repaired = true;
    }
    return std::move(parsed.hive);
}

// Replaces a file that has bad lines by its good ones, the bad ones kept in a copy. Only when
// the lock is free at once: a reader never waits, and the next reader tries again.
void Repair(const std::string& file) {
    HiveLock lock(file, std::chrono::milliseconds(0));
    if (!lock.Held()) {
        if (lock.Busy())
            SayLocked(file, "a file with bad lines is read as far as it can be and left as is");
        return;
    }
    SayUnlocked(file);
    bool repaired = false;
    const auto hive = LoadLocked(file, repaired);
    if (hive && repaired)
        Store(file, Serialise(*hive));
}

// Reads without the lock: rename() makes every replacement atomic, so the file read is
// always a whole one. A file with bad lines gives its good ones; a file that cannot be read
// gives the values this process read last (or none).
HiveData LoadForReading(const std::string& file) {
    std::string content;
    switch (const ReadResult result = ReadWholeFile(file, content)) {
        case ReadResult::Missing:
            RememberRead(file, EmptyHive());
            return EmptyHive();
        case ReadResult::Failed:
        case ReadResult::TooLarge: {
            SayUnreadable(file, result);
            std::lock_guard lock(g_memoMutex);
            return MemoOf(file).last.value_or(EmptyHive());
        }
        case ReadResult::Ok:
            break;
    }
    Parsed parsed = Parse(content);
    if (!parsed.badLines.empty()) {
        Repair(file);
        std::lock_guard lock(g_memoMutex);
        HiveMemo& memo = MemoOf(file);
        if (memo.badLinesSaid != content) {
            memo.badLinesSaid = content;
            LogLine(LogPriority::Warning, "registry file " + file + ": line(s) " +
                                              LineList(parsed.badLines) +
                                              " could not be read and are left out");
        }
    }
    RememberRead(file, parsed.hive);
    return std::move(parsed.hive);
}

// Read-modify-write under the hive lock. `change` returns false when the operation fails
// (for example the value to delete is absent); the file is then left as it is.
bool Modify(const std::string& dir, const std::string& file,
            const std::function<bool(HiveData&)>& change) {
    if (dir.empty() || !CreateDirectories(dir, 0700))
        return false;
    HiveLock lock(file, kLockTimeout);
    if (!lock.Held()) {
        if (lock.Busy())
            SayLocked(file, "changes to it fail until it is free");
        return false;
    }
    SayUnlocked(file);
    bool repaired = false;
    auto hive = LoadLocked(file, repaired);
    if (!hive)
        return false;
    const std::string before = Serialise(*hive);
    if (!change(*hive)) {
        if (repaired)
            Store(file, before);  // the bad lines are in their copy: leave the good ones
        return false;
    }
    // Settings readers create their key on every read; an unchanged hive is not rewritten.
    const std::string after = Serialise(*hive);
    return (after == before && !repaired) || Store(file, after);
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
    return LoadForReading(HiveFile(hive)).contains(LowerAscii(NormaliseKey(key)));
}

bool RegistryStore::CreateKey(Hive hive, std::string_view key) {
    const std::string path = NormaliseKey(key);
    // Every settings read creates its key first: when the key is there already, that needs
    // neither the lock nor a write, so a held lock cannot hold up the read.
    const std::string file = HiveFile(hive);
    if (!m_dir.empty() && access(file.c_str(), F_OK) == 0 &&
        LoadForReading(file).contains(LowerAscii(path)))
        return true;
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
    const auto k = data.find(LowerAscii(NormaliseKey(key)));
    if (k == data.end())
        return std::nullopt;
    const auto v = k->second.values.find(LowerAscii(name));
    if (v == k->second.values.end())
        return std::nullopt;
    return v->second.data;
}

bool RegistryStore::SetValue(Hive hive, std::string_view key, std::string_view name,
                             const RegValue& value) {
    const std::string path = NormaliseKey(key);
    return Modify(m_dir, HiveFile(hive), [&](HiveData& data) {
        auto& values = EnsureKey(data, path).values;
        auto [it, inserted] = values.try_emplace(LowerAscii(name), Value{std::string(name), value});
        if (!inserted)
            it->second.data = value;
        return true;
    });
}

bool RegistryStore::DeleteValue(Hive hive, std::string_view key, std::string_view name) {
    const std::string lowerPath = LowerAscii(NormaliseKey(key));
    return Modify(m_dir, HiveFile(hive), [&](HiveData& data) {
        const auto k = data.find(lowerPath);
        return k != data.end() && k->second.values.erase(LowerAscii(name)) > 0;
    });
}

bool RegistryStore::DeleteTree(Hive hive, std::string_view key) {
    const std::string lowerPath = LowerAscii(NormaliseKey(key));
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
    const std::string lowerPath = LowerAscii(NormaliseKey(key));
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
    const auto k = data.find(LowerAscii(NormaliseKey(key)));
    if (k == data.end())
        return names;
    for (const auto& [lower, value] : k->second.values)
        names.push_back(value.name);
    return names;
}

}  // namespace vsk
