// %NAME% expansion with the Linux defaults of the Windows folders, and mkdir -p.
#include "platform/known_folders.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>

#include <fstream>

#include "tests/platform/test_env.h"

namespace vsk {
namespace {

struct ExpandCase {
    const char* name;
    std::map<std::string, std::string> env;  // every variable the expansion may read
    const char* input;
    std::optional<std::string> expected;
};

TEST(ExpandEnvironmentStrings, ExpandsWithLinuxDefaults) {
    const ExpandCase cases[] = {
        {"ProgramData set",
         {{"ProgramData", "/pd"}},
         "%ProgramData%\\Halvard JSC\\Plus\\",
         "/pd/Halvard JSC/Plus/"},
        {"no doubled slash", {{"ProgramData", "/pd/"}}, "%ProgramData%\\\\x", "/pd/x"},
        {"any case", {{"ProgramData", "/pd"}}, "%PROGRAMDATA%\\x", "/pd/x"},
        {"ProgramData from XDG_STATE_HOME",
         {{"XDG_STATE_HOME", "/state"}},
         "%ProgramData%\\x",
         "/state/x"},
        {"ProgramData from HOME",
         {{"HOME", "/home/u"}},
         "%ProgramData%\\x",
         "/home/u/.local/state/x"},
        {"empty counts as unset",
         {{"ProgramData", ""}, {"HOME", "/h"}},
         "%ProgramData%",
         "/h/.local/state"},
        {"relative XDG ignored",
         {{"XDG_STATE_HOME", "rel"}, {"HOME", "/h"}},
         "%ProgramData%",
         "/h/.local/state"},
        {"APPDATA from XDG_DATA_HOME", {{"XDG_DATA_HOME", "/data"}}, "%APPDATA%\\x\\", "/data/x/"},
        {"APPDATA from HOME", {{"HOME", "/h"}}, "%AppData%", "/h/.local/share"},
        {"other variable", {{"VSK_TEST_DIR", "/t"}}, "%VSK_TEST_DIR%\\a", "/t/a"},
        {"unknown variable", {{"HOME", "/h"}}, "%VSK_TEST_DIR%\\a", std::nullopt},
        {"backslash inside a value kept", {{"VSK_TEST_DIR", "/t\\u"}}, "%VSK_TEST_DIR%", "/t\\u"},
        {"lone percent is text", {}, "a\\50%", "a/50%"},
        {"double percent is text", {}, "a%%b", "a%%b"},
        {"no variables", {}, "\\plain\\", "/plain/"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::ScopedEnv env;
        for (const char* name : {"ProgramData", "PROGRAMDATA", "APPDATA", "AppData",
                                 "XDG_STATE_HOME", "XDG_DATA_HOME", "VSK_TEST_DIR"}) {
            env.Unset(name);
        }
        env.Set("HOME", "/nonexistent-home");
        for (const auto& [name, value] : c.env)
            env.Set(name, value);
        EXPECT_EQ(ExpandEnvironmentStrings(c.input), c.expected);
    }
}

TEST(ExpandEnvironmentStrings, RefusesResultsLongerThanTheLimit) {
    test::ScopedEnv env;
    env.Set("VSK_TEST_DIR", "/" + std::string(9, 'd'));
    EXPECT_EQ(ExpandEnvironmentStrings("%VSK_TEST_DIR%", 10), "/ddddddddd");
    EXPECT_EQ(ExpandEnvironmentStrings("%VSK_TEST_DIR%\\", 10), std::nullopt);
    EXPECT_EQ(ExpandEnvironmentStrings(std::string(261, 'a')), std::nullopt);
}

TEST(CreateDirectories, CreatesParentsAndFailsThroughAFile) {
    test::TempDir tmp;
    const std::string deep = tmp.Path() + "/a/b//c/";
    EXPECT_TRUE(CreateDirectories(deep));
    EXPECT_TRUE(CreateDirectories(deep));  // already there
    struct stat st;
    ASSERT_EQ(stat((tmp.Path() + "/a/b/c").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));

    EXPECT_TRUE(CreateDirectories(tmp.Path() + "/private", 0700));
    ASSERT_EQ(stat((tmp.Path() + "/private").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    std::ofstream(tmp.Path() + "/file") << "x";
    EXPECT_FALSE(CreateDirectories(tmp.Path() + "/file"));
    EXPECT_FALSE(CreateDirectories(tmp.Path() + "/file/sub"));
    EXPECT_FALSE(CreateDirectories(""));
}

// Only a failed mkdir is judged by errno: a relative path whose first folder is new is made
// whatever errno held before.
TEST(CreateDirectories, ARelativePathIsMadeWhateverErrnoHeld) {
    test::TempDir tmp;
    char* before = getcwd(nullptr, 0);
    ASSERT_TRUE(before);
    ASSERT_EQ(chdir(tmp.Path().c_str()), 0);
    errno = ENOENT;
    const bool made = CreateDirectories("rel/sub");
    ASSERT_EQ(chdir(before), 0);
    free(before);
    EXPECT_TRUE(made);
    struct stat st;
    ASSERT_EQ(stat((tmp.Path() + "/rel/sub").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
}

}  // namespace
}  // namespace vsk
