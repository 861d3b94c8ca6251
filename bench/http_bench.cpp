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
//     state folder's file system.
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

#include "bench/process_support.h"
#include "client/client.h"
#include "ledger/ledger.h"

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
    explicit HttpConnection(int port) {
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
        const std::string request = "POST " + path + " HTTP/1.1\r\nHost: bench\r\n" + headers +
                                    "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
                                    body;
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

private:
    bool Fill() {
        char buf[8192];
        ssize_t n = read(m_fd, buf, sizeof buf);
        if (n <= 0)
            return false;
        m_in.append(buf, size_t(n));
        return true;
    }
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
    int port = 0;
    for (int i = 0; i < 500 && port == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::ifstream in(out);
        std::string text((std::istreambuf_iterator<char>(in)), {});
        std::smatch m;
        if (std::regex_search(text, m, std::regex("HTTP API on http://[^ ]*:([0-9]+)")))
            port = std::stoi(m[1].str());
    }
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
    std::filesystem::remove_all(dir);
    return status;
}
