// The HTTP/JSON API of a vskmanager started with --http, against an emulated register: whole
// receipts, idempotency keys across a slow register and a killed server, the JSON-RPC
// sessions, the receipts ledger, and every refusal answered in JSON with the server serving on.
#include <arpa/inet.h>
#include <grp.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <fstream>
#include <future>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "http/status_page.h"
#include "ledger/ledger.h"
#include "rpc/json.h"
#include "rpc/runtime_paths.h"
#include "tests/e2e/http_support.h"
#include "tests/e2e/server_support.h"

namespace vske2e {
namespace {

std::string ReceiptBody(int64_t cash, const std::string& name = "Хліб", int64_t qty = 2,
                        int64_t price = 1205, int lines = 1) {
    std::string list;
    for (int i = 0; i < lines; ++i)
        list += std::string(i ? "," : "") + R"({"name":")" + name + R"(","quantity":)" +
                std::to_string(qty) + R"(,"price":)" + std::to_string(price) +
                R"(,"tax1":1,"article":0})";
    return R"({"cashier":"Anna","password":"0000000000","department":"1","lines":[)" + list +
           R"(],"texts":[{"text":"Дякуємо","before":false}],"payments":{"cash":)" +
           std::to_string(cash) + "}}";
}

// Runs `body` in a child process as `uid` and answers the "name=value" words it wrote. The child
// ends by its alarm should it hang, which ends the pipe too.
std::map<std::string, std::string> RunAs(uid_t uid, const std::function<std::string()>& body) {
    std::map<std::string, std::string> words;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return words;
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        alarm(30);
        if (setgroups(0, nullptr) != 0 || setgid(uid) != 0 || setuid(uid) != 0)
            _exit(98);
        const std::string out = body();
        _exit(write(fds[1], out.data(), out.size()) == ssize_t(out.size()) ? 0 : 1);
    }
    close(fds[1]);
    std::string all;
    char buf[512];
    for (ssize_t n; pid > 0 && (n = read(fds[0], buf, sizeof buf)) > 0;)
        all.append(buf, size_t(n));
    close(fds[0]);
    if (pid > 0)
        waitpid(pid, nullptr, 0);
    std::istringstream in(all);
    for (std::string word; in >> word;)
        if (const size_t eq = word.find('='); eq != std::string::npos)
            words[word.substr(0, eq)] = word.substr(eq + 1);
    return words;
}

// A program that answers and ends (vskctl, a server refusing its command line, curl): one that
// is still running after this is killed, and fails the test.
constexpr Ms kProgramEnds{30000};

class HttpE2e : public ServerE2e {
protected:
    void SetUp() override {
        ServerE2e::SetUp();
        StartRegister(m_emulator, m_dir, kPort);
        m_receipts = "/v1/ports/" + std::to_string(kPort) + "/receipts";
    }

    // vskmanager with the HTTP listener; the port it took.
    void StartHttpServer(const std::string& listen = "127.0.0.1:0",
                         std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {"--http-origin", "https://till.example", "--http-host",
                                         "till.example"};
        args.insert(args.end(), extra.begin(), extra.end());
        SpawnHttpServer(listen, args);
    }

    void KillServer() {
        kill(m_server, SIGKILL);
        waitpid(m_server, nullptr, 0);
        m_server = -1;
    }

    // Receipts closed on the tape, and receipts cancelled.
    int Receipts() { return TapeCount(m_emulator, "RECEIPT ") - Cancelled(); }
    int Cancelled() { return TapeCount(m_emulator, "RECEIPT CANCELLED"); }

    std::vector<LedgerReceipt> LedgerRows() {
        CLedger ledger;
        std::string report;
        EXPECT_TRUE(ledger.Open(m_dir + "/state/vskmanager/ledger.sqlite", &report)) << report;
        return ledger.Receipts(0, "");
    }

