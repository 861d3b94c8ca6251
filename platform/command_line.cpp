#include "platform/command_line.h"

#include <getopt.h>

#include <cstdio>
#include <mutex>
#include <string_view>

#ifndef VSK_VERSION
#error "VSK_VERSION comes from the project's version in CMake"
#endif

namespace vsk::cli {

namespace {

constexpr Option kHelp{"help", 'h', nullptr, "print this help and exit"};
constexpr Option kVersion{"version", 0, nullptr, "print the version and exit"};

// getopt_long keeps its state in globals.
std::mutex g_getoptMutex;

}  // namespace

bool Parsed::Has(const std::string& name) const {
    for (const auto& [n, v] : options)
        if (n == name)
            return true;
    return false;
}

std::string Parsed::Value(const std::string& name, const std::string& fallback) const {
    std::string value = fallback;
    for (const auto& [n, v] : options)
        if (n == name)
            value = v;
    return value;
}

const char* ProductVersion() {
    return VSK_VERSION;
}

std::string VersionText(const char* programName) {
    return std::string(programName) + " " + VSK_VERSION;
}

Parsed Parse(const Program& program, const std::vector<std::string>& args) {
    std::vector<Option> all(program.options.begin(), program.options.end());
    all.push_back(kHelp);
    all.push_back(kVersion);

    std::string shorts = program.stopAtFirstOperand ? "+:" : ":";
    std::vector<option> longs;
    for (size_t i = 0; i < all.size(); ++i) {
        // Every option answers with 1000 + its index, short or long.
        longs.push_back({all[i].name, all[i].argument ? required_argument : no_argument, nullptr,
                         int(1000 + i)});
        if (all[i].shortName) {
            shorts += all[i].shortName;
            if (all[i].argument)
                shorts += ':';
        }
    }
    longs.push_back({nullptr, 0, nullptr, 0});

    std::vector<std::string> words;
    words.push_back(program.name);
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);

    Parsed parsed;
    std::lock_guard lock(g_getoptMutex);
    optind = 0;  // 0 also resets getopt's internal state
    opterr = 0;
    const int argc = int(words.size());
    for (;;) {
        int longIndex = -1;
        int c = getopt_long(argc, argv.data(), shorts.c_str(), longs.data(), &longIndex);
        if (c == -1)
            break;
        const char* word = argv[optind - 1] ? argv[optind - 1] : "";
        if (c == '?') {
            if (parsed.error.empty())
                parsed.error = optopt && optopt < 1000
                                   ? std::string("unknown option -") + char(optopt)
                                   : std::string("unknown option ") + word;
            continue;
        }
        if (c == ':') {
            if (parsed.error.empty())
                parsed.error = std::string("option ") + word + " needs an argument";
            continue;
        }
        const Option* opt = nullptr;
        if (c >= 1000 && size_t(c - 1000) < all.size()) {
            opt = &all[size_t(c - 1000)];
        } else {
            for (const Option& o : all)
                if (o.shortName == c)
                    opt = &o;
        }
        if (!opt)
            continue;
        if (std::string_view(opt->name) == kHelp.name)
            parsed.help = true;
        else if (std::string_view(opt->name) == kVersion.name)
            parsed.version = true;
        else
            parsed.options.emplace_back(opt->name, opt->argument && optarg ? optarg : "");
    }
    for (int i = optind; i < argc; ++i)
        parsed.operands.push_back(argv[size_t(i)]);
    return parsed;
}

std::string Usage(const Program& program) {
    std::string text;
    std::string synopsis = program.synopsis;
    bool first = true;
    for (size_t pos = 0; pos < synopsis.size();) {
        size_t nl = synopsis.find('\n', pos);
        std::string line = synopsis.substr(pos, nl == std::string::npos ? nl : nl - pos);
        text += std::string(first ? "usage: " : "       ") + program.name + " " + line + "\n";
        first = false;
        pos = nl == std::string::npos ? synopsis.size() : nl + 1;
    }
    text += "options:\n";
    std::vector<Option> all(program.options.begin(), program.options.end());
    all.push_back(kHelp);
    all.push_back(kVersion);
    for (const Option& o : all) {
        std::string left = "  ";
        left += o.shortName ? std::string("-") + o.shortName + ", " : "    ";
        left += std::string("--") + o.name;
        if (o.argument)
            left += std::string(" ") + o.argument;
        if (left.size() < 28)
            left.resize(28, ' ');
        else
            left += "\n" + std::string(28, ' ');
        text += left + o.help + "\n";
    }
    text += program.footer;
    return text;
}

int Finish(const Program& program, const Parsed& parsed) {
    if (!parsed.error.empty()) {
        std::fprintf(stderr, "%s: %s\n%s", program.name, parsed.error.c_str(),
                     Usage(program).c_str());
        return kExitUsage;
    }
    if (parsed.help) {
        std::fputs(Usage(program).c_str(), stdout);
        return 0;
    }
    if (parsed.version) {
        std::printf("%s\n", VersionText(program.name).c_str());
        return 0;
    }
    return -1;
}

}  // namespace vsk::cli
