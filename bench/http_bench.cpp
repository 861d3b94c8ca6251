// The HTTP API against the socket, measured in the same run against the same register program:
//
//   - a whole receipt (10 lines unless --lines) as one POST /v1/ports/1/receipts, and the same
//     receipt as a socket client sells it on an object it keeps bound (LockPrinter, OpenCheck,
//     the lines, GetCheckSum, CloseCheckEx, GetCheckResult, UnlockPrinter): the mean of each
//     and their ratio; and the first HTTP receipt alone, which binds the port;
//   - GetPortNumber of an unbound object, p50 and p99, over a kept-alive HTTP connection in a
//     session and over the socket;
//   - what the ledger adds per receipt: its row written before the opening and completed at
//     the end (two transactions with synchronous=FULL) and its lines as they print, on the
//     state folder's file system;
//   - GET /v1/status with a ledger of 200,000 receipts beside one of 100 (the same mix of ends,
//     a few in doubt far back): the mean of each and their ratio, and how long opening the
//     large ledger takes (the first time, when it gains its index of the rows in doubt, and
//     again).
//   - a till's /v1/health and whole receipt, p50 and p99, with no load and under crowds of
//     another user (idle connections, header trickles, event streams read and unread; as
//     root, which can play that user), as ratios to the unloaded figures.
//
//   http_bench [--receipts N] [--calls N] [--lines N]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <sqlite3.h>

#include "bench/process_support.h"
#include "client/client.h"
#include "ledger/ledger.h"
#include "rpc/runtime_paths.h"
#include "tests/e2e/http_crowd_launch.h"

// Without the crowd program (no end-to-end tests built) the crowds are skipped.
#ifndef VSK_CROWD_PATH
#define VSK_CROWD_PATH ""
#endif

namespace {

using namespace vsk;
using Clock = std::chrono::steady_clock;

double Us(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

double Percentile(std::vector<double> v, double p) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(p * double(v.size())))];
}

// One kept-alive HTTP/1.1 connection.
class HttpConnection {
public:
    explicit HttpConnection(int port) : m_host("Host: 127.0.0.1:" + std::to_string(port)) {
        m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(uint16_t(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int one = 1;
        setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (connect(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            close(m_fd);
            m_fd = -1;
        }
    }
    ~HttpConnection() {
        if (m_fd >= 0)
            close(m_fd);
    }
    // The status (0: the connection failed); the body in *body.
    int Post(const std::string& path, const std::string& body, const std::string& headers,
             std::string* reply) {
        return Exchange("POST " + path + " HTTP/1.1\r\n" + m_host + "\r\n" + headers +
                            "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body,
                        reply);
    }
    int Get(const std::string& path, std::string* reply) {
        return Exchange("GET " + path + " HTTP/1.1\r\n" + m_host + "\r\n\r\n", reply);
    }

private:
    int Exchange(const std::string& request, std::string* reply) {
        if (m_fd < 0 ||
            send(m_fd, request.data(), request.size(), MSG_NOSIGNAL) != ssize_t(request.size()))
            return 0;
        size_t end;
        while ((end = m_in.find("\r\n\r\n")) == std::string::npos)
            if (!Fill())
                return 0;
        const std::string head = m_in.substr(0, end);
        // Found by hand: building a std::regex for each answer would cost more than the call
        // being measured.
        std::string lower = head;
        for (char& c : lower)
            c = char(std::tolower(static_cast<unsigned char>(c)));
        const size_t field = lower.find("\r\ncontent-length:");
        const size_t length =
            field == std::string::npos ? 0 : std::strtoul(head.c_str() + field + 17, nullptr, 10);
        while (m_in.size() < end + 4 + length)
            if (!Fill())
                return 0;
        *reply = m_in.substr(end + 4, length);
        m_in.erase(0, end + 4 + length);
        return std::atoi(head.c_str() + 9);
    }
    bool Fill() {
        char buf[8192];
        ssize_t n = read(m_fd, buf, sizeof buf);
        if (n <= 0)
            return false;
        m_in.append(buf, size_t(n));
        return true;
    }
    std::string m_host;  // the Host line the listener answers
    int m_fd = -1;
    std::string m_in;
};

vsk::IVeskar* SocketObject() {
    vsk::ActivationOptions options;
    options.allowStart = false;
    vsk::IDispatch* object = nullptr;
    if (vsk::CreateInstance(vsk::GuidToString(vsk::typelib::CLSID_Veskar), &object, options) !=
        S_OK)
        return nullptr;
    vsk::IVeskar* veskar = nullptr;
    vsk::QueryVeskar(object, &veskar);
    object->Release();
    return veskar;
}

const char* const kNames[] = {"Хліб", "Молоко", "Сир"};

// The socket client's receipt on an object it keeps bound between receipts, as a till does.
bool SocketReceipt(vsk::IVeskar* v, int lines) {
    LONG sum = 0, closing = 0;
    std::u16string result;
    bool ok = v->LockPrinter(10000) == S_OK && v->OpenCheck(u"1") == S_OK;
    for (int i = 0; ok && i < lines; ++i)
        ok = v->FiscalLineEx(vsk::Utf8ToUtf16(kNames[i % 3]).value(), 1, 100 + i, 0, 1, 0, 0, 0,
                             u"", 0, &sum) == S_OK;
    LONG total = 0;
    ok = ok && v->GetCheckSum(&total) == S_OK &&
         v->CloseCheckEx(1000 * lines, 0, 0, 0, &closing) == S_OK && closing > 0 &&
         v->GetCheckResult(&result) == S_OK;
    v->UnlockPrinter();
    return ok;
}

std::string HttpReceiptBody(int lines) {
    std::string list;
    for (int i = 0; i < lines; ++i)
        list += std::string(i ? "," : "") + R"({"name":")" + kNames[i % 3] +
                R"(","quantity":1,"price":)" + std::to_string(100 + i) + "}";
    return R"({"cashier":"Anna","password":"0000000000","client":"bench","lines":[)" + list +
           R"(],"payments":{"cash":)" + std::to_string(1000 * lines) + "}}";
}