    std::string m_receipts;
};

TEST_F(HttpE2e, AWholeReceiptPrintsOnceAndIsInTheLedger) {
    StartHttpServer();
    HttpResult first = Http(m_http, "POST", m_receipts, ReceiptBody(5000), {"Idempotency-Key: a1"});
    ASSERT_EQ(first.status, 200) << first.body;
    Json reply = first.json();
    ASSERT_TRUE(reply.Find("number") && reply.Find("number")->IsInt()) << first.body;
    EXPECT_GT(reply.Find("number")->AsInt(), 0);
    EXPECT_EQ(reply.Find("total")->AsInt(), 2410);
    EXPECT_EQ(reply.Find("change")->AsInt(), 2590);
    EXPECT_EQ(Receipts(), 1);

    // The same key again: the stored answer, nothing printed.
    HttpResult again = Http(m_http, "POST", m_receipts, ReceiptBody(5000), {"Idempotency-Key: a1"});
    EXPECT_EQ(again.status, 200);
    EXPECT_EQ(again.body, first.body);
    EXPECT_EQ(again.Header("Idempotent-Replay"), "true");
    EXPECT_EQ(Receipts(), 1);

    // The smallest receipt there is: one kopeck, paid exactly.
    HttpResult kopeck = Http(m_http, "POST", m_receipts, ReceiptBody(1, "Сірник", 1, 1));
    EXPECT_EQ(kopeck.status, 200) << kopeck.body;
    EXPECT_EQ(kopeck.json().Find("change")->AsInt(), 0) << kopeck.body;
    EXPECT_EQ(Receipts(), 2);

    // The same receipt through the socket also goes into the ledger.
    Client socketClient;
    ASSERT_EQ(socketClient.Create(), S_OK);
    ASSERT_EQ(socketClient.Init(kPort, u"Anna", u"0000000000", u"socket-till"), S_OK);
    EXPECT_GT(socketClient.Sell(u"Молоко", 0, 3450), 0);
    socketClient.Reset();

    HttpResult list = Http(m_http, "GET", "/v1/receipts?port=" + std::to_string(kPort));
    ASSERT_EQ(list.status, 200) << list.body;
    const Json* rows = list.json().Find("receipts");
    ASSERT_TRUE(rows && rows->IsArray());
    ASSERT_EQ(rows->AsArray().size(), 3u) << list.body;
    const Json& http = rows->AsArray()[0];
    EXPECT_EQ(http.Find("end")->AsString(), "closed");
    EXPECT_EQ(http.Find("client")->AsString(), "http");
    EXPECT_EQ(http.Find("number")->AsInt(), reply.Find("number")->AsInt());
    EXPECT_EQ(http.Find("total")->AsInt(), 2410);
    EXPECT_EQ(http.Find("payments")->Find("cash")->AsInt(), 5000);
    EXPECT_EQ(http.Find("lines")->AsArray().at(0).Find("name")->AsString(), "Хліб");
    EXPECT_EQ(rows->AsArray()[1].Find("total")->AsInt(), 1);
    const Json& sock = rows->AsArray()[2];
    EXPECT_EQ(sock.Find("client")->AsString(), "socket-till");
    EXPECT_EQ(sock.Find("end")->AsString(), "closed");
    EXPECT_EQ(sock.Find("total")->AsInt(), 3450);

    HttpResult csv = Http(m_http, "GET", "/v1/receipts?format=csv");
    EXPECT_EQ(csv.status, 200);
    EXPECT_NE(csv.Header("Content-Type").find("text/csv"), std::string::npos);
    EXPECT_EQ(Count(csv.body, ",closed,"), 3) << csv.body;
    EXPECT_EQ(csv.Header("Link"), "") << "one page holds them all";

    // A page at a time: the answer names the next page, with the filters kept.
    HttpResult page =
        Http(m_http, "GET", "/v1/receipts?port=" + std::to_string(kPort) + "&limit=2");
    ASSERT_EQ(page.status, 200) << page.body;
    EXPECT_EQ(page.json().Find("receipts")->AsArray().size(), 2u);
    ASSERT_TRUE(page.json().Find("next")->IsString()) << page.body;
    HttpResult rest = Http(m_http, "GET", page.json().Find("next")->AsString());
    ASSERT_EQ(rest.status, 200) << rest.body;
    ASSERT_EQ(rest.json().Find("receipts")->AsArray().size(), 1u) << rest.body;
    EXPECT_EQ(rest.json().Find("receipts")->AsArray()[0].Find("client")->AsString(), "socket-till");
    EXPECT_TRUE(rest.json().Find("next")->IsNull()) << rest.body;
    HttpResult csvPage = Http(m_http, "GET", "/v1/receipts?format=csv&limit=2");
    EXPECT_EQ(Count(csvPage.body, ",closed,"), 2) << csvPage.body;
    EXPECT_NE(csvPage.Header("Link").find("format=csv&limit=2&after="), std::string::npos);
    for (const char* bad : {"limit=0", "limit=1001", "limit=-1", "after=x"})
        EXPECT_EQ(Http(m_http, "GET", std::string("/v1/receipts?") + bad).status, 400) << bad;
    EXPECT_EQ(Http(m_http, "GET", "/v1/receipts?limit=1000").status, 200);

    // vskctl reads the same ledger without the server.
    const std::string out = m_dir + "/ledger.csv";
    pid_t ctl = SpawnLogged({VSK_CTL_PATH, "--ledger", "--port", std::to_string(kPort)}, out,
                            m_dir + "/ledger.err");
    EXPECT_EQ(vsktest::ExitCode(vsktest::WaitChild(ctl, kProgramEnds)), 0)
        << ReadAll(m_dir + "/ledger.err");
    EXPECT_EQ(ReadAll(out), csv.body);
    ctl = SpawnLogged({VSK_CTL_PATH, "--ledger", "--ledger-file", m_dir + "/none.sqlite"}, out,
                      m_dir + "/ledger.err");
    EXPECT_EQ(vsktest::ExitCode(vsktest::WaitChild(ctl, kProgramEnds)), 1);
    EXPECT_FALSE(std::filesystem::exists(m_dir + "/none.sqlite")) << "a reader makes nothing";
}

TEST_F(HttpE2e, RefusalsAnswerJsonAndPrintNothing) {
    StartHttpServer();
    auto refused = [&](const HttpResult& r, int status, const std::string& code) {
        EXPECT_EQ(r.status, status) << r.body;
        const Json* error = r.json().Find("error");
        ASSERT_TRUE(error && error->Find("code")) << r.body;
        EXPECT_EQ(error->Find("code")->AsString(), code) << r.body;
    };
    refused(Http(m_http, "POST", m_receipts, "{\"lines\": ["), 400, "RPC_E_INVALID_DATA");
    refused(Http(m_http, "POST", m_receipts,
                 R"({"lines":[{"name":"x","price":"12"}],"payments":{"cash":1}})"),
            400, "BAD_RECEIPT");
    refused(Http(m_http, "POST", m_receipts, R"({"lines":[],"payments":{"cash":1}})"), 400,
            "BAD_RECEIPT");
    refused(Http(m_http, "POST", m_receipts, ReceiptBody(2409)), 409, "NOT_COVERED");
    // A quantity of 0 sells one, as on the register: 1204 does not cover 1205.
    refused(Http(m_http, "POST", m_receipts, ReceiptBody(1204, "Хліб", 0)), 409, "NOT_COVERED");
    // A port with no register behind it: the register cannot be reached, try later.
    HttpResult absent = Http(m_http, "POST", "/v1/ports/77/receipts", ReceiptBody(5000));
    EXPECT_EQ(absent.status, 503) << absent.body;
    refused(Http(m_http, "POST", "/v1/ports/x/receipts", ReceiptBody(5000)), 404, "NOT_FOUND");
    refused(Http(m_http, "GET", "/nothing"), 404, "NOT_FOUND");
    refused(Http(m_http, "POST", m_receipts, ReceiptBody(5000), {"Origin: https://evil.example"}),
            403, "FORBIDDEN_ORIGIN");
    refused(Http(m_http, "POST", "/v1/rpc", std::string(1024 * 1024 + 10, ' ')), 413, "TOO_LARGE");
    refused(Http(m_http, "POST", "/v1/rpc", "[1,"), 400, "RPC_E_INVALID_DATA");
    // A Host or an Origin not the listener's own is refused before anything is done: a page of
    // a site whose name was rebound to 127.0.0.1 sends that name as its Host and its origin.
    const std::string port = ":" + std::to_string(m_http);
    const std::string evil = "evil.example" + port;
    struct Misdirected {
        const char* method;
        std::string path;
        std::vector<std::string> headers;
        int status;
    } misdirected[] = {
        {"POST", m_receipts, {"Host: " + evil, "Origin: http://" + evil}, 421},
        {"GET", "/v1/receipts", {"Host: " + evil, "Origin: http://" + evil}, 421},
        {"POST", "/v1/rpc", {"Host: " + evil}, 421},
        {"GET", "/", {"Host: " + evil}, 421},
        {"POST", m_receipts, {"Host: 127.0.0.1:1"}, 421},  // another port
        {"POST", m_receipts, {"Host: localhost"}, 421},    // no port: 80
        {"POST", m_receipts, {"Host:"}, 421},              // none at all (HTTP/1.0)
        {"POST", m_receipts, {"Origin: http://" + evil}, 403},
        {"POST", m_receipts, {"Origin: https://127.0.0.1" + port}, 403},  // another scheme
        {"POST", m_receipts, {"Origin: null"}, 403},
    };
    for (const Misdirected& row : misdirected) {
        SCOPED_TRACE(row.path + " " + row.headers.front());
        refused(Http(m_http, row.method, row.path, "", row.headers), row.status,
                row.status == 421 ? "MISDIRECTED" : "FORBIDDEN_ORIGIN");
    }
    EXPECT_EQ(Receipts(), 0) << "nothing was printed";
    EXPECT_EQ(Count(Journal(), "OpenCheck"), 0) << "the register was not even asked";

    // A refusal by the register itself: the receipt is cancelled, the answer is 409 with the
    // register's word, never 200.
    ASSERT_EQ(m_emulator.Control("error SOFTNREG FISC"), "OK");
    HttpResult byRegister = Http(m_http, "POST", m_receipts, ReceiptBody(5000));
    EXPECT_EQ(byRegister.status, 409) << byRegister.body;
    EXPECT_EQ(byRegister.json().Find("error")->Find("code")->AsString(), "SOFTNREG");
    EXPECT_EQ(byRegister.json().Find("printed")->AsBool(), false);
    ASSERT_EQ(m_emulator.Control("error clear"), "OK");
    EXPECT_EQ(Receipts(), 0);
    EXPECT_EQ(Cancelled(), 1);

    // CORS: the allowed origin gets its pre-flight and its headers.
    HttpResult preflight =
        Http(m_http, "OPTIONS", m_receipts, "",
             {"Origin: https://till.example", "Access-Control-Request-Method: POST"});
    EXPECT_EQ(preflight.status, 204);
    EXPECT_EQ(preflight.Header("Access-Control-Allow-Origin"), "https://till.example");
    EXPECT_NE(preflight.Header("Access-Control-Allow-Headers").find("Idempotency-Key"),
              std::string::npos);
    EXPECT_EQ(Http(m_http, "OPTIONS", m_receipts, "", {"Origin: https://evil.example"}).status,
              403);
    // The listener's own names, in any letter case, with its own origin.
    for (const std::string& own : {"localhost" + port, "Till.Example" + port, "127.0.0.1" + port})
        EXPECT_EQ(Http(m_http, "GET", "/v1/receipts", "", {"Host: " + own, "Origin: http://" + own})
                      .status,
                  200)
            << own;

    // And the server still serves.
    HttpResult ok =
        Http(m_http, "POST", m_receipts, ReceiptBody(5000), {"Origin: https://till.example"});
    EXPECT_EQ(ok.status, 200) << ok.body;
    EXPECT_EQ(ok.Header("Access-Control-Allow-Origin"), "https://till.example");
    EXPECT_EQ(Receipts(), 1);
    // Paid by card alone: no cash, no cheque, no packing is no refusal.
    std::string byCard = ReceiptBody(0);
    byCard.replace(byCard.find(R"("cash":0)"), 8,
                   R"("cash":0,"check":0,"credit":2410,"packing":0)");
    HttpResult card = Http(m_http, "POST", m_receipts, byCard);
    EXPECT_EQ(card.status, 200) << card.body;
    EXPECT_EQ(card.json().Find("change")->AsInt(), 0) << card.body;
    EXPECT_EQ(Receipts(), 2);
}

TEST_F(HttpE2e, RpcSessionsKeepTheirObjects) {
    StartHttpServer();
    const std::string create =
        R"({"jsonrpc":"2.0","id":1,"method":"CreateInstance","params":{"progid":"VSKManager.Veskar"}})";
    const std::string init = R"({"jsonrpc":"2.0","id":2,"method":"Invoke","params":{"object":1,)"
                             R"("name":"Init","args":[)" +
                             std::to_string(kPort) + R"(,"Anna","0000000000",0,"web"]}})";
    HttpResult batch = Http(m_http, "POST", "/v1/rpc", "[" + create + "," + init + "]");
    ASSERT_EQ(batch.status, 200) << batch.body;
    Json replies = batch.json();
    ASSERT_TRUE(replies.IsArray());
    ASSERT_EQ(replies.AsArray().size(), 2u);
    EXPECT_EQ(replies.AsArray()[1].Find("result")->Find("hr")->AsInt(), 0) << batch.body;
    const std::string session = batch.Header("X-Vsk-Session");
    ASSERT_FALSE(session.empty());

    const std::string port =
        R"({"jsonrpc":"2.0","id":3,"method":"Invoke","params":{"object":1,"name":"GetPortNumber"}})";
    HttpResult same = Http(m_http, "POST", "/v1/rpc", port, {"X-Vsk-Session: " + session});
    EXPECT_EQ(same.json().Find("result")->Find("value")->AsInt(), kPort) << same.body;
    HttpResult byCookie =
        Http(m_http, "POST", "/v1/rpc", port, {"Cookie: theme=dark; vsk_session=" + session});
    EXPECT_EQ(byCookie.json().Find("result")->Find("value")->AsInt(), kPort) << byCookie.body;
    // Another session has no object 1.
    HttpResult other = Http(m_http, "POST", "/v1/rpc", port);
    EXPECT_EQ(other.status, 200);
    EXPECT_EQ(other.json().Find("error")->Find("code")->AsInt(), int64_t(RPC_E_DISCONNECTED))
        << other.body;
    // A request the dispatcher refuses is a JSON-RPC error, as on the socket.
    HttpResult wrong = Http(m_http, "POST", "/v1/rpc", R"({"jsonrpc":"2.0","id":4,"method":7})",
                            {"X-Vsk-Session: " + session});
    EXPECT_EQ(wrong.json().Find("error")->Find("code")->AsInt(), int64_t(RPC_E_INVALID_DATA));
    EXPECT_EQ(Http(m_http, "POST", "/v1/rpc", port, {"X-Vsk-Session: ../x"}).status, 400);
    // Sessions are capped (256; two are open): a name past the cap is refused, a known one
    // served.
    int named = 0;
    HttpResult full;
    for (; named < 300; ++named) {
        full = Http(m_http, "POST", "/v1/rpc", port, {"X-Vsk-Session: s" + std::to_string(named)});
        if (full.status != 200)
            break;
    }
    EXPECT_EQ(named, 254);
    EXPECT_EQ(full.status, 503);
    EXPECT_EQ(full.Text({"error", "code"}), "BUSY") << full.body;
    EXPECT_EQ(Http(m_http, "POST", "/v1/rpc", port, {"X-Vsk-Session: " + session}).status, 200);
    // A batch whose answers outgrow what a session may hold: the rest is not run, and one error
    // after the answers of those that ran says from which request on.
    std::string describe = "[";
    for (int id = 0; id < 60; ++id)
        describe += R"({"jsonrpc":"2.0","id":)" + std::to_string(id) +
                    R"(,"method":"GetTypeInfo","params":{"object":1}},)";
    describe.back() = ']';
    HttpResult described = Http(m_http, "POST", "/v1/rpc", describe, {"X-Vsk-Session: " + session});
    ASSERT_EQ(described.status, 200);
    const Json::Array& answers = described.json().AsArray();
    ASSERT_GT(answers.size(), 10u);
    ASSERT_LT(answers.size(), 60u) << "answers of " << described.body.size() << " bytes";
    const size_t ran = answers.size() - 1;
    for (size_t i = 0; i < ran; ++i)
        EXPECT_EQ(answers[i].Find("id")->AsInt(), int64_t(i));
    const Json& rest = answers.back();
    EXPECT_TRUE(rest.Find("id")->IsNull());
    EXPECT_EQ(rest.Find("error")->Find("code")->AsInt(), int64_t(E_OUTOFMEMORY));
    EXPECT_NE(rest.Dump().find("from number " + std::to_string(ran + 1) + " on were not run"),
              std::string::npos)
        << rest.Dump();

    // A printing batch with an Idempotency-Key prints once; its repeat answers the same.
    auto invoke = [](int id, const std::string& name, const std::string& args) {
        return R"({"jsonrpc":"2.0","id":)" + std::to_string(id) +
               R"(,"method":"Invoke","params":{"object":1,"name":")" + name + R"(","args":[)" +
               args + "]}}";
    };
    const std::string sale = "[" + invoke(5, "OpenCheck", R"("1")") + "," +
                             invoke(6, "FiscalLineEx", R"("Сир",1,1000,0,1,0,0,0,"",0)") + "," +
                             invoke(7, "CloseCheckEx", "2000,0,0,0") + "]";
    const std::vector<std::string> keyed = {"X-Vsk-Session: " + session, "Idempotency-Key: s-1"};
    HttpResult sold = Http(m_http, "POST", "/v1/rpc", sale, keyed);
    ASSERT_EQ(sold.status, 200) << sold.body;
    EXPECT_EQ(sold.json().AsArray().at(2).Find("result")->Find("value")->AsInt(), 1000)
        << sold.body;
    HttpResult again = Http(m_http, "POST", "/v1/rpc", sale, keyed);
    EXPECT_EQ(again.body, sold.body);
    EXPECT_EQ(again.Header("Idempotent-Replay"), "true");
    EXPECT_EQ(Receipts(), 1) << "printed once";
    // The keys of receipts are their own: the same key there is a new receipt.
    EXPECT_EQ(Http(m_http, "POST", m_receipts, ReceiptBody(5000), {"Idempotency-Key: s-1"}).status,
              200);
    EXPECT_EQ(Receipts(), 2);
}

// Between whole receipts the port stays bound, so the next one neither connects nor reads the
// register's configuration again; it is let go when idle (as an idle JSON-RPC session is) or
// for another cashier.
TEST_F(HttpE2e, AKeptPortServesTheNextReceiptUntilIdle) {
    ASSERT_TRUE(RegistryStore().SetValue(Hive::CurrentUser,
                                         "SOFTWARE\\Halvard (JSC)\\VSKManager\\CurrentConfig",
                                         "HttpSessionIdle", std::string("2")));
    StartHttpServer();
    auto clients = [&] {
        HttpResult health = Http(m_http, "GET", "/v1/health");
        std::string names;
        for (const Json& port : health.json().Find("ports")->AsArray())
            for (const Json& c : port.Find("clients")->AsArray())
                names += c.AsString() + " ";
        return names;
    };
    ASSERT_EQ(Http(m_http, "POST", m_receipts, ReceiptBody(5000)).status, 200);
    ASSERT_EQ(Http(m_http, "POST", m_receipts, ReceiptBody(5000)).status, 200);
    EXPECT_EQ(Count(Journal(), "ConnectToPrinter"), 1) << "the second receipt found the port bound";
    EXPECT_EQ(Receipts(), 2);

    const std::string bind =
        R"([{"jsonrpc":"2.0","id":1,"method":"CreateInstance","params":{"progid":"VSKManager.Veskar"}},)"
        R"({"jsonrpc":"2.0","id":2,"method":"Invoke","params":{"object":1,"name":"Init","args":[)" +
        std::to_string(kPort) + R"(,"Anna","0000000000",0,"web"]}}])";
    HttpResult session = Http(m_http, "POST", "/v1/rpc", bind);
    ASSERT_EQ(session.status, 200) << session.body;
    EXPECT_EQ(clients(), "http web ");

    // Idle for the set two seconds: both are let go, and the port with them.
    ASSERT_TRUE(Eventually([&] { return clients().empty(); }, 8000)) << clients();
    const std::string port =
        R"({"jsonrpc":"2.0","id":3,"method":"Invoke","params":{"object":1,"name":"GetPortNumber"}})";
    HttpResult gone = Http(m_http, "POST", "/v1/rpc", port,
                           {"X-Vsk-Session: " + session.Header("X-Vsk-Session")});
    EXPECT_EQ(gone.json().Find("error")->Find("code")->AsInt(), int64_t(RPC_E_DISCONNECTED))
        << gone.body;

    ASSERT_EQ(Http(m_http, "POST", m_receipts, ReceiptBody(5000)).status, 200);
    EXPECT_EQ(Count(Journal(), "ConnectToPrinter"), 2);
    // Another cashier: the kept object goes first, so the port is bound again in her name.
    std::string olha = ReceiptBody(5000);
    olha.replace(olha.find("Anna"), 4, "Olha");
    ASSERT_EQ(Http(m_http, "POST", m_receipts, olha).status, 200);
    EXPECT_EQ(Count(Journal(), "ConnectToPrinter"), 3);
    EXPECT_EQ(Count(Journal(), "CashierIdent = Olha"), 1);
    EXPECT_EQ(Receipts(), 4);
}

// The day's operations over HTTP, judged by the register's tape and counters: an X-report,
// cash paid in, a receipt, the counters, Z-reports (a repeated key prints no second one), a
// periodic report, the clock, the information record, the displays; a refused body prints
// nothing, and a report the register never answers is in doubt for good under its key.
TEST_F(HttpE2e, TheDaysOperationsPrintOnTheRegister) {
    StartHttpServer();
    const std::string at = "/v1/ports/" + std::to_string(kPort);
    auto post = [&](const std::string& route, const std::string& members,
                    const std::vector<std::string>& headers = {}) {
        return Http(m_http, "POST", at + route,
                    R"({"cashier":"Anna","password":"0000000000")" + members + "}", headers);
    };
    HttpResult x = post("/reports/x", "");
    ASSERT_EQ(x.status, 200) << x.body;
    EXPECT_EQ(TapeCount(m_emulator, "X-REPORT"), 1);
    HttpResult cash = post("/cash", R"(,"direction":"in","amount":12345)");
    ASSERT_EQ(cash.status, 200) << cash.body;
    EXPECT_EQ(TapeCount(m_emulator, "SERVICE CASH IN"), 1);
    EXPECT_EQ(m_emulator.State()["cash_income"], "12345");

    HttpResult sale = Http(m_http, "POST", m_receipts, ReceiptBody(5000));
    ASSERT_EQ(sale.status, 200) << sale.body;
    HttpResult counters = Http(m_http, "GET", at + "/counters");
    ASSERT_EQ(counters.status, 200) << counters.body;
    std::map<std::string, std::string> state = m_emulator.State();
    EXPECT_EQ(counters.Number({"lastReceipt"}), sale.Number({"number"}));
    EXPECT_EQ(std::to_string(counters.Number({"lastReceipt"})), state["last_receipt"]);
    EXPECT_EQ(std::to_string(counters.Number({"cash", "income"})), state["cash_income"]);
    EXPECT_EQ(std::to_string(counters.Number({"cash", "total"})), state["cash"]);
    EXPECT_EQ(std::to_string(counters.Number({"fiscal", "total"})), state["day_total"]);
    EXPECT_EQ(counters.Number({"documents", "fiscalReportNumber"}), 0);

    // A Z-report under a key; its repeat answers the stored answer and prints nothing.
    HttpResult z = post("/reports/z", "", {"Idempotency-Key: day-1"});
    ASSERT_EQ(z.status, 200) << z.body;
    HttpResult zAgain = post("/reports/z", "", {"Idempotency-Key: day-1"});
    EXPECT_EQ(zAgain.status, 200);
    EXPECT_EQ(zAgain.Header("Idempotent-Replay"), "true");
    EXPECT_EQ(TapeCount(m_emulator, "Z-REPORT"), 1);
    HttpResult after = Http(m_http, "GET", at + "/counters");
    EXPECT_EQ(after.Number({"documents", "fiscalReportNumber"}), 1) << after.body;
    EXPECT_EQ(after.Number({"fiscal", "total"}), 0);
    EXPECT_EQ(after.Number({"cash", "income"}), 0);
    ASSERT_EQ(post("/reports/z", "").status, 200);
    EXPECT_EQ(m_emulator.State()["z"], "2");
    HttpResult periodic = post("/reports/periodic", R"(,"fromZ":1,"toZ":2,"full":false)");
    ASSERT_EQ(periodic.status, 200) << periodic.body;
    EXPECT_EQ(TapeCount(m_emulator, "FISCAL REPORT Z 1-2"), 1);
    EXPECT_EQ(TapeCount(m_emulator, "Z 2 "), 1);

    // Bodies the register would misread: refused with their field, nothing on the tape.
    const std::string tapeLines = m_emulator.State()["tape_lines"];
    struct Refused {
        const char* route;
        std::string members, field;
    };
    for (const Refused& r : {Refused{"/cash", R"(,"direction":"in","amount":-5)", "/amount"},
                             Refused{"/cash", R"(,"direction":"in","ammount":5)", "/ammount"},
                             Refused{"/reports/periodic", R"(,"fromZ":2,"toZ":2)", "/toZ"}}) {
        HttpResult refused = post(r.route, r.members, {"Idempotency-Key: bad"});
        EXPECT_EQ(refused.status, 400) << refused.body;
        EXPECT_EQ(refused.Code(), "BAD_BODY");
        EXPECT_EQ(refused.Text({"error", "field"}), r.field) << refused.body;
    }
    EXPECT_EQ(m_emulator.State()["tape_lines"], tapeLines);

    // The clock: read, set within its day, refused for another day.
    HttpResult clock = Http(m_http, "GET", at + "/clock");
    ASSERT_EQ(clock.status, 200) << clock.body;
    const std::string day = clock.Text({"time"}).substr(0, 10);
    ASSERT_TRUE(
        std::regex_match(clock.Text({"time"}), std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d)")))
        << clock.body;
    HttpResult byDates =
        post("/reports/periodic", R"(,"from":")" + day + R"(","to":")" + day + "\"");
    ASSERT_EQ(byDates.status, 200) << byDates.body;
    std::string compact = day;
    compact.erase(std::remove(compact.begin(), compact.end(), '-'), compact.end());
    EXPECT_EQ(TapeCount(m_emulator, "FISCAL REPORT " + compact + "-" + compact), 1);
    HttpResult set =
        Http(m_http, "PUT", at + "/clock",
             R"({"cashier":"Anna","password":"0000000000","time":")" + day + R"(T00:00:10"})");
    ASSERT_EQ(set.status, 200) << set.body;
    EXPECT_EQ(set.Text({"time"}).substr(0, 18), day + "T00:00:1") << set.body;
    HttpResult read = Http(m_http, "GET", at + "/clock");
    EXPECT_EQ(read.Text({"time"}).substr(0, 16), day + "T00:00") << read.body;
    HttpResult otherDay =
        Http(m_http, "PUT", at + "/clock",
             R"({"cashier":"Anna","password":"0000000000","time":"2001-01-01T10:00:00"})");
    EXPECT_EQ(otherDay.status, 409) << otherDay.body;
    EXPECT_EQ(otherDay.Text({"error", "field"}), "/time");

    HttpResult info = Http(m_http, "GET", at + "/info");
    ASSERT_EQ(info.status, 200) << info.body;
    EXPECT_EQ(info.Text({"serial"}), "5600012345");
    EXPECT_EQ(info.Text({"model"}), "family 1 level 8");
    EXPECT_EQ(info.Text({"firmware", "version"}), "ZULB");
    EXPECT_EQ(info.Text({"fiscalNumber"}), "3000012345");

    // The displays through the kept binding (no cashier in the body), as the register shows
    // them.
    auto shown = [&](const std::string& line) {
        return Eventually(
            [&] { return ReadAll(m_dir + "/emulator.err").find(line) != std::string::npos; }, 3000);
    };
    HttpResult display = Http(m_http, "POST", at + "/displays", R"({"lines":["СУМА:","12,50"]})");
    EXPECT_EQ(display.status, 200) << display.body;
    EXPECT_TRUE(shown("numeric display [SUM 12.50]"));
    HttpResult external =
        Http(m_http, "POST", at + "/displays", R"({"lines":["Total 36.15"],"external":true})");
    EXPECT_EQ(external.status, 200) << external.body;
    EXPECT_TRUE(shown("external display [Total 36.15]"));
    // A port nobody bound is not bound by a reading without the cashier's headers.
    HttpResult unbound = Http(m_http, "GET", "/v1/ports/" + std::to_string(kPort + 1) + "/info");
    EXPECT_EQ(unbound.status, 409) << unbound.body;
    EXPECT_EQ(unbound.Code(), "NOTBOUND");

    // The register prints the X-report but never answers it: in doubt, and the key keeps that
    // answer, so its repeat prints no second report.
    ASSERT_EQ(m_emulator.Control("swallow ZREP"), "OK");
    HttpResult silent = post("/reports/x", "", {"Idempotency-Key: x-silent"});
    EXPECT_EQ(silent.status, 409) << silent.body;
    EXPECT_EQ(silent.Code(), "UNKNOWN");
    EXPECT_EQ(silent.Text({"end"}), "unknown");
    HttpResult repeat = post("/reports/x", "", {"Idempotency-Key: x-silent"});
    EXPECT_EQ(repeat.body, silent.body);
    EXPECT_EQ(repeat.Header("Idempotent-Replay"), "true");
    EXPECT_EQ(TapeCount(m_emulator, "X-REPORT"), 2);
}

// A retry while the first request with its key still prints answers "in progress", and the
// stored result once it has ended.
TEST_F(HttpE2e, ARetryWhileTheFirstStillPrintsIsInProgress) {
    StartHttpServer();
    ASSERT_EQ(m_emulator.Control("delay 150"), "OK");
    auto first = std::async(std::launch::async, [&] {
        return Http(m_http, "POST", m_receipts, ReceiptBody(50000, "Сир", 1, 1000, 4),
                    {"Idempotency-Key: slow"});
    });
    ASSERT_TRUE(Eventually([&] { return Count(Journal(), "OpenCheck") > 0; }, 10000));
    HttpResult during = Http(m_http, "POST", m_receipts, ReceiptBody(50000, "Сир", 1, 1000, 4),
                             {"Idempotency-Key: slow"});
    EXPECT_EQ(during.status, 409) << during.body;
    EXPECT_EQ(during.json().Find("error")->Find("code")->AsString(), "IN_PROGRESS");
    HttpResult done = first.get();
    ASSERT_EQ(done.status, 200) << done.body;
    HttpResult after = Http(m_http, "POST", m_receipts, ReceiptBody(50000, "Сир", 1, 1000, 4),
                            {"Idempotency-Key: slow"});
    EXPECT_EQ(after.status, 200);
    EXPECT_EQ(after.body, done.body);
    EXPECT_EQ(Receipts(), 1);
}

// SIGKILL in the middle of a receipt: the restarted server completes the ledger's row, and the
// retry with the same key answers what happened instead of printing again.
TEST_F(HttpE2e, AReceiptCutByAKillIsNeitherPrintedTwiceNorLost) {
    StartHttpServer();
    ASSERT_EQ(m_emulator.Control("delay 150"), "OK");
    auto cut = std::async(std::launch::async, [&] {
        return Http(m_http, "POST", m_receipts, ReceiptBody(50000, "Сир", 1, 1000, 6),
                    {"Idempotency-Key: crash"});
    });
    ASSERT_TRUE(Eventually(
        [&] {
            auto rows = LedgerRows();
            return !rows.empty() && rows[0].end == "open";
        },
        10000));
    // Killed once a line is on the tape and in the ledger's row.
    ASSERT_TRUE(Eventually(
        [&] {
            auto rows = LedgerRows();
            return !rows.empty() && rows[0].lines.find("Сир") != std::string::npos;
        },
        10000));
    KillServer();
    EXPECT_EQ(cut.get().status, 0) << "the connection was cut";
    ASSERT_EQ(m_emulator.Control("delay 0"), "OK");

    StartHttpServer();
    // The retry binds the port, and its first binding settles the row by the register's
    // counter: it never closed, so it is cut.
    HttpResult retry = Http(m_http, "POST", m_receipts, ReceiptBody(50000, "Сир", 1, 1000, 6),
                            {"Idempotency-Key: crash"});
    EXPECT_EQ(retry.status, 409) << retry.body;
    ASSERT_NE(retry.json().Find("end"), nullptr) << retry.body;
    EXPECT_EQ(retry.json().Find("end")->AsString(), "cut") << retry.body;
    auto rows = LedgerRows();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].end, "cut");
    EXPECT_EQ(rows[0].settledBy, "register");
    EXPECT_NE(rows[0].lines.find(R"("name":"Сир")"), std::string::npos) << rows[0].lines;
    EXPECT_EQ(Receipts(), 0) << "nothing was closed";

    // The next receipt goes through: the register's leftover is cancelled on the way.
    HttpResult next = Http(m_http, "POST", m_receipts, ReceiptBody(5000), {"Idempotency-Key: n"});
    EXPECT_EQ(next.status, 200) << next.body;
    EXPECT_EQ(Receipts(), 1);
    EXPECT_EQ(Cancelled(), 1);
    rows = LedgerRows();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[1].end, "closed");
}

