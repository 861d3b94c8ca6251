// The file-backed registry store: round trips, key rules, concurrent writers and bad files.
#include "platform/registry.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <vector>

#include "tests/platform/test_env.h"

namespace vsk {
namespace {

class RegistryTest : public ::testing::Test {
protected:
    std::vector<std::string> FilesStartingWith(const std::string& prefix) const {
        std::vector<std::string> names;
        if (DIR* dir = opendir(m_store.Dir().c_str())) {
            while (const dirent* entry = readdir(dir)) {
                if (std::string(entry->d_name).starts_with(prefix))
                    names.push_back(entry->d_name);
            }
            closedir(dir);
        }
        return names;
    }
    std::string ReadFile(const std::string& path) const {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }
    void WriteHive(const std::string& content) {
        ASSERT_TRUE(m_store.CreateKey(Hive::CurrentUser, ""));  // makes the folder
        std::ofstream(m_store.HiveFile(Hive::CurrentUser), std::ios::binary) << content;
    }

    test::TempDir m_tmp;
    test::ScopedEnv m_env;
    // Members are built in this order, so the store sees the test's VSK_REGISTRY_DIR.
    bool m_dirSet = (m_env.Set("VSK_REGISTRY_DIR", m_tmp.Path() + "/registry"), true);
    RegistryStore m_store;
};

TEST_F(RegistryTest, DefaultDirFollowsTheEnvironment) {
    EXPECT_EQ(m_store.Dir(), m_tmp.Path() + "/registry");
    m_env.Unset("VSK_REGISTRY_DIR");
    m_env.Set("XDG_CONFIG_HOME", "/cfg");
    EXPECT_EQ(DefaultRegistryDir(), "/cfg/vskmanager/registry");
    m_env.Unset("XDG_CONFIG_HOME");
    m_env.Set("HOME", "/home/u");
    EXPECT_EQ(DefaultRegistryDir(), "/home/u/.config/vskmanager/registry");
}

TEST_F(RegistryTest, OddNamesAndValuesRoundTrip) {
    const std::string odd[] = {
        "",
        "plain",
        "a=b=c",
        "back\\slash",
        "line\nbreak\r\n",
        "%41 percent %",
        "tab\there",
        std::string("nul\0inside", 10),
        "\xCF\xF0\xE8\xE2\xB3\xF2",                  // Windows-1251
        "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD1\x96",  // UTF-8
        "  spaces  ",
        "[bracket]",
        "#hash",
        "string:fake=1",
        "\x7F\x01\xFF",
    };
    const std::string key = "Software\\Odd";
    for (size_t i = 0; i < std::size(odd); ++i) {
        ASSERT_TRUE(m_store.SetValue(Hive::CurrentUser, key, odd[i], odd[std::size(odd) - 1 - i]));
    }
    ASSERT_TRUE(m_store.SetValue(Hive::CurrentUser, key, "max", uint32_t{0xFFFFFFFF}));
    ASSERT_TRUE(m_store.SetValue(Hive::CurrentUser, key, "zero", uint32_t{0}));

    const RegistryStore reopened(m_store.Dir());
    for (size_t i = 0; i < std::size(odd); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(reopened.GetValue(Hive::CurrentUser, key, odd[i]),
                  RegValue(odd[std::size(odd) - 1 - i]));
    }
    EXPECT_EQ(reopened.GetValue(Hive::CurrentUser, key, "max"), RegValue(uint32_t{0xFFFFFFFF}));
    EXPECT_EQ(reopened.GetValue(Hive::CurrentUser, key, "zero"), RegValue(uint32_t{0}));
    EXPECT_EQ(reopened.ValueNames(Hive::CurrentUser, key).size(), std::size(odd) + 2);

    // Key names with characters the file format treats specially.
    const std::string oddKey = "K=%ey\\[sub] \t\\#x";
    ASSERT_TRUE(m_store.SetValue(Hive::CurrentUser, oddKey, "v", uint32_t{7}));
    EXPECT_EQ(reopened.GetValue(Hive::CurrentUser, oddKey, "v"), RegValue(uint32_t{7}));
    EXPECT_EQ(reopened.SubKeys(Hive::CurrentUser, "K=%ey"), std::vector<std::string>{"[sub] \t"});
}

TEST_F(RegistryTest, KeysAndValueNamesIgnoreCaseAndOuterSeparators) {
    ASSERT_TRUE(
        m_store.SetValue(Hive::CurrentUser, "\\Software\\Maker\\", "BaudRate", uint32_t{9600}));
    EXPECT_EQ(m_store.GetValue(Hive::CurrentUser, "SOFTWARE\\maker", "baudrate"),
              RegValue(uint32_t{9600}));
    ASSERT_TRUE(
        m_store.SetValue(Hive::CurrentUser, "software\\MAKER", "BAUDRATE", std::string("fast")));
    // One value, still spelled as first written, now holding the string.
    EXPECT_EQ(m_store.ValueNames(Hive::CurrentUser, "Software\\Maker"),
              std::vector<std::string>{"BaudRate"});
    EXPECT_EQ(m_store.GetValue(Hive::CurrentUser, "Software\\Maker", "BaudRate"),
              RegValue(std::string("fast")));
    EXPECT_EQ(m_store.SubKeys(Hive::CurrentUser, "software"), std::vector<std::string>{"Maker"});
    // The hives are separate files.
    EXPECT_FALSE(m_store.KeyExists(Hive::ClassesRoot, "Software"));
    EXPECT_EQ(m_store.GetValue(Hive::ClassesRoot, "Software\\Maker", "BaudRate"), std::nullopt);
}

TEST_F(RegistryTest, KeysSubKeysAndDeletion) {
    EXPECT_FALSE(m_store.KeyExists(Hive::ClassesRoot, "A"));
    EXPECT_TRUE(m_store.KeyExists(Hive::ClassesRoot, ""));  // the root always exists
    ASSERT_TRUE(m_store.CreateKey(Hive::ClassesRoot, "A\\B\\C"));
    ASSERT_TRUE(m_store.CreateKey(Hive::ClassesRoot, "A\\BC"));
    ASSERT_TRUE(m_store.SetValue(Hive::ClassesRoot, "A\\B", "", std::string("default")));
    EXPECT_TRUE(m_store.KeyExists(Hive::ClassesRoot, "A\\B\\C"));  // empty keys persist
    EXPECT_EQ(m_store.SubKeys(Hive::ClassesRoot, "A"), (std::vector<std::string>{"B", "BC"}));
    EXPECT_EQ(m_store.SubKeys(Hive::ClassesRoot, ""), std::vector<std::string>{"A"});
    EXPECT_EQ(m_store.GetValue(Hive::ClassesRoot, "A\\B", ""), RegValue(std::string("default")));

    EXPECT_FALSE(m_store.DeleteValue(Hive::ClassesRoot, "A\\B", "missing"));
    EXPECT_TRUE(m_store.DeleteValue(Hive::ClassesRoot, "A\\B", ""));
    EXPECT_EQ(m_store.GetValue(Hive::ClassesRoot, "A\\B", ""), std::nullopt);

    EXPECT_TRUE(m_store.DeleteTree(Hive::ClassesRoot, "a\\b"));
    EXPECT_FALSE(m_store.KeyExists(Hive::ClassesRoot, "A\\B"));
    EXPECT_FALSE(m_store.KeyExists(Hive::ClassesRoot, "A\\B\\C"));
    EXPECT_TRUE(m_store.KeyExists(Hive::ClassesRoot, "A\\BC"));  // a sibling sharing the prefix
    EXPECT_FALSE(m_store.DeleteTree(Hive::ClassesRoot, "A\\B"));
    EXPECT_TRUE(m_store.DeleteTree(Hive::ClassesRoot, ""));
    EXPECT_TRUE(m_store.SubKeys(Hive::ClassesRoot, "").empty());
}

TEST_F(RegistryTest, ConcurrentWritersInTwoProcessesLoseNothing) {
    constexpr int kPerProcess = 200;
    ASSERT_TRUE(m_store.CreateKey(Hive::CurrentUser, "Race"));
    pid_t children[2];
    for (int p = 0; p < 2; ++p) {
        children[p] = fork();
        ASSERT_GE(children[p], 0);
        if (children[p] == 0) {
            RegistryStore store(m_store.Dir());
            bool ok = true;
            for (int i = 0; i < kPerProcess; ++i) {
                const std::string name = "p" + std::to_string(p) + "-" + std::to_string(i);
                ok = store.SetValue(Hive::CurrentUser, "Race", name, uint32_t(i)) && ok;
            }
            _exit(ok ? 0 : 1);
        }
    }
    for (pid_t child : children) {
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    EXPECT_EQ(m_store.ValueNames(Hive::CurrentUser, "Race").size(), 2u * kPerProcess);
    for (int p = 0; p < 2; ++p) {
        for (int i = 0; i < kPerProcess; i += 37) {
            const std::string name = "p" + std::to_string(p) + "-" + std::to_string(i);
            EXPECT_EQ(m_store.GetValue(Hive::CurrentUser, "Race", name), RegValue(uint32_t(i)));
        }
    }
    EXPECT_TRUE(FilesStartingWith("HKCU.reg.tmp").empty());
}

// A bad line costs that line only: the other settings and port mappings stay, the file as it
// was is kept in a copy, stderr names the lines once, and the file is stored again without them.
TEST_F(RegistryTest, BadLinesAreLeftOutAndKeptAsideOnce) {
    struct Row {
        const char* content;
        const char* lines;  // as stderr names them
        bool keyK;          // whether [K] survives
        bool valueW;        // whether dword:w=7 survives
    };
    const Row rows[] = {
        {"not a hive\n[K]\ndword:w=7\n", "1", true, true},
        {"VSKREG 1\n[K]\ndword:v=12a\ndword:w=7\n", "3", true, true},
        {"VSKREG 1\n[K]\ndword:v=4294967296\ndword:w=7\n", "3", true, true},
        {"VSKREG 1\n[K]\nstring:v=%4\nbinary:v=00\ndword:w=7\n", "3, 4", true, true},
        // A file of one bad byte is kept aside whole too.
        {"x", "1", false, false},
        // An escape needs both of its hex digits.
        {"VSKREG 1\n[K]\nstring:v=%4G\nstring:v=%G4\ndword:w=7\n", "3, 4", true, true},
        // The values under an unreadable key line have no key to go to.
        {"VSKREG 1\n[K\ndword:w=7\n[Ports]\nstring:COM1=/dev/ttyUSB0\n", "2, 3", false, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.content);
        test::TempDir dir;
        const RegistryStore store(dir.Path());
        const std::string file = store.HiveFile(Hive::CurrentUser);
        std::ofstream(file, std::ios::binary) << row.content;

        testing::internal::CaptureStderr();
        EXPECT_EQ(store.GetValue(Hive::CurrentUser, "K", "v"), std::nullopt);
        EXPECT_EQ(store.KeyExists(Hive::CurrentUser, "K"), row.keyK);
        EXPECT_EQ(store.GetValue(Hive::CurrentUser, "K", "w"),
                  row.valueW ? std::optional<RegValue>(uint32_t{7}) : std::nullopt);
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find(std::string("line(s) ") + row.lines + " could not"), std::string::npos)
            << err;
        EXPECT_EQ(err.find("could not", err.find("could not") + 1), std::string::npos)
            << "said more than once: " << err;
        // A log line like the server's others: a warning and its time.
        EXPECT_TRUE(std::regex_search(
            err, std::regex("(^|\n)<4>\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d registry file ")))
            << err;

        std::vector<std::string> copies;
        if (DIR* d = opendir(dir.Path().c_str())) {
            while (const dirent* entry = readdir(d)) {
                const std::string name = entry->d_name;
                if (name.starts_with("HKCU.reg.corrupt-"))
                    copies.push_back(ReadFile(dir.Path() + "/" + name));
            }
            closedir(d);
        }
        EXPECT_EQ(copies, std::vector<std::string>{row.content});
        // What is left is a clean hive holding the good lines.
        const std::string stored = ReadFile(file);
        EXPECT_TRUE(stored.starts_with("VSKREG 1\n")) << stored;
        EXPECT_EQ(stored.find("12a"), std::string::npos) << stored;
        EXPECT_EQ(stored.find("binary"), std::string::npos) << stored;
    }
}

// A port mapping next to a bad line survives a write as well as a read.
TEST_F(RegistryTest, AWriteKeepsTheGoodLinesOfABadFile) {
    WriteHive("VSKREG 1\n[Ports]\nstring:COM1=/dev/ttyUSB0\ngarbage\n");
    testing::internal::CaptureStderr();
    ASSERT_TRUE(m_store.SetValue(Hive::CurrentUser, "Ports", "COM2", std::string("/dev/ttyS1")));
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(m_store.GetValue(Hive::CurrentUser, "Ports", "COM1"),
              RegValue(std::string("/dev/ttyUSB0")));
    EXPECT_EQ(m_store.GetValue(Hive::CurrentUser, "Ports", "COM2"),
              RegValue(std::string("/dev/ttyS1")));
    ASSERT_EQ(FilesStartingWith("HKCU.reg.corrupt-").size(), 1u);
    EXPECT_NE(
        ReadFile(m_store.Dir() + "/" + FilesStartingWith("HKCU.reg.corrupt-")[0]).find("garbage"),
        std::string::npos);
}

// A hive over 1 MiB is not read: the values read before it grew stay, nothing is written over
// it, and stderr says why once.
TEST_F(RegistryTest, OversizedHiveIsRefused) {
    ASSERT_TRUE(m_store.SetValue(Hive::CurrentUser, "K", "v", uint32_t{5}));
    ASSERT_EQ(m_store.GetValue(Hive::CurrentUser, "K", "v"), RegValue(uint32_t{5}));
    const std::string file = m_store.HiveFile(Hive::CurrentUser);
    {
        std::ofstream out(file, std::ios::binary | std::ios::app);
        out << "# " << std::string(1024 * 1024, 'x') << "\n";
    }
    const auto size = std::filesystem::file_size(file);

    testing::internal::CaptureStderr();
    EXPECT_EQ(m_store.GetValue(Hive::CurrentUser, "K", "v"), RegValue(uint32_t{5}));
    EXPECT_EQ(m_store.GetValue(Hive::CurrentUser, "K", "v"), RegValue(uint32_t{5}));
    EXPECT_FALSE(m_store.SetValue(Hive::CurrentUser, "K", "v", uint32_t{6}));
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("larger than 1048576 bytes"), std::string::npos) << err;
    EXPECT_EQ(err.find("larger", err.find("larger") + 1), std::string::npos) << err;
    EXPECT_EQ(std::filesystem::file_size(file), size);

