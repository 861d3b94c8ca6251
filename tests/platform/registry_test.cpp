// The file-backed registry store: round trips, key rules, concurrent writers and bad files.
#include "platform/registry.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

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

TEST_F(RegistryTest, UnparseableFilesAreKeptAsideAndDefaultsUsed) {
    const std::string bad[] = {
        "not a hive\n",
        "VSKREG 1\n[K]\ndword:v=12a\n",
        "VSKREG 1\n[K]\ndword:v=4294967296\n",
        "VSKREG 1\n[K]\nstring:v=%4\n",
        "VSKREG 1\n[K]\nbinary:v=00\n",
        "VSKREG 1\n[K\n",
    };
    for (const std::string& content : bad) {
        SCOPED_TRACE(content);
        test::TempDir dir;
        const RegistryStore store(dir.Path());
        std::ofstream(store.HiveFile(Hive::CurrentUser), std::ios::binary) << content;
        EXPECT_EQ(store.GetValue(Hive::CurrentUser, "K", "v"), std::nullopt);
        EXPECT_FALSE(store.KeyExists(Hive::CurrentUser, "K"));
        struct stat st;
        EXPECT_NE(stat(store.HiveFile(Hive::CurrentUser).c_str(), &st), 0);
        bool keptAside = false;
        if (DIR* d = opendir(dir.Path().c_str())) {
            while (const dirent* entry = readdir(d)) {
                const std::string name = entry->d_name;
                if (name.starts_with("HKCU.reg.corrupt-")) {
                    keptAside = ReadFile(dir.Path() + "/" + name) == content;
                }
            }
            closedir(d);
        }
        EXPECT_TRUE(keptAside);
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