// Off the loopback every request needs the bearer token, as a TCP client needs Authenticate.
TEST_F(HttpE2e, PeersOffTheLoopbackNeedTheToken) {
    std::string address;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) == 0) {
        for (ifaddrs* a = list; a && address.empty(); a = a->ifa_next) {
            if (!a->ifa_addr || a->ifa_addr->sa_family != AF_INET)
                continue;
            auto* in = reinterpret_cast<sockaddr_in*>(a->ifa_addr);
            if ((ntohl(in->sin_addr.s_addr) >> 24) == 127)
                continue;
            char text[INET_ADDRSTRLEN];
            inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
            address = text;
        }
        freeifaddrs(list);
    }
    if (address.empty())
        GTEST_SKIP() << "no address off the loopback";
    StartHttpServer(address + ":0", {"--insecure"});
    const std::string token = ReadAll(DefaultTokenFile());
    ASSERT_GE(token.size(), 32u);
    auto get = [&](const std::vector<std::string>& headers) {
        return Http(m_http, "GET", "/v1/receipts", "", headers, address);
    };
    HttpResult none = get({});
    EXPECT_EQ(none.status, 401) << none.body;
    EXPECT_EQ(none.json().Find("error")->Find("code")->AsString(), "E_ACCESSDENIED");
    std::this_thread::sleep_for(Ms(150));
    const std::string wrong = "Authorization: Bearer " + std::string(token.size(), '0');
    EXPECT_EQ(get({wrong}).status, 401);
    // Failures make the next wrong attempts wait; the right token is admitted at once.
    EXPECT_EQ(get({wrong}).status, 429);
    EXPECT_EQ(get({"Authorization: Bearer " + token}).status, 200);

    // The status page holds no data and is served to anyone; its readings need the token,
    // which a browser off the loopback brings in the page's fragment.
    HttpResult page = Http(m_http, "GET", "/", "", {}, address);
    EXPECT_EQ(page.status, 200);
    EXPECT_EQ(Http(m_http, "GET", "/v1/openapi.json", "", {}, address).status, 200);
    std::this_thread::sleep_for(Ms(250));  // the right token left the wait of the wrong ones
    EXPECT_EQ(Http(m_http, "GET", "/v1/status", "", {}, address).status, 401);
    if (access("/usr/bin/chromium", X_OK) != 0)
        GTEST_SKIP() << "no chromium to draw the page";
    auto draw = [&](const std::string& fragment) {
        const std::string dom = m_dir + "/remote-dom.html";
        pid_t browser = SpawnLogged(
            {"/usr/bin/chromium", "--headless", "--no-sandbox", "--disable-gpu",
             "--virtual-time-budget=3000", "--dump-dom",
             "http://" + address + ":" + std::to_string(m_http) + "/?live=0" + fragment},
            dom, m_dir + "/chromium.err");
        EXPECT_TRUE(vsktest::WaitChild(browser, Ms(60000)).has_value());
        return ReadAll(dom);
    };
    const std::string shown = draw("#token=" + token);
    EXPECT_NE(
        shown.find("class=\"ok\">" + PageText("working", PageLanguage::Ukrainian) + "</span>"),
        std::string::npos)
        << shown;
    EXPECT_EQ(shown.find(token), std::string::npos) << "the token leaves the address bar";
    const std::string asked = draw("");
    EXPECT_NE(asked.find(PageText("tokenNeeded", PageLanguage::Ukrainian)), std::string::npos)
        << asked;
}

