// vskctl: a command-line client of the automation server. Creates a Veskar object (locally, or
// on a server's TCP listener), or with --progid VSKManager.Application the scripting proxy,
// optionally binds it to a port with Init, and calls any member by name with arguments typed
// from the type library; prints the HRESULT and the out value.
#include <netdb.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "client/client.h"
#include "ledger/ledger.h"
#include "platform/command_line.h"
#include "platform/text.h"
#include "rpc/host_port.h"
#include "rpc/type_library.h"

namespace {

using namespace vsk;

constexpr cli::Option kOptions[] = {
    {"progid", 0, "PROGID",
     "the class to create: VSKManager.Veskar (default) or VSKManager.Application (plain "
     "results; a property alone is read, a property with one argument is written)"},
    {"port", 0, "N", "call Init(N, cashier, password, status, app) first"},
    {"cashier", 0, "NAME", "the cashier for Init"},
    {"password", 0, "TEXT", "the cashier's password for Init"},
    {"app", 0, "NAME", "the calling application's name for Init (default vskctl)"},
    {"status", 0, nullptr, "let Init show the status window"},
    {"host", 0, "HOST:PORT", "create the object on a server's TCP listener"},
    {"token-file", 0, "PATH", "the token for --host"},
    {"tls-ca", 0, "FILE",
     "with --host: speak TLS and trust a server whose certificate these CAs (PEM) signed for "
     "that host (default: $VSK_TLS_CA)"},
    {"tls-fingerprint", 0, "HEX",
     "with --host: speak TLS and trust the server whose certificate has this SHA-256 "
     "fingerprint (default: $VSK_TLS_FINGERPRINT)"},
    {"insecure", 0, nullptr,
     "with --host: allow plain TCP to a host off this computer (the token in clear text)"},
    {"script", 0, "FILE", "one call per line: METHOD ARG... (# comments)"},
    {"keep-going", 0, nullptr, "in a script, go on after a failed call"},
    {"list", 0, nullptr, "print the type library (or one METHOD of it) and exit"},
    {"ledger", 0, nullptr,
     "print the receipts ledger as CSV (of --port N only, since --since TIME) and exit"},
    {"since", 0, "TIME", "with --ledger: receipts from this UTC time on (YYYY-MM-DD[THH:MM:SS])"},
    {"lines", 0, nullptr,
     "with --ledger: the sale lines instead, one a row (receipt,line,name,quantity,price,sum)"},
    {"ledger-file", 0, "PATH", "with --ledger or --settle: the ledger file (default: the user's)"},
    {"settle", 0, "ROW",
     "record that the ledger's receipt ROW, whose end is unknown, was in fact closed or "
     "cancelled (the decision follows: --settle ROW closed|cancelled); prints the row"},
    {"health", 0, "HOST:PORT",
     "print the health report of the server's HTTP API at HOST:PORT; exit 1 when unhealthy"},
};

constexpr cli::Program kProgram{
    "vskctl",
    "[options] METHOD [ARG...]\n[options] --script FILE\n--list [METHOD]\n"
    "--ledger [--lines] [--port N] [--since TIME] [--ledger-file PATH]\n"
    "[--ledger-file PATH] --settle ROW closed|cancelled\n--health HOST:PORT",
    kOptions,
    "Arguments: long as decimal, DATE as days since 1899-12-30 or YYYY-MM-DD[THH:MM:SS],\n"
    "BSTR as given (UTF-8). A failed call exits with status 1 and says why on stderr.\n",
    true,
};

std::u16string Wide(const std::string& s) {
    auto w = Utf8ToUtf16(s);
    return w ? *w : std::u16string();
}

std::optional<double> ParseDate(const std::string& text) {
    char* end = nullptr;
    double days = std::strtod(text.c_str(), &end);
    if (!text.empty() && *end == '\0')
        return days;
    int y, mo, d, h = 0, mi = 0, s = 0;
    if (std::sscanf(text.c_str(), "%d-%d-%d%*[T ]%d:%d:%d", &y, &mo, &d, &h, &mi, &s) < 3)
        return std::nullopt;
    std::tm tm{};
    tm.tm_year = y - 1900;
    tm.tm_mon = mo - 1;
    tm.tm_mday = d;
    time_t t = timegm(&tm);  // midnight UTC of that day
    // 1899-12-30 is 25569 days before 1970-01-01.
    return std::floor(double(t) / 86400.0) + 25569.0 + (h * 3600 + mi * 60 + s) / 86400.0;
}

bool ConvertArg(const std::string& text, const ParamDesc& p, VARIANT* out, std::string* error) {
    switch (p.type) {
        case VarType::Long: {
            char* end = nullptr;
            errno = 0;
            long long v = std::strtoll(text.c_str(), &end, 10);
            if (text.empty() || *end || errno || v < INT32_MIN || v > INT32_MAX) {
                *error = std::string(p.name) + ": not a 32-bit integer: " + text;
                return false;
            }
            *out = VARIANT::FromLong(LONG(v));
            return true;
        }
        case VarType::Date: {
            auto d = ParseDate(text);
            if (!d) {
                *error = std::string(p.name) + ": not a date: " + text;
                return false;
            }
            *out = VARIANT::FromDate(*d);
            return true;
        }
        case VarType::Bstr:
            if (!IsValidUtf8(text)) {
                *error = std::string(p.name) + ": not UTF-8 text";
                return false;
            }
            *out = VARIANT::FromBstr(Wide(text));
            return true;
    }
    return false;
}

// `plain`: a member of IVSKManager, which returns its value itself.
void PrintSignature(const MemberDesc& m, bool plain) {
    if (m.kind == MemberKind::Property) {
        std::printf("%2d  property %s %s\n", m.dispid, VarTypeName(m.result), m.name);
        return;
    }
    std::printf("%2d  %s(", m.dispid, m.name);
    bool first = true;
    for (const ParamDesc& p : m.Params()) {
        std::printf("%s%s%s%s %s", first ? "" : ", ",
                    p.dir == ParamDir::RetVal ? "[out, retval] " : "", VarTypeName(p.type),
                    p.dir == ParamDir::RetVal ? "*" : "", p.name);
        first = false;
    }
    if (plain)
        std::printf(") -> %s\n", VarTypeName(m.result));
    else
        std::printf(")\n");
}

// The class a ProgID or CLSID names, and the interface its objects speak.
struct Target {
    std::string clsid;
    const ITypeInfo* info;
};

std::optional<Target> FindTarget(const std::string& progId) {
    const auto guid = GuidFromString(progId);
    if (EqualNoCase(progId, typelib::kVeskarProgId) ||
        EqualNoCase(progId, typelib::kVeskarVersionIndependentProgId) ||
        (guid && *guid == typelib::CLSID_Veskar))
        return Target{GuidToString(typelib::CLSID_Veskar), &typelib::VeskarTypeInfo()};
    if (EqualNoCase(progId, typelib::kManagerProgId) ||
        (guid && *guid == typelib::CLSID_VSKManager))
        return Target{GuidToString(typelib::CLSID_VSKManager), &typelib::ManagerTypeInfo()};
    return std::nullopt;
}

// Says that `name` is no member of `interfaces`, with the nearest name there is.
void SayNoMember(const std::string& name, const std::vector<const ITypeInfo*>& interfaces) {
    std::vector<std::string> names;
    for (const ITypeInfo* info : interfaces)
        for (const MemberDesc& m : info->members)
            names.push_back(m.name);
    const std::string near = NearestName(name, names);
    std::string where;
    for (const ITypeInfo* info : interfaces)
        where += std::string(where.empty() ? "" : " or ") + info->name;
    std::fprintf(stderr, "vskctl: no method %s in %s%s\n", name.c_str(), where.c_str(),
                 near.empty() ? " (try --list)" : ("; did you mean " + near + "?").c_str());
}

// One interface, or (no --progid) both: IVeskar of VSKManager.Veskar and IVSKManager of
// VSKManager.Application.
int List(const std::vector<const ITypeInfo*>& interfaces, const char* only) {
    if (only) {
        for (const ITypeInfo* info : interfaces) {
            if (const MemberDesc* m = info->FindByName(only)) {
                PrintSignature(*m, !info->dual);
                std::printf("    %s\n", m->help);
                return 0;
            }
        }
        SayNoMember(only, interfaces);
        return 2;
    }
    std::printf("library %s %s %d.%d\n", typelib::kLibraryName,
                GuidToString(typelib::LIBID_VSKManager).c_str(), typelib::kVersionMajor,
                typelib::kVersionMinor);
    for (const ITypeInfo* info : interfaces) {
        std::printf("interface %s %s \"%s\"\n", info->name, GuidToString(info->iid).c_str(),
                    info->help);
        for (const MemberDesc& m : info->members)
            PrintSignature(m, !info->dual);
    }
    return 0;
}

// Splits a script line into words; double quotes group, backslash escapes inside them.
std::vector<std::string> SplitLine(const std::string& line) {
    std::vector<std::string> words;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t'))
            ++i;
        if (i >= line.size() || line[i] == '#')
            break;
        std::string w;
        if (line[i] == '"') {
            for (++i; i < line.size() && line[i] != '"'; ++i) {
                if (line[i] == '\\' && i + 1 < line.size())
                    ++i;
                w += line[i];
            }
            ++i;
        } else {
            while (i < line.size() && line[i] != ' ' && line[i] != '\t')
                w += line[i++];
        }
        words.push_back(w);
    }
    return words;
}