// The port of the HTTP API a server just started says in `out` (0: none within 5 s).
int HttpPortOf(const std::string& out) {
    int port = 0;
    for (int i = 0; i < 500 && port == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::ifstream in(out);
        std::string text((std::istreambuf_iterator<char>(in)), {});
        std::smatch m;
        if (std::regex_search(text, m, std::regex("HTTP API on http://[^ ]*:([0-9]+)")))
            port = std::stoi(m[1].str());
    }
    return port;
}

// A ledger of `rows` closed receipts of two lines, the 7th and every 50,000th after it in
// doubt, written in one transaction into a file the ledger made (as rows the server wrote);
// `oldFile`: without the index of the rows in doubt, as a file an earlier server left.
bool MakeLedger(const std::string& path, int rows, bool oldFile) {
    {
        vsk::CLedger ledger;
        std::string report;
        if (!ledger.Open(path, &report))
            return false;
    }
    sqlite3* db = nullptr;
    const std::string sql =
        std::string("BEGIN;") +
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " +
        std::to_string(rows) +
        ") INSERT INTO receipts(time, port, client, kind, lines, payments, number, total,"
        " end_state, error, ended_at, cashier, serial, number_before)"
        " SELECT strftime('%Y-%m-%dT%H:%M:%SZ', 1700000000 + i * 60, 'unixepoch'), 1, 'till',"
        " 'sale', '[{\"name\":\"Хліб\",\"quantity\":1000,\"price\":2410,\"sum\":2410},"
        "{\"name\":\"Молоко\",\"quantity\":1000,\"price\":3450,\"sum\":3450}]',"
        " '{\"cash\":10000}', CASE WHEN i % 50000 = 7 THEN 0 ELSE i END, 5860,"
        " CASE WHEN i % 50000 = 7 THEN 'unknown' ELSE 'closed' END,"
        " CASE WHEN i % 50000 = 7 THEN 'no answer to the closing' ELSE '' END,"
        " strftime('%Y-%m-%dT%H:%M:%SZ', 1700000000 + i * 60 + 5, 'unixepoch'), 'Anna',"
        " '0123456789', i - 1 FROM n;" +
        (oldFile ? "DROP INDEX IF EXISTS receipts_unknown;" : "") + "COMMIT;";
    const bool ok = sqlite3_open(path.c_str(), &db) == SQLITE_OK &&
                    sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(db);
    return ok;
}

// A server on `ledgerPath` with a runtime folder of its own, so that two serve side by side;
// its HTTP port (0: it did not start) in *port.
pid_t StatusServer(const std::string& dir, const std::string& name, const std::string& ledgerPath,
                   int* port) {
    const std::string run = dir + "/run-" + name, out = dir + "/" + name + "-server.out";
    mkdir(run.c_str(), 0700);
    const std::string shared = std::getenv("XDG_RUNTIME_DIR");
    setenv("XDG_RUNTIME_DIR", run.c_str(), 1);
    const pid_t server = vskbench::Spawn(
        {VSK_SERVER_PATH, "--headless", "--http", "127.0.0.1:0", "--ledger", ledgerPath},
        out.c_str());
    setenv("XDG_RUNTIME_DIR", shared.c_str(), 1);
    *port = HttpPortOf(out);
    return server;
}