// The loopback is no pass for another user of the computer: it presents the token as a peer off
// the loopback does. A guesser of the same user, sending wrong tokens at 20 a second, waits;
// the real client beside it is admitted at its first try every time.
TEST_F(HttpE2e, OtherUsersOfTheComputerNeedTheToken) {
    if (geteuid() != 0)
        GTEST_SKIP() << "playing another user needs root";
    constexpr uid_t kStranger = 65534;
    StartHttpServer();
    std::string token = ReadAll(DefaultTokenFile());
    token.erase(token.find_last_not_of("\r\n") + 1);
    const std::string bearer = "Authorization: Bearer " + token;
    auto status = [&](const char* method, const std::string& path, const std::string& body,
                      const std::vector<std::string>& headers) {
        return std::to_string(Http(m_http, method, path, body, headers).status);
    };
    auto words = RunAs(kStranger, [&] {
        std::string out = "receipt=" + status("POST", m_receipts, ReceiptBody(5000), {});
        std::this_thread::sleep_for(Ms(150));  // past the wait of that failure
        out += " ledger=" + status("GET", "/v1/receipts", "", {});
        out += " token=" + status("GET", "/v1/receipts", "", {bearer});
        std::atomic<bool> guessing{true};
        std::map<std::string, int> guesses;
        std::thread guesser([&] {
            for (int i = 0; i < 40; ++i, std::this_thread::sleep_for(Ms(50)))
                ++guesses[status("GET", "/v1/receipts", "", {"Authorization: Bearer guess"})];
            guessing = false;
        });
        int tries = 0, admitted = 0;
        for (; guessing; ++tries, std::this_thread::sleep_for(Ms(100)))
            admitted += status("GET", "/v1/receipts", "", {bearer}) == "200";
        guesser.join();
        out += " tries=" + std::to_string(tries) + " admitted=" + std::to_string(admitted);
        for (const auto& [code, count] : guesses)
            out += " guess" + code + "=" + std::to_string(count);
        return out + " sold=" + status("POST", m_receipts, ReceiptBody(5000), {bearer});
    });
    EXPECT_EQ(words["receipt"], "401");
    EXPECT_EQ(words["ledger"], "401");
    EXPECT_EQ(words["token"], "200");
    EXPECT_GE(std::atoi(words["tries"].c_str()), 10);
    EXPECT_EQ(words["admitted"], words["tries"]);
    EXPECT_GE(std::atoi(words["guess429"].c_str()), 20) << "the guesser waits";
    EXPECT_EQ(words.count("guess200"), 0u);
    EXPECT_EQ(words["sold"], "200");
    EXPECT_EQ(Receipts(), 1) << "only the receipt with the token printed";
}