    // A hive never read before it grew gives defaults.
    const std::string other = m_store.HiveFile(Hive::ClassesRoot);
    {
        std::ofstream out(other, std::ios::binary);
        out << "VSKREG 1\n[K]\ndword:v=5\n# " << std::string(1024 * 1024, 'x') << "\n";
    }
    testing::internal::CaptureStderr();
    EXPECT_EQ(m_store.GetValue(Hive::ClassesRoot, "K", "v"), std::nullopt);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("HKCR.reg is larger"), std::string::npos);
}

// Another process holding the lock for good (a second open file description holds the flock
// just as another process would): reads go on at once with the stored values, even on a file
// that needs repairing, a write fails within the bound, and stderr says so once.
TEST_F(RegistryTest, AHeldLockNeverFreezesReadsAndFailsWritesQuickly) {
    WriteHive("VSKREG 1\n[SOFTWARE\\Maker\\CurrentConfig]\ndword:SaveToLog=1\n");
    const std::string file = m_store.HiveFile(Hive::CurrentUser);
    for (const char* suffix : {".lock", ".queue"}) {
        SCOPED_TRACE(suffix);
        const int holder = open((file + suffix).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        ASSERT_GE(holder, 0);
        ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);

        testing::internal::CaptureStderr();
        auto start = std::chrono::steady_clock::now();
        // A settings read creates its key first; the key is there, so that must not wait.
        EXPECT_TRUE(m_store.CreateKey(Hive::CurrentUser, "Software\\Maker\\CurrentConfig"));
        EXPECT_EQ(
            m_store.GetValue(Hive::CurrentUser, "Software\\Maker\\CurrentConfig", "SaveToLog"),
            RegValue(uint32_t{1}));
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));

        start = std::chrono::steady_clock::now();
        EXPECT_FALSE(m_store.SetValue(Hive::CurrentUser, "K", "v", uint32_t{1}));
        EXPECT_FALSE(m_store.SetValue(Hive::CurrentUser, "K", "v", uint32_t{2}));
        const auto elapsed = std::chrono::steady_clock::now() - start;
        EXPECT_LT(elapsed, std::chrono::milliseconds(2 * 200 + 300));
        EXPECT_GE(elapsed, std::chrono::milliseconds(2 * 150));  // it did wait, a little

        // A file with a bad line is read as far as it goes; the repair waits for the lock.
        std::ofstream(file, std::ios::binary | std::ios::trunc)
            << "VSKREG 1\n[K]\ndword:w=7\nbad\n";
        start = std::chrono::steady_clock::now();
        EXPECT_EQ(m_store.GetValue(Hive::CurrentUser, "K", "w"), RegValue(uint32_t{7}));
        EXPECT_EQ(m_store.GetValue(Hive::CurrentUser, "K", "w"), RegValue(uint32_t{7}));
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
        EXPECT_TRUE(FilesStartingWith("HKCU.reg.corrupt-").empty());
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find("locked by another process"), std::string::npos) << err;
        EXPECT_EQ(err.find("locked", err.find("locked") + 1), std::string::npos)
            << "said more than once: " << err;

        // Once the lock is free, writes work and the next read repairs the file.
        close(holder);
        testing::internal::CaptureStderr();
        EXPECT_TRUE(m_store.SetValue(Hive::CurrentUser, "K", "v", uint32_t{3}));
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(m_store.GetValue(Hive::CurrentUser, "K", "w"), RegValue(uint32_t{7}));
        EXPECT_EQ(ReadFile(file).find("bad"), std::string::npos);
        EXPECT_EQ(FilesStartingWith("HKCU.reg.corrupt-").size(), 1u);
        for (const std::string& name : FilesStartingWith("HKCU.reg.corrupt-"))
            std::filesystem::remove(m_store.Dir() + "/" + name);
        WriteHive("VSKREG 1\n[SOFTWARE\\Maker\\CurrentConfig]\ndword:SaveToLog=1\n");
    }
}