// The status page's cost against the ledger's size, in one run: two servers side by side, one
// on each ledger, asked in turns so that whatever else the machine does weighs on both alike.
void StatusAgainstLedgerSize(const std::string& dir, int calls) {
    const int bigRows = 200000;
    const std::string small = dir + "/state/small-ledger.sqlite",
                      big = dir + "/state/big-ledger.sqlite";
    auto t0 = Clock::now();
    if (!MakeLedger(small, 100, false) || !MakeLedger(big, bigRows, true)) {
        std::fprintf(stderr, "http_bench: the ledgers for the status could not be made\n");
        return;
    }
    const double madeMs = Us(Clock::now() - t0) / 1000;
    double openMs[2] = {0, 0};
    for (double& ms : openMs) {
        vsk::CLedger ledger;
        std::string report;
        t0 = Clock::now();
        ledger.Open(big, &report);
        ms = Us(Clock::now() - t0) / 1000;
    }
    std::printf(
        "ledger of %d receipts made in %.0f ms; opened in %.0f ms the first time (its index of"
        " the receipts in doubt made), %.0f ms again\n",
        bigRows, madeMs, openMs[0], openMs[1]);
    int smallPort = 0, bigPort = 0;
    const pid_t servers[] = {StatusServer(dir, "small", small, &smallPort),
                             StatusServer(dir, "big", big, &bigPort)};
    if (smallPort != 0 && bigPort != 0) {
        HttpConnection toSmall(smallPort), toBig(bigPort);
        std::vector<double> smallUs, bigUs;
        std::string reply;
        bool ok = true;
        auto ask = [&](HttpConnection& http, std::vector<double>* us, bool keep) {
            const auto t0 = Clock::now();
            ok = http.Get("/v1/status", &reply) == 200 && ok;
            if (keep)
                us->push_back(Us(Clock::now() - t0));
        };
        // Either first by turns; the first ones warm both up.
        for (int i = 0; i < calls + 20; ++i) {
            ask(i % 2 ? toBig : toSmall, i % 2 ? &bigUs : &smallUs, i >= 20);
            ask(i % 2 ? toSmall : toBig, i % 2 ? &smallUs : &bigUs, i >= 20);
        }
        auto mean = [](const std::vector<double>& v) {
            double sum = 0;
            for (double x : v)
                sum += x;
            return sum / double(v.size());
        };
        std::printf(
            "GET /v1/status, %d each in turns: %d receipts p50 %.0f us (mean %.0f), 100 receipts"
            " p50 %.0f us (mean %.0f); ratio p50 %.2f, mean %.2f%s\n",
            calls, bigRows, Percentile(bigUs, 0.5), mean(bigUs), Percentile(smallUs, 0.5),
            mean(smallUs), Percentile(bigUs, 0.5) / Percentile(smallUs, 0.5),
            mean(bigUs) / mean(smallUs), ok ? "" : " (with failures)");
    } else {
        std::fprintf(stderr, "http_bench: the servers for the status did not start\n");
    }
    for (pid_t server : servers) {
        kill(server, SIGTERM);
        waitpid(server, nullptr, 0);
    }
}

// The server's bearer token, which a crowd of another user presents.
std::string Token() {
    std::string error;
    return vsk::ReadTokenFile(vsk::DefaultTokenFile(), &error).value_or("");
}

// A crowd of another user (vsk-http-crowd, as nobody: a crowd of the bench's own user would be
// the bench's own peer) holding one load for `holdMs`; killed when it goes.
class Crowd {
public:
    Crowd(const char* kind, int port, int count, int holdMs) {
        int out = -1;
        m_pid = vske2e::LaunchCrowd(VSK_CROWD_PATH,
                                    {VSK_CROWD_PATH, kind, std::to_string(port),
                                     std::to_string(count), std::to_string(holdMs), Token()},
                                    65534, &out);
        if (m_pid < 0)
            return;
        m_out = fdopen(out, "r");
        char line[256];
        m_ready = m_out && fgets(line, sizeof line, m_out) && !std::strcmp(line, "ready\n");
    }
    ~Crowd() {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
        if (m_out)
            fclose(m_out);
    }
    bool Ready() const { return m_ready; }
    // What became of the crowd's connections (its last line), once it has ended.
    std::string Outcome() {
        char line[256] = "";
        if (!m_out || !fgets(line, sizeof line, m_out))
            return "(no outcome)";
        line[std::strcspn(line, "\n")] = 0;
        return line;
    }

private:
    pid_t m_pid = -1;
    FILE* m_out = nullptr;
    bool m_ready = false;
};