// The health report and the metrics follow the ports: who is bound and holds the lock, the
// paper, a register gone silent (503), and the counters of the exchanges and receipts.
TEST_F(HttpE2e, HealthAndMetricsFollowThePorts) {
    StartHttpServer();
    HttpResult idle = Http(m_http, "GET", "/v1/health");
    EXPECT_EQ(idle.status, 200) << idle.body;
    EXPECT_TRUE(idle.json().Find("ports")->AsArray().empty());

    ASSERT_EQ(Http(m_http, "POST", m_receipts, ReceiptBody(5000)).status, 200);
    Client till;
    ASSERT_EQ(till.Create(), S_OK);
    ASSERT_EQ(till.Init(kPort, u"Anna", u"0000000000", u"till-7"), S_OK);
    ASSERT_EQ(till->LockPrinter(1000), S_OK);
    ASSERT_EQ(m_emulator.Control("paper low"), "OK");
    EXPECT_GT(till.Sell(u"Сир", 0, 1000), 0);  // what prints warns of the paper
    LONG key = 0;

    HttpResult health = Http(m_http, "GET", "/v1/health");
    EXPECT_EQ(health.status, 200) << health.body;
    ASSERT_EQ(health.json().Find("ports")->AsArray().size(), 1u) << health.body;
    const Json& port = health.json().Find("ports")->AsArray()[0];
    EXPECT_EQ(port.Find("port")->AsInt(), kPort);
    EXPECT_TRUE(port.Find("open")->AsBool());
    EXPECT_NE(port.Find("serial")->AsString(), "");
    EXPECT_NE(port.Find("model")->AsString(), "");
    EXPECT_NE(port.Find("lastReply")->AsString(), "");
    EXPECT_EQ(port.Find("paper")->AsString(), "low") << health.body;
    EXPECT_EQ(port.Find("lockHolder")->AsString(), "till-7");
    // The object of the HTTP receipt stays bound for the next one.
    EXPECT_EQ(port.Find("clients")->AsArray().at(0).AsString(), "http");
    EXPECT_EQ(port.Find("clients")->AsArray().at(1).AsString(), "till-7");

    HttpResult metrics = Http(m_http, "GET", "/metrics");
    ASSERT_EQ(metrics.status, 200);
    const std::string p = "{port=\"" + std::to_string(kPort) + "\"}";
    EXPECT_NE(metrics.body.find("vsk_receipts_closed_total" + p + " 2\n"), std::string::npos)
        << metrics.body;
    EXPECT_NE(metrics.body.find("vsk_port_clients" + p + " 2\n"), std::string::npos);
    EXPECT_NE(metrics.body.find("vsk_timeouts_total" + p + " 0\n"), std::string::npos);
    EXPECT_EQ(metrics.body.find("vsk_exchanges_total" + p + " 0\n"), std::string::npos);
    EXPECT_NE(metrics.body.find("status=\"READY\""), std::string::npos);
    // The emulator answers in milliseconds: every reply in a bucket below 2.5 s, and a sum of
    // seconds no more than that per reply (a wait without a command of its own observes nothing).
    auto figure = [&](const std::string& series) {
        std::smatch m;
        const std::regex re("\n" + std::regex_replace(series, std::regex(R"([{}+."])"), R"(\$&)") +
                            " ([0-9.]+)\n");
        return std::regex_search(metrics.body, m, re) ? std::stod(m[1].str()) : -1.0;
    };
    const std::string at = "{port=\"" + std::to_string(kPort) + "\",le=\"";
    const double count = figure("vsk_reply_latency_seconds_count" + p);
    EXPECT_GT(count, 0) << metrics.body;
    EXPECT_EQ(figure("vsk_reply_latency_seconds_bucket" + at + "+Inf\"}"), count);
    EXPECT_EQ(figure("vsk_reply_latency_seconds_bucket" + at + "2.5\"}"), count) << metrics.body;
    EXPECT_LE(figure("vsk_reply_latency_seconds_sum" + p), 2.5 * count) << metrics.body;

    // A register gone silent: its next call times out and the server is unhealthy.
    ASSERT_EQ(m_emulator.Control("silence on"), "OK");
    till->GetPrinterKeyPosition(&key);
    HttpResult sick = Http(m_http, "GET", "/v1/health");
    EXPECT_EQ(sick.status, 503) << sick.body;
    EXPECT_FALSE(sick.json().Find("healthy")->AsBool());
    EXPECT_NE(Http(m_http, "GET", "/metrics").body.find("vsk_port_answering" + p + " 0\n"),
              std::string::npos);
    const std::string out = m_dir + "/health.json";
    pid_t ctl = SpawnLogged({VSK_CTL_PATH, "--health", "127.0.0.1:" + std::to_string(m_http)}, out);
    EXPECT_EQ(vsktest::ExitCode(vsktest::WaitChild(ctl, kProgramEnds)), 1) << ReadAll(out);
    EXPECT_NE(ReadAll(out).find("\"healthy\":false"), std::string::npos) << ReadAll(out);
    ASSERT_EQ(m_emulator.Control("silence off"), "OK");
    till->GetPrinterKeyPosition(&key);
    ctl = SpawnLogged({VSK_CTL_PATH, "--health", "127.0.0.1:" + std::to_string(m_http)}, out);
    EXPECT_EQ(vsktest::ExitCode(vsktest::WaitChild(ctl, kProgramEnds)), 0) << ReadAll(out);
    till->UnlockPrinter();
}

