#include "server/command_line.h"

#include <strings.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>

#include "link/settings.h"
#include "platform/command_line.h"
#include "platform/text.h"
#include "rpc/type_library.h"
#include "server/certificate.h"
#include "server/register_detection.h"
#include "server/registration.h"
#include "server/serial_devices.h"

namespace vsk {

namespace {

using Action = ServerCommandLine::Action;

constexpr cli::Option kOptions[] = {
    {"headless", 0, nullptr, "no operator window"},
    {"listen", 0, "HOST:PORT", "also serve clients on TCP (port 0: any free port)"},
    {"token-file", 0, "PATH", "the token TCP and HTTP clients authenticate with"},
    {"http", 0, "HOST:PORT", "also serve the HTTP/JSON API (port 0: any free port)"},
    {"http-origin", 0, "ORIGIN", "a browser origin the HTTP API answers (repeatable)"},
    {"http-host", 0, "NAME",
     "a name the HTTP API is reached by besides its addresses, localhost and the computer's name "
     "(repeatable)"},
    {"ledger", 0, "PATH", "the receipts ledger (default: in the state folder)"},
    {"tls-cert", 0, "PATH",
     "serve the HTTP API and the TCP listener over TLS with this certificate (PEM)"},
    {"tls-key", 0, "PATH", "the certificate's private key (PEM)"},
    {"insecure", 0, nullptr, "allow plain HTTP and TCP off the loopback"},
    {"make-cert", 0, nullptr,
     "make a self-signed certificate and key for --tls-cert/--tls-key (or the default files), "
     "print its SHA-256 fingerprint"},
    {"no-instance-lock", 0, nullptr,
     "take no per-user lock (a server for one object of a single-use class)"},
    {"set-port", 0, "COMn=DEVICE", "map a port to a device (also: --set-port N DEVICE)"},
    {"unset-port", 0, "COMn", "remove a port's mapping"},
    {"list-ports", 0, nullptr, "the port mappings and the serial devices present"},
    {"config", 0, "NAME",
     "print a setting, or set it: --config NAME VALUE (an empty VALUE removes it); "
     "--config --list: every setting with its type, default and value"},
    {"detect", 0, nullptr,
     "find the registers on the devices named (none: every serial device present) that no "
     "program holds"},
    {"map", 0, nullptr, "with --detect: map the registers found that no port opens to free COMn"},
};

constexpr cli::Program kProgram{
    "vskmanager",
    "[-Embedding | -Automation | /Regserver | /Unregserver] [--headless]\n"
    "[--listen HOST:PORT] [--token-file PATH] [--http HOST:PORT] [--http-origin ORIGIN]\n"
    "[--http-host NAME] [--ledger PATH] [--tls-cert PATH --tls-key PATH | --insecure]\n"
    "--make-cert [--tls-cert PATH --tls-key PATH]\n"
    "--set-port COMn=DEVICE | --unset-port COMn | --list-ports\n"
    "--detect [--map] [DEVICE...]\n"
    "--config NAME [VALUE] | --config --list",
    kOptions,
    "Registration switches take / or - and any letter case: /Regserver, /RegserverPerUser,\n"
    "/Register, /RegisterPerUser, /Unregserver, /UnregserverPerUser, /Unregister,\n"
    "/UnregisterPerUser; -Embedding and -Automation (started by a client), -dde, /p, /pt.\n",
};

bool IsAnyOf(std::string_view name, std::initializer_list<const char*> names) {
    for (const char* n : names)
        if (EqualNoCase(name, n))
            return true;
    return false;
}

// A registration switch: '/' or a single '-' and one of the names the platform's servers
// accept. Anything else goes on to the options.
bool TakeWindowsSwitch(const std::string& word, ServerCommandLine& cl, bool* takesFiles) {
    if (word.size() < 2 || (word[0] != '/' && word[0] != '-') || word[1] == '-')
        return false;
    std::string name = word.substr(1);
    if (IsAnyOf(name, {"Embedding", "Automation"})) {
        cl.startedByAutomation = true;
        cl.userInControl = false;
    } else if (IsAnyOf(name, {"Regserver", "Register", "RegserverPerUser", "RegisterPerUser"})) {
        cl.action = Action::Register;
    } else if (IsAnyOf(name,
                       {"Unregserver", "Unregister", "UnregserverPerUser", "UnregisterPerUser"})) {
        cl.action = Action::Unregister;
    } else if (IsAnyOf(name, {"dde"})) {
        if (name == "dde")  // the lower-case spelling only
            cl.userInControl = false;
    } else if (IsAnyOf(name, {"p", "pt"})) {
        *takesFiles = true;  // print (to): a normal start, the files are not ours to print
    } else {
        return false;
    }
    return true;
}

std::optional<int> PortNumber(std::string n) {
    if (n.size() > 3 && strncasecmp(n.c_str(), "COM", 3) == 0)
        n.erase(0, 3);
    char* end = nullptr;
    long port = std::strtol(n.c_str(), &end, 10);
    if (n.empty() || *end || port <= 0 || port > 255)
        return std::nullopt;
    return int(port);
}

std::optional<std::string> TakeOperand(std::vector<std::string>& operands) {
    if (operands.empty())
        return std::nullopt;
    std::string first = operands.front();
    operands.erase(operands.begin());
    return first;
}

// --set-port and --unset-port: "N DEVICE", or the port's own name: "COMn=DEVICE" and "COMn".
// What is wrong with it; "" when it is taken.
std::string TakePortOption(const std::string& name, const std::string& value,
                           std::vector<std::string>& operands, ServerCommandLine& cl) {
    cl.action = name == "set-port" ? Action::SetPort : Action::UnsetPort;
    std::string n = value;
    std::optional<std::string> device;
    if (size_t eq = n.find('='); eq != std::string::npos) {
        device = n.substr(eq + 1);
        n.resize(eq);
    }
    auto port = PortNumber(n);
    if (!port)
        return "bad port number: " + n;
    cl.port = *port;
    if (cl.action == Action::SetPort) {
        if (!device)
            device = TakeOperand(operands);
        if (!device || device->empty())
            return "--set-port needs a device path";
        cl.devicePath = *device;
    } else if (device) {
        return "--unset-port takes a port, not a device";
    }
    return {};
}

// --config NAME [VALUE] and --config --list. What is wrong; "" when it is taken.
std::string TakeConfigOption(const std::string& value, std::vector<std::string>& operands,
                             ServerCommandLine& cl) {
    if (value == "--list") {
        cl.action = Action::ListConfig;
        return {};
    }
    const SettingSpec* spec = FindSetting(value);
    if (!spec) {
        std::vector<std::string> names;
        for (const SettingSpec& s : AllSettings())
            names.push_back(s.name);
        const std::string near = NearestName(value, names);
        return "unknown setting " + value +
               (near.empty() ? " (see --config --list)" : " (did you mean " + near + "?)");
    }
    cl.configName = spec->name;
    cl.action = Action::ShowConfig;
    if (auto v = TakeOperand(operands)) {
        if (std::string why = CheckSettingValue(*spec, *v); !why.empty())
            return "bad value: " + why;
        cl.action = Action::SetConfig;
        cl.configValue = *v;
    }
    return {};
}

// Every setting: its kind, default, stored value ("-" when unset) and help.
std::string DescribeSettings(const RegistryStore& reg) {
    std::string text;
    char line[160];
    std::snprintf(line, sizeof line, "%-19s %-20s %-8s %s\n", "NAME", "TYPE", "DEFAULT", "VALUE");
    text += line;
    for (const SettingSpec& spec : AllSettings()) {
        const auto stored = StoredSetting(spec.id);
        std::snprintf(line, sizeof line, "%-19s %-20s %-8s %s\n", spec.name, KindText(spec).c_str(),
                      *spec.defaultText ? spec.defaultText : "-", stored ? stored->c_str() : "-");
        text += line;
        text += std::string("    ") + spec.help + "\n";
    }
    text += "stored in " + reg.HiveFile(Hive::CurrentUser) + ", key " + kSettingsRoot +
            kCurrentConfig + " (see vskmanager(1))\n";
    return text;
}

}  // namespace

std::string ServerUsage() {
    return cli::Usage(kProgram);
}

ServerCommandLine ParseServerCommandLine(const std::vector<std::string>& args) {
    ServerCommandLine cl;
    std::vector<std::string> rest;
    bool takesFiles = false;
    for (const std::string& a : args)
        if (!TakeWindowsSwitch(a, cl, &takesFiles))
            rest.push_back(a);
    cli::Parsed p = cli::Parse(kProgram, rest);
    auto fail = [&](std::string why) {
        if (cl.error.empty())
            cl.error = std::move(why);
        return cl;
    };
    if (!p.error.empty())
        return fail(p.error);
    if (p.help) {
        cl.action = Action::Help;
        return cl;
    }
    if (p.version) {
        cl.action = Action::Version;
        return cl;
    }
    std::vector<std::string> operands = p.operands;
    int actions = cl.action == Action::Run ? 0 : 1;
    for (const auto& [name, value] : p.options) {
        if (name == "headless") {
            cl.headless = true;
        } else if (name == "listen") {
            cl.listen = value;
        } else if (name == "token-file") {
            cl.tokenFile = value;
        } else if (name == "http") {
            cl.http = value;
        } else if (name == "http-origin") {
            cl.httpOrigins.push_back(value);
        } else if (name == "http-host") {
            cl.httpHosts.push_back(value);
        } else if (name == "ledger") {
            cl.ledger = value;
        } else if (name == "tls-cert") {
            cl.tlsCert = value;
        } else if (name == "tls-key") {
            cl.tlsKey = value;
        } else if (name == "insecure") {
            cl.insecure = true;
        } else if (name == "make-cert") {
            ++actions;
            cl.action = Action::MakeCert;
        } else if (name == "no-instance-lock") {
            cl.instanceLock = false;
        } else if (name == "set-port" || name == "unset-port") {
            ++actions;
            if (std::string why = TakePortOption(name, value, operands, cl); !why.empty())
                return fail(why);
        } else if (name == "list-ports") {
            ++actions;
            cl.action = Action::ListPorts;
        } else if (name == "detect") {
            ++actions;
            cl.action = Action::Detect;
        } else if (name == "map") {
            cl.detectMap = true;
        } else if (name == "config") {
            ++actions;
            if (std::string why = TakeConfigOption(value, operands, cl); !why.empty())
                return fail(why);
        }
    }
    if (actions > 1)
        return fail(
            "give one of /Regserver, /Unregserver, --set-port, --unset-port, "
            "--list-ports, --detect, --config, --make-cert");
    if (cl.detectMap && cl.action != Action::Detect)
        return fail("--map goes with --detect");
    if (cl.action == Action::Detect) {
        cl.detectDevices = operands;
        operands.clear();
    }
    if (cl.tlsCert.empty() != cl.tlsKey.empty())
        return fail("give --tls-cert and --tls-key together");
    if (!operands.empty() && !takesFiles)
        return fail("unexpected argument " + operands.front());
    return cl;
}

int RunCommandLineAction(const ServerCommandLine& cl, RegistryStore& reg,
                         const std::string& modulePath) {
    switch (cl.action) {
        case Action::Help:
            std::fputs(ServerUsage().c_str(), stdout);
            return 0;
        case Action::Version:
            std::printf("%s\n", cli::VersionText("vskmanager").c_str());
            return 0;
        case Action::Register:
            return RegisterServer(reg, modulePath) ? 0 : 1;
        case Action::Unregister:
            return UnregisterServer(reg) ? 0 : 1;
        case Action::SetPort: {
            // Stored all the same: the adapter may simply not be plugged in yet.
            struct stat st;
            if (stat(cl.devicePath.c_str(), &st) != 0)
                std::fprintf(stderr,
                             "vskmanager: warning: %s does not exist (now); COM%d is mapped "
                             "to it all the same\n",
                             cl.devicePath.c_str(), cl.port);
            return SetPortMapping(reg, cl.port, cl.devicePath) ? 0 : 1;
        }
        case Action::UnsetPort:
            return UnsetPortMapping(reg, cl.port) ? 0 : 1;
        case Action::ListPorts:
            std::fputs(DescribePorts(ListPortMappings(reg), SystemRoot()).c_str(), stdout);
            return 0;
        case Action::Detect:
            return RunDetection(cl.detectDevices, cl.detectMap, reg);
        case Action::ShowConfig:
        case Action::SetConfig: {
            const SettingSpec* spec = FindSetting(cl.configName);
            if (!spec)
                return 1;
            if (cl.action == Action::SetConfig)
                return WriteSetting(spec->id, cl.configValue) ? 0 : 1;
            std::printf("%s\n", TextSetting(spec->id).c_str());
            return 0;
        }
        case Action::ListConfig:
            std::fputs(DescribeSettings(reg).c_str(), stdout);
            return 0;
        case Action::MakeCert: {
            const std::string cert = cl.tlsCert.empty() ? DefaultCertPath() : cl.tlsCert;
            const std::string key = cl.tlsKey.empty() ? DefaultKeyPath() : cl.tlsKey;
            std::string fingerprint, error;
            if (!MakeCertificate(cert, key, &fingerprint, &error)) {
                std::fprintf(stderr, "vskmanager: %s\n", error.c_str());
                return 1;
            }
            std::printf("certificate %s\nkey %s\nSHA-256 fingerprint %s\n", cert.c_str(),
                        key.c_str(), fingerprint.c_str());
            return 0;
        }
        case Action::Run:
            break;
    }
    return -1;
}

}  // namespace vsk