// A till's health reading and whole receipt, in turn for `ms`, each on a connection of its own
// as a till makes them: their latencies in microseconds.
struct TillFigures {
    std::vector<double> health, receipt;
    int failures = 0;
};
TillFigures TillCalls(int port, int ms, int lines) {
    TillFigures f;
    std::string reply;
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (Clock::now() < end) {
        auto t0 = Clock::now();
        f.failures += HttpConnection(port).Get("/v1/health", &reply) != 200;
        auto t1 = Clock::now();
        f.failures += HttpConnection(port).Post("/v1/ports/1/receipts", HttpReceiptBody(lines), "",
                                                &reply) != 200;
        auto t2 = Clock::now();
        f.health.push_back(Us(t1 - t0));
        f.receipt.push_back(Us(t2 - t1));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return f;
}

// p50 and p99 of /v1/health and of a whole receipt with no load, then under each crowd, as
// ratios to the unloaded figures.
void CrowdLoads(int port, int lines) {
    if (!*VSK_CROWD_PATH) {
        std::printf("crowds: skipped (no vsk-http-crowd built)\n");
        return;
    }
    if (geteuid() != 0) {
        std::printf("crowds: skipped (the crowd runs as another user: run as root)\n");
        return;
    }
    const TillFigures quiet = TillCalls(port, 3000, lines);
    const double h50 = Percentile(quiet.health, 0.5), h99 = Percentile(quiet.health, 0.99);
    const double r50 = Percentile(quiet.receipt, 0.5), r99 = Percentile(quiet.receipt, 0.99);
    std::printf("no load: health p50 %.0f us p99 %.0f us, receipt p50 %.0f us p99 %.0f us\n", h50,
                h99, r50, r99);
    struct Load {
        const char* kind;
        int count;
    };
    for (const Load& load :
         {Load{"idle", 128}, Load{"trickle", 140}, Load{"events", 128}, Load{"deaf", 300}}) {
        Crowd crowd(load.kind, port, load.count, 3800);
        if (!crowd.Ready()) {
            std::printf("%s: the crowd did not start\n", load.kind);
            continue;
        }
        // What is measured is the crowd held, not its arrival (the refused ones' threads).
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        const TillFigures f = TillCalls(port, 3000, lines);
        std::printf(
            "%d %s: health p50 %.0f us (x%.2f) p99 %.0f us (x%.2f), receipt p50 %.0f us (x%.2f) "
            "p99 %.0f us (x%.2f)%s; crowd %s\n",
            load.count, load.kind, Percentile(f.health, 0.5), Percentile(f.health, 0.5) / h50,
            Percentile(f.health, 0.99), Percentile(f.health, 0.99) / h99,
            Percentile(f.receipt, 0.5), Percentile(f.receipt, 0.5) / r50,
            Percentile(f.receipt, 0.99), Percentile(f.receipt, 0.99) / r99,
            f.failures ? " (with failures)" : "", crowd.Outcome().c_str());
        // Its connections let go before the next crowd comes.
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    }
}

}  // namespace