// The status page: served from the binary, live through server-sent events, and drawn by a
// headless browser with the ports, the clients and the latest receipts.
TEST_F(HttpE2e, TheStatusPageShowsPortsClientsAndReceipts) {
    StartHttpServer();
    ASSERT_EQ(Http(m_http, "POST", m_receipts, ReceiptBody(5000)).status, 200);
    Client till;
    ASSERT_EQ(till.Create(), S_OK);
    ASSERT_EQ(till.Init(kPort, u"Anna", u"0000000000", u"kasa-3"), S_OK);

    HttpResult page = Http(m_http, "GET", "/");
    EXPECT_EQ(page.status, 200);
    EXPECT_NE(page.Header("Content-Type").find("text/html"), std::string::npos);
    EXPECT_NE(page.body.find("fetch(\"/v1/events\""), std::string::npos);

    // The stream's first event is the whole status; the stream stays open after it.
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(uint16_t(m_http));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    const std::string get =
        "GET /v1/events HTTP/1.1\r\nHost: localhost:" + std::to_string(m_http) + "\r\n\r\n";
    ASSERT_EQ(write(fd, get.data(), get.size()), ssize_t(get.size()));
    std::string stream;
    char buf[4096];
    while (stream.find("event: status") == std::string::npos ||
           stream.find("\n\n", stream.find("event: status")) == std::string::npos) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0)
            break;
        stream.append(buf, size_t(n));
    }
    close(fd);
    EXPECT_NE(stream.find("text/event-stream"), std::string::npos) << stream;
    EXPECT_NE(stream.find("\"kasa-3\""), std::string::npos) << stream;

    if (access("/usr/bin/chromium", X_OK) != 0)
        GTEST_SKIP() << "no chromium to draw the page";
    // Ukrainian unless asked otherwise; every time in the till's local time, receipts included.
    const std::regex localTime("<td>\\d\\d\\.\\d\\d\\.\\d{4} \\d\\d:\\d\\d:\\d\\d</td>");
    const struct {
        const char* query;
        PageLanguage language;
        const char* lang;
    } pages[] = {
        {"?live=0", PageLanguage::Ukrainian, "uk"},
        {"?live=0&lang=en", PageLanguage::English, "en"},
        {"?lang=fr&live=0", PageLanguage::Ukrainian, "uk"},
    };
    for (const auto& page : pages) {
        SCOPED_TRACE(page.query);
        const std::string dom = m_dir + "/dom.html";
        pid_t browser =
            SpawnLogged({"/usr/bin/chromium", "--headless", "--no-sandbox", "--disable-gpu",
                         "--virtual-time-budget=3000", "--dump-dom",
                         "http://127.0.0.1:" + std::to_string(m_http) + "/" + page.query},
                        dom, m_dir + "/chromium.err");
        ASSERT_TRUE(vsktest::WaitChild(browser, Ms(60000)).has_value());
        const std::string html = ReadAll(dom);
        auto t = [&](const char* key) { return PageText(key, page.language); };
        EXPECT_NE(html.find(std::string("<html lang=\"") + page.lang + "\""), std::string::npos);
        EXPECT_NE(html.find("<b>COM" + std::to_string(kPort) + "</b>"), std::string::npos) << html;
        EXPECT_NE(html.find(t("clients") + ": http, kasa-3"), std::string::npos) << html;
        EXPECT_NE(html.find("<td>24.10</td><td>" + t("end_closed") + "</td>"), std::string::npos)
            << html;
        EXPECT_NE(html.find("class=\"ok\">" + t("working") + "</span>"), std::string::npos) << html;
        EXPECT_NE(html.find("\"latestReceipts\">" + t("latestReceipts") + "</h2>"),
                  std::string::npos)
            << html;
        EXPECT_TRUE(std::regex_search(html, localTime)) << html;
    }
}

