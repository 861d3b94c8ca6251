// A small hierarchical key/value store standing in for the per-user and classes registry.
// One text file per hive under a folder; writes replace the file atomically under flock.
// A line that cannot be read costs that line only: the file as it was is kept as
// "<file>.corrupt-<time>", the other lines are kept and stored again, and stderr says which
// lines were left out, once. A hive file over 1 MiB is refused (never read in full), and so is
// any change to it.
// Nobody waits long for another process's lock: a reader never waits (it needs the lock only
// to repair a file, and leaves that to a later reader), a writer waits at most 200 ms and then
// fails. A file that cannot be read gives the values this process read from it last.
// Threading: any thread and any process may call any member at any time; every call reads
// the file, and writers are serialised by the lock file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace vsk {

enum class Hive { CurrentUser, ClassesRoot };

// A value is a DWORD or a string; key paths use '\' between names and compare names
// case-insensitively (ASCII), as the platform registry does. The value named "" is the
// key's default value.
using RegValue = std::variant<uint32_t, std::string>;

// $VSK_REGISTRY_DIR, else $XDG_CONFIG_HOME/vskmanager/registry, else ~/.config/vskmanager/registry.
std::string DefaultRegistryDir();

class RegistryStore {
public:
    explicit RegistryStore(std::string dir = DefaultRegistryDir());

    bool KeyExists(Hive hive, std::string_view key) const;
    bool CreateKey(Hive hive, std::string_view key);  // creates parents too
    std::optional<RegValue> GetValue(Hive hive, std::string_view key, std::string_view name) const;
    bool SetValue(Hive hive, std::string_view key, std::string_view name, const RegValue& value);
    bool DeleteValue(Hive hive, std::string_view key, std::string_view name);
    bool DeleteTree(Hive hive, std::string_view key);  // the key and everything below it
    std::vector<std::string> SubKeys(Hive hive, std::string_view key) const;
    std::vector<std::string> ValueNames(Hive hive, std::string_view key) const;

    const std::string& Dir() const { return m_dir; }
    std::string HiveFile(Hive hive) const;

private:
    std::string m_dir;
};

}  // namespace vsk