// Prints "Name: HRESULT (hex)" and the value. Returns the HRESULT.
HRESULT Report(CRemoteObject* obj, const char* name, HRESULT hr, const std::string& message,
               const VARIANT& result) {
    std::printf("%s: %s (0x%08X)\n", name, HResultName(hr).c_str(), uint32_t(hr));
    if (!message.empty() && FAILED(hr))
        std::printf("  %s\n", message.c_str());
    if (const FailureDetail& why = obj->LastFailure(); FAILED(hr) && !why.code.empty())
        std::fprintf(stderr, "vskctl: %s failed: %s: %s\n", name, why.code.c_str(),
                     why.message.c_str());
    switch (result.vt()) {
        case VT_I4:
            std::printf("  value = %d\n", result.lVal());
            break;
        case VT_BSTR:
            std::printf("  value = %s\n", Utf16ToUtf8(result.bstrVal()).c_str());
            break;
        case VT_R8:
        case VT_DATE:
            std::printf("  value = %g\n", result.dblVal());
            break;
        default:
            break;
    }
    std::fflush(stdout);
    return hr;
}

// One call; prints "HRESULT (hex)" and the out value. Returns the HRESULT.
HRESULT Call(CRemoteObject* obj, const ITypeInfo& info, const std::vector<std::string>& words) {
    const MemberDesc* m = info.FindByName(words[0]);
    if (!m) {
        std::fprintf(stderr, "vskctl: no member %s in %s (try --list)\n", words[0].c_str(),
                     info.name);
        return DISP_E_UNKNOWNNAME;
    }
    if (m->kind == MemberKind::Property) {
        if (words.size() > 2) {
            std::fprintf(stderr, "vskctl: %s is read alone or written with one value\n", m->name);
            return DISP_E_BADPARAMCOUNT;
        }
        std::vector<VARIANT> args;
        if (words.size() == 2) {
            VARIANT v;
            std::string error;
            if (!ConvertArg(words[1], ParamDesc{m->name, m->result, ParamDir::In}, &v, &error)) {
                std::fprintf(stderr, "vskctl: %s\n", error.c_str());
                return DISP_E_TYPEMISMATCH;
            }
            args.push_back(std::move(v));
        }
        VARIANT result;
        std::string message;
        const InvokeKind kind = args.empty() ? InvokeKind::PropertyGet : InvokeKind::PropertyPut;
        HRESULT hr = obj->InvokeByName(m->name, kind, args, &result, &message);
        return Report(obj, m->name, hr, message, result);
    }
    if (int(words.size() - 1) != m->InputCount()) {
        std::fprintf(stderr, "vskctl: %s takes %d argument(s):\n", m->name, m->InputCount());
        PrintSignature(*m, !info.dual);
        return DISP_E_BADPARAMCOUNT;
    }
    std::vector<VARIANT> args;
    for (int i = 0; i < m->InputCount(); ++i) {
        VARIANT v;
        std::string error;
        if (!ConvertArg(words[size_t(i) + 1], m->params[i], &v, &error)) {
            std::fprintf(stderr, "vskctl: %s\n", error.c_str());
            return DISP_E_TYPEMISMATCH;
        }
        args.push_back(std::move(v));
    }
    VARIANT result;
    std::string message;
    HRESULT hr = obj->InvokeByName(m->name, InvokeKind::Method, args, &result, &message);
    return Report(obj, m->name, hr, message, result);
}

