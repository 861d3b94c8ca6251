// The command line of every program of the product (vskmanager, vskctl, vsk-emulator): one
// table of options per program, read with getopt_long, so that all of them answer -h/--help
// and --version alike and refuse an unknown switch before doing anything.
#pragma once

#include <span>
#include <string>
#include <utility>
#include <vector>

namespace vsk::cli {

struct Option {
    const char* name;      // long name without "--"
    char shortName;        // 0: none
    const char* argument;  // nullptr: a flag; else the argument's name in the usage text
    const char* help;
};

struct Program {
    const char* name;      // "vskmanager"
    const char* synopsis;  // the "usage:" lines after the name, one per line
    std::span<const Option> options;
    const char* footer = "";  // printed after the options
    // Options end at the first word that is not one (vskctl: a method's arguments may be
    // negative numbers such as -1).
    bool stopAtFirstOperand = false;
};

struct Parsed {
    std::vector<std::pair<std::string, std::string>> options;  // long name -> argument, in order
    std::vector<std::string> operands;
    bool help = false;
    bool version = false;
    std::string error;  // set when the command line cannot be used

    bool Has(const std::string& name) const;
    // The last argument given to the option, or `fallback`.
    std::string Value(const std::string& name, const std::string& fallback = {}) const;
};

// -h/--help and --version are added to every program's options.
Parsed Parse(const Program& program, const std::vector<std::string>& args);
std::string Usage(const Program& program);
// "vskmanager 0.1.0"
std::string VersionText(const char* programName);
const char* ProductVersion();

// The exit statuses of a command line: 0 done, 2 a command line that cannot be used.
constexpr int kExitUsage = 2;

// What a program does with Help, Version and an error; returns the exit status, or -1 when
// the program is to go on.
int Finish(const Program& program, const Parsed& parsed);

}  // namespace vsk::cli