TEST_F(RegistryTest, CorruptFilesNeverOverwriteEachOtherAndWritesGoOn) {
    WriteHive("garbage one");
    ASSERT_TRUE(m_store.SetValue(Hive::CurrentUser, "K", "v", uint32_t{1}));
    WriteHive("garbage two");
    ASSERT_TRUE(m_store.SetValue(Hive::CurrentUser, "K", "v", uint32_t{2}));
    EXPECT_EQ(m_store.GetValue(Hive::CurrentUser, "K", "v"), RegValue(uint32_t{2}));
    EXPECT_EQ(FilesStartingWith("HKCU.reg.corrupt-").size(), 2u);
}

TEST_F(RegistryTest, HandEditedFileIsRead) {
    WriteHive(
        "VSKREG 1\r\n# written by hand\r\n\r\n[SOFTWARE\\Maker\\CurrentConfig]\r\n"
        "dword:BaudRate=57600\r\nstring:Port%3D1=/dev/ttyUSB0\r\n");
    EXPECT_EQ(m_store.GetValue(Hive::CurrentUser, "Software\\Maker\\CurrentConfig", "BaudRate"),
              RegValue(uint32_t{57600}));
    EXPECT_EQ(m_store.GetValue(Hive::CurrentUser, "Software\\Maker\\CurrentConfig", "port=1"),
              RegValue(std::string("/dev/ttyUSB0")));
    EXPECT_TRUE(FilesStartingWith("HKCU.reg.corrupt-").empty());
    // Creating a key that exists changes nothing, so the file is not rewritten.
    const std::string before = ReadFile(m_store.HiveFile(Hive::CurrentUser));
    EXPECT_TRUE(m_store.CreateKey(Hive::CurrentUser, "software\\maker"));
    EXPECT_EQ(ReadFile(m_store.HiveFile(Hive::CurrentUser)), before);
}