// An operator's decision on a receipt the register could not settle. The only write vskctl
// makes to the ledger, to a file that is there already.
int Settle(const cli::Parsed& parsed) {
    const std::string rowText = parsed.Value("settle");
    char* end = nullptr;
    const long long row = std::strtoll(rowText.c_str(), &end, 10);
    const std::string decision = parsed.operands.size() == 1 ? parsed.operands[0] : "";
    if (rowText.empty() || *end != '\0' || row < 1 ||
        (decision != "closed" && decision != "cancelled")) {
        std::fprintf(stderr, "vskctl: --settle takes a row number and closed or cancelled\n");
        return cli::kExitUsage;
    }
    const std::string path = parsed.Value("ledger-file", CLedger::DefaultPath());
    if (access(path.c_str(), F_OK) != 0) {
        std::fprintf(stderr, "vskctl: there is no receipts ledger %s\n", path.c_str());
        return 1;
    }
    CLedger ledger;
    std::string report;
    if (!ledger.Open(path, &report)) {
        std::fprintf(stderr, "vskctl: %s\n", report.c_str());
        return 1;
    }
    if (!report.empty())
        std::fprintf(stderr, "vskctl: %s\n", report.c_str());
    const passwd* pw = getpwuid(getuid());
    const std::string user = pw ? pw->pw_name : std::to_string(getuid());
    std::string error;
    if (!ledger.SettleByOperator(row, decision, user, &error)) {
        std::fprintf(stderr, "vskctl: %s\n", error.c_str());
        return 1;
    }
    const std::string csv = CLedger::Csv({*ledger.Receipt(row)});
    std::fwrite(csv.data(), 1, csv.size(), stdout);
    return 0;
}