int main(int argc, char** argv) {
    int receipts = 30, calls = 2000, lines = 10;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--receipts"))
            receipts = std::max(1, std::atoi(argv[i + 1]));
        else if (!std::strcmp(argv[i], "--lines"))
            lines = std::clamp(std::atoi(argv[i + 1]), 1, 500);
        else if (!std::strcmp(argv[i], "--calls"))
            calls = std::max(10, std::atoi(argv[i + 1]));
    }
    const std::string dir = vskbench::PrivateEnvironment("vsk-httpbench");
    if (dir.empty())
        return 1;
    pid_t emulator = vskbench::Spawn({VSK_EMULATOR_PATH, "--link", dir + "/com", "--no-stdin"},
                                     (dir + "/tape.txt").c_str());
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    pid_t set = vskbench::Spawn({VSK_SERVER_PATH, "--set-port", "COM1=" + dir + "/com"});
    waitpid(set, nullptr, 0);
    const std::string out = dir + "/server.out";
    pid_t server =
        vskbench::Spawn({VSK_SERVER_PATH, "--headless", "--http", "127.0.0.1:0"}, out.c_str());
    const int port = HttpPortOf(out);
    int status = 0;
    if (port == 0) {
        std::fprintf(stderr, "http_bench: the server did not start\n");
        status = 1;
    } else {
        // Whole receipts. The first HTTP receipt binds the port and reads the register's
        // configuration; the rest find it bound, as the socket client's object stays bound.
        HttpConnection http(port);
        std::string reply;
        auto t0 = Clock::now();
        const bool firstOk =
            http.Post("/v1/ports/1/receipts", HttpReceiptBody(lines), "", &reply) == 200;
        std::printf("first whole receipt (%d lines, binds the port): HTTP %.0f us%s\n", lines,
                    Us(Clock::now() - t0), firstOk ? "" : " (failed)");
        vsk::IVeskar* veskar = SocketObject();
        if (veskar && veskar->Init(1, u"Anna", u"0000000000", 0, u"bench") == S_OK) {
            double httpUs = 0, socketUs = 0;
            int failures = 0;
            for (int i = 0; i < receipts; ++i) {
                auto t0 = Clock::now();
                failures +=
                    http.Post("/v1/ports/1/receipts", HttpReceiptBody(lines), "", &reply) != 200;
                auto t1 = Clock::now();
                failures += !SocketReceipt(veskar, lines);
                auto t2 = Clock::now();
                httpUs += Us(t1 - t0);
                socketUs += Us(t2 - t1);
            }
            std::printf(
                "whole receipt (%d lines), %d each, port bound: HTTP %.0f us, socket %.0f us, "
                "HTTP/socket %.2f%s\n",
                lines, receipts, httpUs / receipts, socketUs / receipts, httpUs / socketUs,
                failures ? " (with failures)" : "");
            veskar->Done();
        }

        // GetPortNumber round trips.
        const std::string create =
            R"({"jsonrpc":"2.0","id":1,"method":"CreateInstance","params":{"progid":"VSKManager.Veskar"}})";
        const std::string call =
            R"({"jsonrpc":"2.0","id":2,"method":"Invoke","params":{"object":1,"name":"GetPortNumber"}})";
        const std::string session = "X-Vsk-Session: bench\r\n";
        http.Post("/v1/rpc", create, session, &reply);
        std::vector<double> overHttp, overSocket;
        vsk::IVeskar* unbound = SocketObject();
        LONG n = 0;
        for (int i = 0; i < calls && unbound; ++i) {
            auto t0 = Clock::now();
            http.Post("/v1/rpc", call, session, &reply);
            auto t1 = Clock::now();
            unbound->GetPortNumber(&n);
            auto t2 = Clock::now();
            overHttp.push_back(Us(t1 - t0));
            overSocket.push_back(Us(t2 - t1));
        }
        std::printf(
            "GetPortNumber, %d each: HTTP p50 %.0f us p99 %.0f us, socket p50 %.0f us "
            "p99 %.0f us\n",
            calls, Percentile(overHttp, 0.5), Percentile(overHttp, 0.99),
            Percentile(overSocket, 0.5), Percentile(overSocket, 0.99));
        if (unbound)
            unbound->Release();
        if (veskar)
            veskar->Release();
        CrowdLoads(port, lines);
    }
    vskbench::Stop(server);
    vskbench::Stop(emulator);

    // The ledger alone, on the same file system as the user's.
    vsk::CLedger ledger;
    std::string report;
    if (ledger.Open(dir + "/state/bench-ledger.sqlite", &report)) {
        const int rows = 200;
        auto t0 = Clock::now();
        for (int i = 0; i < rows; ++i) {
            int64_t id = ledger.BeginReceipt(1, "bench", false);
            std::string sold = "[";
            for (int l = 0; l < lines; ++l) {
                sold += std::string(l ? "," : "") + R"({"name":"x","quantity":1,"price":100})";
                ledger.RecordLines(id, sold + "]");
            }
            ledger.EndReceipt(id, "closed", sold + "]", R"({"cash":1000})", i + 1, 100 * lines, "");
        }
        std::printf(
            "ledger, %d receipts of %d lines: %.0f us per receipt (row before, each line, "
            "completion after)\n",
            rows, lines, Us(Clock::now() - t0) / rows);
    }
    StatusAgainstLedgerSize(dir, 500);
    std::filesystem::remove_all(dir);
    return status;
}
