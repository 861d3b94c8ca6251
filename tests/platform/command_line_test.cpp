#include "platform/command_line.h"

#include <gtest/gtest.h>

namespace vsk::cli {
namespace {

constexpr Option kOptions[] = {
    {"port", 'p', "N", "the port"},
    {"quiet", 'q', nullptr, "say less"},
};
constexpr Program kPermuting{"prog", "[options] FILE", kOptions};
constexpr Program kStopping{"prog", "[options] METHOD [ARG...]", kOptions, "", true};

TEST(CommandLine, OptionsAndOperandsInEitherSpelling) {
    Parsed p = Parse(kPermuting, {"file", "--port", "3", "-q", "-p7", "--port=9"});
    EXPECT_EQ(p.error, "");
    EXPECT_TRUE(p.Has("quiet"));
    EXPECT_EQ(p.Value("port"), "9");  // the last one counts
    EXPECT_EQ(p.Value("missing", "fallback"), "fallback");
    EXPECT_EQ(p.operands, std::vector<std::string>{"file"});
    EXPECT_FALSE(p.help);
    EXPECT_FALSE(p.version);
}

TEST(CommandLine, HelpAndVersionAreEveryProgramsOwn) {
    EXPECT_TRUE(Parse(kPermuting, {"-h"}).help);
    EXPECT_TRUE(Parse(kPermuting, {"--help"}).help);
    EXPECT_TRUE(Parse(kPermuting, {"--version"}).version);
    EXPECT_EQ(Finish(kPermuting, Parse(kPermuting, {"--version"})), 0);
    EXPECT_EQ(Finish(kPermuting, Parse(kPermuting, {"--port", "1"})), -1);  // goes on
    EXPECT_EQ(VersionText("prog"), std::string("prog ") + ProductVersion());
    EXPECT_NE(std::string(ProductVersion()).find('.'), std::string::npos);
    const std::string usage = Usage(kPermuting);
    EXPECT_EQ(usage.rfind("usage: prog [options] FILE\n", 0), 0u) << usage;
    for (const char* shown : {"-p, --port N", "-q, --quiet", "-h, --help", "--version"})
        EXPECT_NE(usage.find(shown), std::string::npos) << shown;
}

TEST(CommandLine, AnUnknownSwitchOrAMissingArgumentIsAnError) {
    struct Row {
        std::vector<std::string> args;
        std::string error;
    } rows[] = {
        {{"--frobnicate"}, "unknown option --frobnicate"}, {{"-x"}, "unknown option -x"},
        {{"--port"}, "option --port needs an argument"},   {{"-p"}, "option -p needs an argument"},
        {{"--quiet=1"}, "unknown option --quiet=1"},
    };
    for (const Row& r : rows) {
        Parsed p = Parse(kPermuting, r.args);
        EXPECT_EQ(p.error.substr(0, r.error.size()), r.error) << r.args[0] << ": " << p.error;
        EXPECT_EQ(Finish(kPermuting, p), kExitUsage);
    }
}

TEST(CommandLine, OptionsCanEndAtTheFirstOperand) {
    // A method's arguments may be negative numbers: they are not switches.
    Parsed p = Parse(kStopping, {"-q", "FiscalLineEx", "-1", "--port", "2"});
    EXPECT_EQ(p.error, "");
    EXPECT_FALSE(p.Has("port"));
    EXPECT_EQ(p.operands, (std::vector<std::string>{"FiscalLineEx", "-1", "--port", "2"}));
    // A second parse starts afresh (getopt keeps its state in globals).
    p = Parse(kStopping, {"--port", "4", "X"});
    EXPECT_EQ(p.Value("port"), "4");
    EXPECT_EQ(p.operands, std::vector<std::string>{"X"});
}

}  // namespace
}  // namespace vsk::cli