TEST_F(RegistryTest, FolderIsCreatedPrivateAndAnUnusableOneFailsCleanly) {
    ASSERT_TRUE(m_store.SetValue(Hive::CurrentUser, "K", "v", uint32_t{1}));
    struct stat st;
    ASSERT_EQ(stat(m_store.Dir().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    // A regular file where the folder should be: works even for root, unlike a chmod.
    const std::string blocker = m_tmp.Path() + "/blocker";
    std::ofstream(blocker) << "x";
    RegistryStore broken(blocker + "/registry");
    EXPECT_FALSE(broken.SetValue(Hive::CurrentUser, "K", "v", uint32_t{1}));
    EXPECT_FALSE(broken.CreateKey(Hive::CurrentUser, "K"));
    EXPECT_EQ(broken.GetValue(Hive::CurrentUser, "K", "v"), std::nullopt);
    EXPECT_TRUE(broken.SubKeys(Hive::CurrentUser, "").empty());
    EXPECT_EQ(ReadFile(blocker), "x");

    // A hive file that cannot be read is not replaced by an empty one.
    const std::string file = m_store.HiveFile(Hive::ClassesRoot);
    ASSERT_EQ(mkdir(file.c_str(), 0700), 0);  // unreadable as a file, even for root
    EXPECT_FALSE(m_store.SetValue(Hive::ClassesRoot, "K", "v", uint32_t{1}));
    EXPECT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
}

}  // namespace
}  // namespace vsk