// A register unplugged and plugged in again under the same name (a new pseudo-terminal behind
// the same link): its client is told at once, the server is unhealthy and the page shows the
// port in red while it is away, and the first call once it is back logs in again by itself.
TEST_F(HttpE2e, ARepluggedRegisterIsSeenAtOnceAndServesAgainWithoutInit) {
    StartHttpServer();
    Client till;
    ASSERT_EQ(till.Create(), S_OK);
    ASSERT_EQ(till.Init(kPort, u"Anna", u"0000000000", u"kasa-1"), S_OK);
    LONG key = 0;
    ASSERT_EQ(till->GetPrinterKeyPosition(&key), S_OK);
    EXPECT_EQ(Http(m_http, "GET", "/v1/health").status, 200);

    m_emulator.Stop();  // the device goes away, its link with it
    auto start = std::chrono::steady_clock::now();
    EXPECT_NE(till->GetPrinterKeyPosition(&key), S_OK);
    RecordProperty("firstCallAfterRemovalMs", int(ElapsedMs(start)));
    EXPECT_LT(ElapsedMs(start), 1000);
    BSTR code, message;
    ASSERT_EQ(till->GetLastErrorCode(&code), S_OK);
    ASSERT_EQ(till->GetLastErrorMessage(&message), S_OK);
    EXPECT_EQ(code, u"PORTOPENERROR");
    EXPECT_NE(Cp1251ToUtf8(Utf16ToCp1251(message)).find(m_emulator.Link()), std::string::npos)
        << Cp1251ToUtf8(Utf16ToCp1251(message));
    HttpResult away = Http(m_http, "GET", "/v1/health");
    EXPECT_EQ(away.status, 503) << away.body;
    start = std::chrono::steady_clock::now();
    EXPECT_NE(till->GetPrinterKeyPosition(&key), S_OK) << "still away";
    EXPECT_LT(ElapsedMs(start), 1000);
    EXPECT_EQ(Http(m_http, "GET", "/v1/health").status, 503);

    if (access("/usr/bin/chromium", X_OK) == 0) {
        const std::string dom = m_dir + "/away.html";
        pid_t browser =
            SpawnLogged({"/usr/bin/chromium", "--headless", "--no-sandbox", "--disable-gpu",
                         "--virtual-time-budget=3000", "--dump-dom",
                         "http://127.0.0.1:" + std::to_string(m_http) + "/?live=0&lang=en"},
                        dom, m_dir + "/chromium.err");
        ASSERT_TRUE(vsktest::WaitChild(browser, Ms(60000)).has_value());
        const std::string html = ReadAll(dom);
        EXPECT_NE(html.find("class=\"card down\""), std::string::npos) << html;
        EXPECT_NE(html.find(PageFailureText("PORTOPENERROR", PageLanguage::English)),
                  std::string::npos)
            << html;
        EXPECT_NE(html.find(PageText("portNoDevice", PageLanguage::English)), std::string::npos);
    }

    ASSERT_TRUE(m_emulator.Start(m_dir, {}));  // a new register behind the same name
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(till.Sell(u"Хліб", 1, 1000), 1000) << "no Init in between";
    RecordProperty("saleAfterReplugMs", int(ElapsedMs(start)));
    std::string tape;
    for (const std::string& line : m_emulator.Tape())
        tape += line + "\n";
    // The new register prints the cashier of its own last login: the server logged in again.
    EXPECT_EQ(TapeCount(m_emulator, "CASHIER Anna"), 1) << tape;
    EXPECT_EQ(Receipts(), 1) << tape;
    EXPECT_EQ(Http(m_http, "GET", "/v1/health").status, 200);
    const std::string replugs = "vsk_port_replugs_total{port=\"" + std::to_string(kPort) + "\"} ";
    EXPECT_NE(Http(m_http, "GET", "/metrics").body.find(replugs + "1\n"), std::string::npos);

    // A till of the HTTP API alone: its register going away keeps the port red and the server
    // unhealthy, rather than letting the port close as if nobody used it.
    HttpResult sold = Http(m_http, "POST", m_receipts, ReceiptBody(5000));
    ASSERT_EQ(sold.status, 200) << sold.body;
    EXPECT_EQ(Receipts(), 2);
    ASSERT_EQ(till->Done(), S_OK);
    m_emulator.Stop();
    HttpResult lost = Http(m_http, "POST", m_receipts, ReceiptBody(5000));
    EXPECT_EQ(lost.status, 503) << lost.body;
    EXPECT_EQ(lost.Text({"error", "code"}), "PORTOPENERROR") << lost.body;
    HttpResult unhealthy = Http(m_http, "GET", "/v1/health");
    EXPECT_EQ(unhealthy.status, 503) << unhealthy.body;
}