// A plain GET on the loopback's HTTP API; the status (0: no answer) and the body.
int HttpGet(const std::string& hostPort, const std::string& path, std::string* body) {
    const auto address = SplitHostPort(hostPort);
    if (!address)
        return 0;
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    if (getaddrinfo(address->host.c_str(), address->port.c_str(), &hints, &res) != 0)
        return 0;
    int fd = socket(res->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    timeval timeout{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    const bool connected = fd >= 0 && connect(fd, res->ai_addr, res->ai_addrlen) == 0;
    freeaddrinfo(res);
    if (!connected) {
        if (fd >= 0)
            close(fd);
        return 0;
    }
    const std::string request =
        "GET " + path + " HTTP/1.1\r\nHost: " + hostPort + "\r\nConnection: close\r\n\r\n";
    std::string all;
    if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) == ssize_t(request.size())) {
        char buf[4096];
        for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;)
            all.append(buf, size_t(n));
    }
    close(fd);
    const size_t split = all.find("\r\n\r\n");
    if (all.rfind("HTTP/1.", 0) != 0 || split == std::string::npos || all.size() < 12)
        return 0;
    *body = all.substr(split + 4);
    return std::atoi(all.c_str() + 9);
}

}  // namespace

int main(int argc, char** argv) {
    cli::Parsed parsed = cli::Parse(kProgram, std::vector<std::string>(argv + 1, argv + argc));
    if (int status = cli::Finish(kProgram, parsed); status >= 0)
        return status;
    std::optional<Target> target;
    if (parsed.Has("progid")) {
        target = FindTarget(parsed.Value("progid"));
        if (!target) {
            std::fprintf(stderr, "vskctl: unknown class %s\n", parsed.Value("progid").c_str());
            return cli::kExitUsage;
        }
    }
    if (parsed.Has("list")) {
        const char* only = parsed.operands.empty() ? nullptr : parsed.operands[0].c_str();
        if (target)
            return List({target->info}, only);
        return List({&typelib::VeskarTypeInfo(), &typelib::ManagerTypeInfo()}, only);
    }
    if (parsed.Has("health")) {
        std::string body;
        const int status = HttpGet(parsed.Value("health"), "/v1/health", &body);
        if (status == 0) {
            std::fprintf(stderr, "vskctl: no HTTP API answers at %s\n",
                         parsed.Value("health").c_str());
            return 1;
        }
        std::printf("%s\n", body.c_str());
        return status == 200 ? 0 : 1;
    }
    // A port is a number from 1; anything else would quietly become port 0 (no port at all,
    // or every port of the ledger).
    int port = 0;
    if (parsed.Has("port")) {
        const std::string text = parsed.Value("port");
        char* end = nullptr;
        const long n = std::strtol(text.c_str(), &end, 10);
        if (text.empty() || *end != '\0' || n < 1 || n > 9999) {
            std::fprintf(stderr, "vskctl: --port takes a port number from 1 to 9999, not '%s'\n",
                         text.c_str());
            return cli::kExitUsage;
        }
        port = int(n);
    }
    if (parsed.Has("settle"))
        return Settle(parsed);
    if (parsed.Has("ledger")) {
        const std::string since = parsed.Value("since");
        if (!CLedger::ValidSince(since)) {
            std::fprintf(stderr,
                         "vskctl: --since takes a UTC date or time, YYYY-MM-DD[THH:MM[:SS]][Z], "
                         "not '%s'\n",
                         since.c_str());
            return cli::kExitUsage;
        }
        CLedger ledger;
        std::string report;
        if (!ledger.OpenForReading(parsed.Value("ledger-file", CLedger::DefaultPath()), &report)) {
            std::fprintf(stderr, "vskctl: %s\n", report.c_str());
            return 1;
        }
        // Page by page to the end, however long the ledger has grown.
        std::vector<LedgerReceipt> rows;
        for (int64_t after = 0;;) {
            auto page = ledger.Receipts(port, since, 10000, after);
            if (page.empty())
                break;
            after = page.back().id;
            rows.insert(rows.end(), std::make_move_iterator(page.begin()),
                        std::make_move_iterator(page.end()));
        }
        const std::string csv = parsed.Has("lines") ? CLedger::CsvLines(rows) : CLedger::Csv(rows);
        std::fwrite(csv.data(), 1, csv.size(), stdout);
        return 0;
    }
    const bool status = parsed.Has("status"), keepGoing = parsed.Has("keep-going");
    const std::string cashier = parsed.Value("cashier"), password = parsed.Value("password"),
                      app = parsed.Value("app", "vskctl"), host = parsed.Value("host"),
                      tokenFile = parsed.Value("token-file"), script = parsed.Value("script");
    const std::vector<std::string>& args = parsed.operands;
    const size_t i = 0;
    std::vector<std::vector<std::string>> calls;
    if (!script.empty()) {
        std::ifstream in(script);
        if (!in) {
            std::fprintf(stderr, "vskctl: cannot read %s\n", script.c_str());
            return 2;
        }
        for (std::string line; std::getline(in, line);)
            if (auto words = SplitLine(line); !words.empty())
                calls.push_back(words);
    } else if (i < args.size()) {
        calls.emplace_back(args.begin() + long(i), args.end());
    }
    if (calls.empty() && port == 0) {
        std::fputs(cli::Usage(kProgram).c_str(), stderr);
        return cli::kExitUsage;
    }

    if (!target)
        target = FindTarget(typelib::kVeskarProgId);
    // Every name is known before any register is bound: a slip of the fingers in the last line
    // of a script must not leave a receipt half sold.
    for (const auto& words : calls) {
        if (!target->info->FindByName(words[0])) {
            SayNoMember(words[0], {target->info});
            return cli::kExitUsage;
        }
    }
    IDispatch* obj = nullptr;
    const std::string& clsid = target->clsid;
    TlsTrust trust = TlsTrust::FromEnvironment();
    trust.caFile = parsed.Value("tls-ca", trust.caFile);
    trust.fingerprint = parsed.Value("tls-fingerprint", trust.fingerprint);
    trust.insecure = parsed.Has("insecure");
    HRESULT hr = host.empty() ? CreateInstance(clsid, &obj)
                              : CreateInstanceEx(clsid, host, &obj, tokenFile, trust);
    if (FAILED(hr)) {
        std::fprintf(
            stderr, "vskctl: cannot create the %s object: %s (0x%08X)\n",
            target->info == &typelib::VeskarTypeInfo() ? "Veskar" : typelib::kManagerProgId,
            HResultName(hr).c_str(), uint32_t(hr));
        if (std::string why = ActivationError(); !why.empty())
            std::fprintf(stderr, "vskctl: %s\n", why.c_str());
        return 1;
    }
    auto* remote = static_cast<CRemoteObject*>(obj);
    int exitCode = 0;
    if (port != 0) {
        hr = Call(remote, *target->info,
                  {"Init", std::to_string(port), cashier, password, status ? "1" : "0", app});
        if (FAILED(hr))
            exitCode = 1;
    }
    for (const auto& words : calls) {
        if (exitCode != 0 && !keepGoing)
            break;
        if (FAILED(Call(remote, *target->info, words)))
            exitCode = 1;
    }
    obj->Release();
    return exitCode;
}