// Off the loopback the API is HTTPS (a certificate from --make-cert) unless --insecure.
TEST_F(HttpE2e, RemoteHttpNeedsTlsAndServesIt) {
    const std::string out = m_dir + "/refused.out";
    pid_t refused = SpawnLogged({VSK_SERVER_PATH, "--headless", "--http", "0.0.0.0:0"}, out);
    EXPECT_EQ(vsktest::ExitCode(vsktest::WaitChild(refused, kProgramEnds)), 1);
    EXPECT_NE(ReadAll(out).find("--insecure"), std::string::npos) << ReadAll(out);

    const std::string cert = m_dir + "/tls/cert.pem", key = m_dir + "/tls/key.pem";
    const std::string made = m_dir + "/make-cert.out";
    pid_t maker =
        SpawnLogged({VSK_SERVER_PATH, "--make-cert", "--tls-cert", cert, "--tls-key", key}, made);
    ASSERT_EQ(vsktest::ExitCode(vsktest::WaitChild(maker, kProgramEnds)), 0) << ReadAll(made);
    EXPECT_TRUE(std::regex_search(ReadAll(made),
                                  std::regex("SHA-256 fingerprint ([0-9A-F]{2}:){31}[0-9A-F]{2}")))
        << ReadAll(made);
    struct stat st {};
    ASSERT_EQ(stat(key.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 077, 0u) << "the key is the user's alone";

    StartHttpServer("127.0.0.1:0", {"--tls-cert", cert, "--tls-key", key});
    EXPECT_NE(ReadAll(m_dir + "/server.out").find("https://"), std::string::npos);
    EXPECT_NE(Http(m_http, "GET", "/v1/health").status, 200) << "no plain HTTP on a TLS port";
    if (access("/usr/bin/curl", X_OK) != 0)
        GTEST_SKIP() << "no curl to speak TLS";
    const std::string body = m_dir + "/health.json";
    pid_t curl = SpawnLogged({"/usr/bin/curl", "-s", "--cacert", cert, "-o", body,
                              "https://127.0.0.1:" + std::to_string(m_http) + "/v1/health"},
                             m_dir + "/curl.out");
    EXPECT_EQ(vsktest::ExitCode(vsktest::WaitChild(curl, kProgramEnds)), 0)
        << ReadAll(m_dir + "/curl.out");
    EXPECT_NE(ReadAll(body).find("\"healthy\":true"), std::string::npos) << ReadAll(body);
}

// The status line of an answer whose body may never end (an event stream): read up to the end
// of its head, then hang up.
int StatusOnly(int port, const std::string& method, const std::string& path) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    timeval limit{20, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(uint16_t(port));
    inet_pton(AF_INET, "127.0.0.1", &addr.sin_addr);
    std::string head;
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
        const std::string request = method + " " + path +
                                    " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                                    "\r\nConnection: close\r\n\r\n";
        if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) == ssize_t(request.size())) {
            char buf[1024];
            for (ssize_t n;
                 head.find("\r\n\r\n") == std::string::npos && (n = read(fd, buf, sizeof buf)) > 0;)
                head.append(buf, size_t(n));
        }
    }
    close(fd);
    return head.rfind("HTTP/1.1 ", 0) == 0 ? std::atoi(head.c_str() + 9) : 0;
}

// The document the server serves is the server: every route it lists answers (with a status
// it lists), every request example passes the body check and a receipt example prints, and
// every error word met on the way is one it lists.
TEST_F(HttpE2e, TheDocumentDescribesWhatTheServerAnswers) {
    StartHttpServer();
    HttpResult served = Http(m_http, "GET", "/v1/openapi.json");
    ASSERT_EQ(served.status, 200) << served.body;
    const Json& doc = served.json();
    const Json* paths = doc.Find("paths");
    const Json* codes = served.At({"components", "schemas", "ErrorCode", "anyOf"});
    ASSERT_TRUE(paths && paths->IsObject() && codes && codes->IsArray()) << served.body;
    std::set<std::string> words;
    for (const Json& choice : codes->AsArray())
        if (const Json* word = choice.Find("const"))
            words.insert(word->AsString());
    std::set<std::string> met;
    auto judge = [&](const HttpResult& r, const Json& operation, const std::string& what) {
        EXPECT_NE(r.status, 404) << what << ": " << r.body;
        const Json* listed = operation.Find("responses");
        EXPECT_TRUE(listed && listed->Find(std::to_string(r.status)))
            << what << " answered " << r.status << ", which its document does not list: " << r.body;
        if (const std::string code = r.Code(); !code.empty())
            met.insert(code);
    };

    int printed = 0, operations = 0;
    for (const auto& [route, item] : paths->AsObject()) {
        const std::string path =
            std::regex_replace(route, std::regex("\\{n\\}"), std::to_string(kPort));
        for (const auto& [method, operation] : item.AsObject()) {
            std::string verb = method;
            std::transform(verb.begin(), verb.end(), verb.begin(), ::toupper);
            const std::string what = verb + " " + route;
            ++operations;
            const Json* examples = &operation;
            for (const char* key : {"requestBody", "content", "application/json", "examples"})
                examples = examples && examples->IsObject() ? examples->Find(key) : nullptr;
            if (route == "/v1/events") {
                EXPECT_EQ(StatusOnly(m_http, verb, path), 200) << what;
                continue;
            }
            if (!examples) {
                judge(Http(m_http, verb, path, verb == "GET" ? "" : "{}"), operation, what);
                continue;
            }
            for (const auto& [name, example] : examples->AsObject()) {
                const int before = Receipts();
                HttpResult r = Http(m_http, verb, path, example.Find("value")->Dump());
                judge(r, operation, what + " example " + name);
                EXPECT_TRUE(r.status == 200 || r.status == 204) << what << " " << name << r.body;
                if (route.find("/receipts") == std::string::npos)
                    continue;
                // A receipt example prints, each of its lines on the tape.
                EXPECT_EQ(Receipts(), before + 1) << name;
                printed++;
                // A line's row of figures: "2 x 12.05" (the register prints names in its own
                // letters).
                for (const Json& line : example.Find("value")->Find("lines")->AsArray()) {
                    const int64_t price = line.Find("price")->AsInt();
                    char figures[32];
                    std::snprintf(figures, sizeof figures, " x %lld.%02lld",
                                  (long long)(price / 100), (long long)(price % 100));
                    EXPECT_GT(TapeCount(m_emulator, figures), 0) << name << ": " << line.Dump();
                }
            }
        }
    }
    EXPECT_GE(operations, 10);
    EXPECT_GE(printed, 2);

    // Refusals of several kinds: their words are the document's, their statuses its own.
    const Json& sell = *paths->Find("/v1/ports/{n}/receipts")->Find("post");
    const Json& ledger = *paths->Find("/v1/receipts")->Find("get");
    judge(Http(m_http, "POST", m_receipts, R"({"lines":[{"name":"x","price":1,"tax1":9}]})"), sell,
          "a tax outside the table");
    judge(Http(m_http, "POST", m_receipts, ReceiptBody(1)), sell, "payments short");
    judge(Http(m_http, "POST", m_receipts, "{"), sell, "malformed JSON");
    judge(Http(m_http, "GET", m_receipts), sell, "a receipt by GET");
    judge(Http(m_http, "GET", "/v1/receipts?limit=0"), ledger, "a page of nothing");
    judge(Http(m_http, "GET", "/v1/receipts?since=yesterday"), ledger, "a since of no date");
    judge(Http(m_http, "GET", "/v1/receipts", "", {"Host: evil.example"}), ledger, "another Host");
    judge(Http(m_http, "GET", "/v1/receipts", "", {"Origin: https://evil.example"}), ledger,
          "another origin");
    met.insert(Http(m_http, "GET", "/v1/nothing-here").Code());
    for (const std::string& word : met)
        EXPECT_TRUE(words.count(word)) << word << " is not among the document's error words";
    EXPECT_GE(met.size(), 8u);
}

}  // namespace
}  // namespace vske2e
