// The money path judged by the register: whole receipts over HTTP against emulated registers,
// each answer compared with what the emulator's tape and counters show and with the ledger's
// row. Late and lost closings, a server ended or killed at every step, a ledger that is gone,
// and a crash loop of four tills on two ports; the judges are the tape's own counts
// (receipts, returns, cancelled, tape_lines), never what the server says of itself.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/mount.h>
#include <sys/socket.h>

#include <cstring>
#include <future>
#include <map>
#include <mutex>
#include <random>
#include <regex>
#include <set>
#include <sstream>

#include "ledger/ledger.h"
#include "rpc/json.h"
#include "tests/e2e/http_support.h"
#include "tests/e2e/server_support.h"

namespace vske2e {
namespace {

// One sale line; `extra` adds members (",\"tax2\":0").
std::string Line(const std::string& name, int64_t qty, int64_t price,
                 const std::string& extra = "") {
    return R"({"name":")" + name + R"(","quantity":)" + std::to_string(qty) + R"(,"price":)" +
           std::to_string(price) + R"(,"tax1":1,"article":0)" + extra + "}";
}

// A whole receipt of `lines` paid in cash; `extra` adds members at the top.
std::string Body(const std::string& lines, int64_t cash, const std::string& extra = "",
                 const std::string& texts = R"([{"text":"Дякуємо","before":false}])") {
    return R"({"cashier":"Anna","password":"0000000000","department":"1")" + extra +
           R"(,"lines":[)" + lines + R"(],"texts":)" + texts + R"(,"payments":{"cash":)" +
           std::to_string(cash) + "}}";
}

std::string Key(const std::string& key) {
    return "Idempotency-Key: " + key;
}

class MoneyE2e : public ServerE2e {
protected:
    void SetUp() override {
        ServerE2e::SetUp();
        // Returns are paid from the drawer.
        StartRegister(m_emulator, m_dir, kPort, {"--cash", "100000000"});
        StartRegister(m_second, m_dir + "/second", kPort + 1, {"--cash", "100000000"});
    }
    void StopSecond() override { m_second.Stop(); }

    void StartHttpServer(std::vector<std::string> extra = {}) {
        SpawnHttpServer("127.0.0.1:0", extra);
    }
    void KillServer() {
        kill(m_server, SIGKILL);
        waitpid(m_server, nullptr, 0);
        m_server = -1;
    }
    // SIGTERM: the wait status (0 is a clean end; -1 a server killed after the grace).
    int EndServer() {
        const int status = vsktest::StopChild(m_server).value_or(-1);
        m_server = -1;
        return status;
    }

    HttpResult Post(const std::string& body, const std::string& key = {}, int port = kPort) {
        std::vector<std::string> headers;
        if (!key.empty())
            headers.push_back(Key(key));
        return Http(m_http, "POST", "/v1/ports/" + std::to_string(port) + "/receipts", body,
                    headers);
    }

    static int Counter(EmulatorProcess& emulator, const char* name) {
        const auto state = emulator.State();
        const auto it = state.find(name);
        return it == state.end() ? -1 : std::atoi(it->second.c_str());
    }
    int Printed(EmulatorProcess& e) { return Counter(e, "receipts"); }
    int Printed() { return Printed(m_emulator); }

    std::vector<LedgerReceipt> LedgerRows(const std::string& path = {}) {
        CLedger ledger;
        std::string report;
        EXPECT_TRUE(
            ledger.Open(path.empty() ? m_dir + "/state/vskmanager/ledger.sqlite" : path, &report))
            << report;
        return ledger.Receipts(0, "");
    }
    // The ledger in short, for a failure's message.
    std::string RowsText() {
        std::string text = "ledger:";
        for (const LedgerReceipt& row : LedgerRows())
            text += " [" + std::to_string(row.port) + " " + row.client + " " + row.kind + " #" +
                    std::to_string(row.number) + " " + std::to_string(row.total) + " " + row.end +
                    "]";
        return text;
    }
    LedgerReceipt RowNumbered(int64_t number, int port = kPort) {
        for (const LedgerReceipt& row : LedgerRows())
            if (row.number == number && row.port == port)
                return row;
        return {};
    }

    EmulatorProcess m_second;
};

// Every kind of receipt prints once and answers the register's number; bad input and reused
// keys print nothing; a key refused before the register was asked stays free.
TEST_F(MoneyE2e, EveryReceiptPrintsOnceAndBadInputNothing) {
    StartHttpServer();
    const std::string sale = Body(Line("Хліб", 2, 1205), 5000);
    struct Row {
        const char* what;
        std::string body;
        std::string key;
        int port;
        int status;
        const char* code;   // of a refusal
        const char* field;  // of a 400: the JSON pointer
        int prints;         // receipts it closes on the tape
        int returns;
        int64_t total;  // of a 200
    };
    const std::string line = Line("Хліб", 1, 1205);
    auto withLine = [](const std::string& l) { return Body(l, 5000); };
    const Row rows[] = {
        {"a sale", sale, "m-sale", kPort, 200, "", "", 1, 0, 2410},
        {"a return", Body(line, 1205, R"(,"kind":"return","returnNumber":1)"), "m-ret", kPort, 200,
         "", "", 1, 1, 1205},
        {"price 0", Body(Line("Сірник", 1, 0), 0), "", kPort, 200, "", "", 1, 0, 0},
        {"a discount as large as the line",
         Body(Line("Хліб", 1, 1205, R"(,"discount":{"direction":0,"name":"","value":1205})"), 0),
         "", kPort, 200, "", "", 1, 0, 0},
        {"tax2 0 is no tax", withLine(Line("Хліб", 1, 1205, R"(,"tax2":0)")), "", kPort, 200, "",
         "", 1, 0, 1205},
        {"misspelt field", withLine(R"({"name":"Хліб","quantiy":1,"price":1205})"), "", kPort, 400,
         "BAD_RECEIPT", "/lines/0/quantiy", 0, 0, 0},
        {"tax 99", withLine(R"({"name":"Хліб","price":1205,"tax1":99})"), "m-free", kPort, 400,
         "BAD_RECEIPT", "/lines/0/tax1", 0, 0, 0},
        {"the same key, corrected", withLine(line), "m-free", kPort, 200, "", "", 1, 0, 1205},
        {"discount -500", withLine(Line("Хліб", 1, 1205, R"(,"discount":{"value":-500})")), "",
         kPort, 400, "BAD_RECEIPT", "/lines/0/discount/value", 0, 0, 0},
        {"direction -1",
         withLine(Line("Хліб", 1, 1205, R"(,"discount":{"direction":-1,"value":5})")), "", kPort,
         400, "BAD_RECEIPT", "/lines/0/discount/direction", 0, 0, 0},
        {"direction 5", withLine(Line("Хліб", 1, 1205, R"(,"discount":{"direction":5,"value":5})")),
         "", kPort, 400, "BAD_RECEIPT", "/lines/0/discount/direction", 0, 0, 0},
        {"article -5", withLine(R"({"name":"Хліб","price":1205,"article":-5})"), "", kPort, 400,
         "BAD_RECEIPT", "/lines/0/article", 0, 0, 0},
        {"NUL in a name", withLine(Line("Хл\\u0000іб", 1, 1205)), "", kPort, 400, "BAD_RECEIPT",
         "/lines/0/name", 0, 0, 0},
        {"ESC in a name", withLine(Line("\\u001b[2J", 1, 1205)), "", kPort, 400, "BAD_RECEIPT",
         "/lines/0/name", 0, 0, 0},
        {"a bell in a free text", Body(line, 5000, "", R"([{"text":"Дя\u0007кую"}])"), "", kPort,
         400, "BAD_RECEIPT", "/texts/0/text", 0, 0, 0},
        {"a control character in the department",
         std::regex_replace(withLine(line), std::regex(R"("department":"1")"),
                            R"("department":"1\u0001")"),
         "", kPort, 400, "BAD_RECEIPT", "/department", 0, 0, 0},
        {"not covered", Body(line, 1204), "m-cover", kPort, 409, "NOT_COVERED", "", 0, 0, 0},
        {"the same key, covered", Body(line, 1205), "m-cover", kPort, 200, "", "", 1, 0, 1205},
        {"a key again with another body", Body(line, 9999), "m-sale", kPort, 422, "KEY_REUSED", "",
         0, 0, 0},
        {"a key again on another port", sale, "m-sale", kPort + 1, 422, "KEY_REUSED", "", 0, 0, 0},
        {"the key again: the stored answer", sale, "m-sale", kPort, 200, "", "", 0, 0, 2410},
        {"a key of 201 characters", Body(line, 1205), std::string(201, 'k'), kPort, 400, "BAD_KEY",
         "", 0, 0, 0},
        {"a key of 200", Body(line, 1205), std::string(200, 'k'), kPort, 200, "", "", 1, 0, 1205},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const int tapeBefore = Counter(m_emulator, "tape_lines");
        const int printedBefore = Printed(), returnsBefore = Counter(m_emulator, "returns");
        const HttpResult r = Post(row.body, row.key, row.port);
        EXPECT_EQ(r.status, row.status) << r.body;
        EXPECT_EQ(Printed() - printedBefore, row.prints);
        EXPECT_EQ(Counter(m_emulator, "returns") - returnsBefore, row.returns);
        EXPECT_EQ(Printed(m_second), 0);
        if (row.status != 200) {
            EXPECT_EQ(r.Code(), row.code) << r.body;
            if (*row.field) {
                EXPECT_EQ(r.Text({"error", "field"}), row.field) << r.body;
            }
            if (row.status == 422) {
                EXPECT_TRUE(r.At({"error", "firstTime"}) || r.At({"firstTime"})) << r.body;
            }
            EXPECT_EQ(Counter(m_emulator, "tape_lines"), tapeBefore) << "nothing reached the tape";
            continue;
        }
        EXPECT_EQ(r.Number({"total"}), row.total) << r.body;
        const int64_t number = r.Number({"number"});
        const LedgerReceipt ledgerRow = RowNumbered(number);
        EXPECT_EQ(ledgerRow.end, "closed") << r.body << "\n" << RowsText();
        EXPECT_EQ(ledgerRow.total, row.total);
        if (std::string(row.what) == "a return") {
            EXPECT_EQ(ledgerRow.kind, "return");
        }
        if (r.head.find("Idempotent-Replay: true") == std::string::npos) {
            EXPECT_EQ(number, Counter(m_emulator, "last_receipt")) << r.body;
        }
    }
    EXPECT_EQ(Counter(m_emulator, "cancelled"), 0);

    // A command the register never confirms (its free text unanswered) is no success: the
    // receipt is cancelled, nothing printed, and its key stays free.
    ASSERT_EQ(m_emulator.Control("swallow TEXT"), "OK");
    const int printedBefore = Printed();
    const HttpResult unconfirmed = Post(Body(line, 5000), "m-unconfirmed");
    EXPECT_EQ(unconfirmed.status, 503) << unconfirmed.body;
    EXPECT_EQ(unconfirmed.Code(), "NOT_CONFIRMED") << unconfirmed.body;
    EXPECT_EQ(Printed(), printedBefore);
    EXPECT_EQ(Post(Body(line, 5000), "m-unconfirmed").status, 200) << "the key was left free";

    // The last receipt as the register and the ledger know it.
    const HttpResult last =
        Http(m_http, "GET", "/v1/ports/" + std::to_string(kPort) + "/last-receipt");
    EXPECT_EQ(last.status, 200) << last.body;
    EXPECT_EQ(last.Number({"port"}), kPort) << last.body;
    EXPECT_EQ(last.Number({"register", "number"}), Counter(m_emulator, "last_receipt"))
        << last.body;
    EXPECT_EQ(last.Number({"ledger", "number"}), Counter(m_emulator, "last_receipt")) << last.body;
    EXPECT_EQ(last.Text({"ledger", "end"}), "closed") << last.body;
}

// A closing the register answers after the server's reply time-out: unknown until the late
// answer has come and the port was used again, then closed with its number and recovered.
TEST_F(MoneyE2e, ALateClosingIsUnknownThenClosedAndRecovered) {
    StartHttpServer();
    const std::string body = Body(Line("Сир", 1, 1000), 1000);
    ASSERT_EQ(m_emulator.Control("swallow COMP 7000"), "OK");
    const auto start = std::chrono::steady_clock::now();
    const HttpResult late = Post(body, "late");
    EXPECT_EQ(late.status, 409) << late.body;
    EXPECT_EQ(late.Code(), "UNKNOWN") << late.body;
    EXPECT_EQ(late.Text({"end"}), "unknown") << late.body;
    EXPECT_EQ(Printed(), 1) << "the register printed it";
    ASSERT_FALSE(LedgerRows().empty());
    EXPECT_EQ(LedgerRows().back().end, "unknown");
    const HttpResult health = Http(m_http, "GET", "/v1/health");
    const Json* unknown = health.At({"unknownReceipts"});
    EXPECT_TRUE(unknown && unknown->IsArray() && unknown->AsArray().size() == 1) << health.body;

    std::this_thread::sleep_until(start + Ms(7500));  // the late answer has come
    const HttpResult next = Post(Body(Line("Хліб", 1, 1205), 1205));
    EXPECT_EQ(next.status, 200) << next.body;
    EXPECT_EQ(Printed(), 2);
    const LedgerReceipt row = LedgerRows().front();
    EXPECT_EQ(row.end, "closed");
    EXPECT_EQ(row.number, 1);
    const HttpResult retry = Post(body, "late");
    EXPECT_EQ(retry.status, 200) << retry.body;
    EXPECT_EQ(retry.At({"recovered"}) && retry.At({"recovered"})->AsBool(), true) << retry.body;
    EXPECT_EQ(retry.Number({"number"}), 1) << retry.body;
    EXPECT_EQ(Printed(), 2) << "nothing printed twice";
    const HttpResult after = Http(m_http, "GET", "/v1/health");
    unknown = after.At({"unknownReceipts"});
    EXPECT_TRUE(unknown && unknown->IsArray() && unknown->AsArray().empty()) << after.body;
}

// SIGTERM while the register closes: never a 200 for it; after a restart the key's retry finds
// the receipt the register printed.
TEST_F(MoneyE2e, SigtermWhileTheRegisterClosesIsNeverAnsweredPrinted) {
    StartHttpServer();
    const std::string body = Body(Line("Сир", 1, 1000), 1000);
    ASSERT_EQ(m_emulator.Control("swallow COMP 3000"), "OK");
    auto cut = std::async(std::launch::async, [&] { return Post(body, "term"); });
    ASSERT_TRUE(Eventually([&] { return Count(Journal(), ">>> To Printer >>>COMP") > 0; }));
    const int status = EndServer();
    const HttpResult answer = cut.get();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_NE(answer.status, 200) << answer.body;
    if (answer.status != 0) {
        EXPECT_EQ(answer.status, 503) << answer.body;
        EXPECT_EQ(answer.Code(), "ENDING") << answer.body;
    }
    std::this_thread::sleep_for(Ms(3200));  // the late answer went out to no one
    EXPECT_EQ(Printed(), 1);

    StartHttpServer();
    const HttpResult retry = Post(body, "term");
    EXPECT_EQ(retry.status, 200) << retry.body;
    EXPECT_EQ(retry.At({"recovered"}) && retry.At({"recovered"})->AsBool(), true) << retry.body;
    EXPECT_EQ(retry.Number({"number"}), Counter(m_emulator, "last_receipt")) << retry.body;
    EXPECT_EQ(Printed(), 1) << "nothing printed twice";
}

// A ledger that is lost (deleted under the server, read-only at start, on a full disk): keyed
// receipts are refused before anything prints, unkeyed ones still print, and with a sound
// ledger again nothing prints twice.
TEST_F(MoneyE2e, ALostLedgerRefusesKeyedReceiptsAndUnkeyedStillPrint) {
    enum class Loss { kDeleted, kReadOnly, kFull };
    struct Unmount {
        std::string path;
        ~Unmount() {
            if (!path.empty())
                umount2(path.c_str(), MNT_DETACH);
        }
    } unmount;
    std::string skipped;
    const std::string body = Body(Line("Сир", 1, 1000), 1000);
    for (const Loss loss : {Loss::kDeleted, Loss::kReadOnly, Loss::kFull}) {
        const std::string what = loss == Loss::kDeleted    ? "deleted"
                                 : loss == Loss::kReadOnly ? "read-only"
                                                           : "full";
        SCOPED_TRACE(what);
        const std::string folder = m_dir + "/ledger-" + what;
        std::filesystem::create_directories(folder);
        if (loss == Loss::kFull &&
            mount("tmpfs", folder.c_str(), "tmpfs", 0, "size=2m,mode=0700") != 0) {
            skipped += " no tmpfs for a full disk (" + std::string(std::strerror(errno)) + ");";
            continue;
        }
        if (loss == Loss::kFull)
            unmount.path = folder;
        const std::string ledger = folder + "/ledger.sqlite";
        int printed = Printed();  // what this row should have printed by each step
        StartHttpServer({"--ledger", ledger});
        const HttpResult sound = Post(body, what + "-sound");
        ASSERT_EQ(sound.status, 200) << sound.body;
        ++printed;
        if (loss == Loss::kDeleted) {
            for (const char* suffix : {"", "-wal", "-shm"})
                std::filesystem::remove(ledger + suffix);
        } else if (loss == Loss::kReadOnly) {
            EXPECT_EQ(EndServer(), 0);
            if (std::system(("chattr +i '" + ledger + "' 2>/dev/null").c_str()) != 0) {
                skipped += " chattr +i does not work here;";
                continue;
            }
            StartHttpServer({"--ledger", ledger});
        } else {
            std::ofstream filler(folder + "/filler", std::ios::binary);
            const std::string block(64 * 1024, 'x');
            while (filler.write(block.data(), block.size()) && filler.flush()) {
            }
        }
        const HttpResult keyed = Post(body, what + "-refused");
        EXPECT_EQ(keyed.status, 503) << keyed.body;
        EXPECT_EQ(keyed.Code(), "LEDGER_UNAVAILABLE") << keyed.body;
        EXPECT_EQ(Printed(), printed) << "a keyed receipt printed without its key kept";
        const HttpResult unkeyed = Post(body);
        EXPECT_EQ(unkeyed.status, 200) << unkeyed.body;
        printed += unkeyed.status == 200;
        EXPECT_EQ(Printed(), printed);

        // A sound ledger again.
        EndServer();
        if (loss == Loss::kReadOnly) {
            EXPECT_EQ(std::system(("chattr -i '" + ledger + "'").c_str()), 0);
        }
        if (loss == Loss::kFull)
            std::filesystem::remove(folder + "/filler");
        StartHttpServer({"--ledger", ledger});
        if (loss != Loss::kDeleted) {
            EXPECT_EQ(Post(body, what + "-sound").status, 200);
            EXPECT_EQ(Printed(), printed) << "the key kept before the loss answers as stored";
        }
        const HttpResult again = Post(body, what + "-refused");
        EXPECT_EQ(again.status, 200) << again.body;
        printed += again.status == 200;
        EXPECT_EQ(Post(body, what + "-refused").status, 200);
        EXPECT_EQ(Printed(), printed) << "nothing printed twice";
        EndServer();
    }
    if (!skipped.empty())
        GTEST_SKIP() << skipped;
}

// SIGKILL at every step of a keyed receipt; after the restart the retry of the key prints
// nothing twice, and the ledger's row equals the tape (closed iff printed), never left unknown
// while the register answers.
TEST_F(MoneyE2e, AKillAtEveryStepLeavesTheRowEqualToTheTape) {
    const char* steps[] = {
        "OpenCheck(",              // before opening
        ">>> To Printer >>>PREP",  // opened
        ">>> To Printer >>>FISC",  // after a line
        ">>> To Printer >>>COMP",  // closing sent
        "CloseCheckEx Result",     // closing answered
    };
    const std::string body =
        Body(Line("Сир", 1, 1000) + "," + Line("Хліб", 1, 1205) + "," + Line("Сіль", 1, 700), 5000);
    for (const char* step : steps) {
        SCOPED_TRACE(step);
        const std::string key = std::string("kill-") + step;
        StartHttpServer();
        ASSERT_EQ(m_emulator.Control("delay 100"), "OK");
        const int before = Count(Journal(), step);
        const int printedBefore = Printed();
        const size_t rowsBefore = LedgerRows().size();
        auto cut = std::async(std::launch::async, [&] { return Post(body, key); });
        ASSERT_TRUE(Eventually([&] { return Count(Journal(), step) > before; }));
        KillServer();
        cut.get();
        ASSERT_EQ(m_emulator.Control("delay 0"), "OK");
        std::this_thread::sleep_for(Ms(300));  // what the register still had to do, done

        StartHttpServer();
        const bool printed = Printed() == printedBefore + 1;
        EXPECT_LE(Printed(), printedBefore + 1);
        // The retry binds the port, whose first binding settles what the kill left by the
        // register's own counter; then the row is final and equals the tape.
        // A kill before the key's row was written (a slow server can be cut between the call
        // and its row) leaves the key free: its retry is the first sale of the key and prints.
        const bool fresh = !printed && LedgerRows().size() == rowsBefore;
        const HttpResult retry = Post(body, key);
        EXPECT_EQ(retry.status, printed || fresh ? 200 : 409) << retry.body;
        LedgerReceipt row;  // none when the server died before writing it
        const std::vector<LedgerReceipt> rows = LedgerRows();
        if (rows.size() > rowsBefore)
            row = rows[rowsBefore];
        EXPECT_TRUE(row.end != "unknown" && row.end != "closing" && row.end != "open") << row.end;
        EXPECT_EQ(row.end == "closed", printed || fresh) << row.end;
        if (printed) {
            EXPECT_EQ(row.number, Counter(m_emulator, "last_receipt"));
            // Killed after the answer was kept: the kept answer; else found on the register.
            if (retry.head.find("Idempotent-Replay: true") == std::string::npos) {
                EXPECT_EQ(retry.At({"recovered"}) && retry.At({"recovered"})->AsBool(), true)
                    << retry.body;
            }
            EXPECT_EQ(retry.Number({"number"}), row.number) << retry.body;
        }
        EXPECT_EQ(Printed(), printedBefore + (printed || fresh ? 1 : 0))
            << "the retry printed only what was not printed";
        KillServer();
    }
}

// The closed receipts on a tape: the number of each and the names of its lines.
std::map<std::string, std::vector<int64_t>> ClosedByName(const std::string& tape) {
    std::map<std::string, std::vector<int64_t>> closed;
    std::set<std::string> names;
    std::istringstream in(tape);
    const std::regex number("^RECEIPT +([0-9]+)$");
    std::smatch m;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("RECEIPT CANCELLED", 0) == 0) {
            names.clear();
        } else if (std::regex_match(line, m, number)) {
            for (const std::string& name : names)
                closed[name].push_back(std::stoll(m[1].str()));
            names.clear();
        } else if (line.rfind("KEY", 0) == 0 || line.rfind("RETURN KEY", 0) == 0) {
            names.insert(line.substr(line.find("KEY")));
        }
    }
    return closed;
}

// Four tills on two ports sell keyed sales and returns while the server is killed at random
// moments; every key is retried after each restart. Nothing may print twice, be told printed
// and not be on the tape, be answered against the tape, or stay unknown. VSK_CRASH_ROUNDS
// sets the rounds (30 by default).
TEST_F(MoneyE2e, ACrashLoopOfFourTillsLosesAndDoublesNothing) {
    const char* env = std::getenv("VSK_CRASH_ROUNDS");
    const int rounds = env && std::atoi(env) > 0 ? std::atoi(env) : 30;
    ASSERT_EQ(m_emulator.Control("delay 15"), "OK");
    ASSERT_EQ(m_second.Control("delay 15"), "OK");

    struct Sale {
        std::string key, body;
        int port = 0;
        bool settled = false;  // a final answer came
        bool told = false;     // answered 200
        int64_t number = -1;   // as answered
        std::string lastEnd;   // "end" of the latest refusal
    };
    std::mutex mutex;
    std::vector<Sale> sales;  // guarded by mutex; index = key number
    auto answer = [&](size_t i, const HttpResult& r) {
        std::lock_guard<std::mutex> lock(mutex);
        Sale& s = sales[i];
        if (r.status == 200) {
            s.settled = s.told = true;
            s.number = r.Number({"number"});
        } else if (r.status == 0 || r.status == 503 || r.Code() == "IN_PROGRESS" ||
                   r.Code() == "UNKNOWN" || r.Text({"end"}) == "unknown") {
            s.lastEnd = r.Text({"end"});  // cut by the kill, in progress or unknown: again
        } else {
            s.settled = true;
            s.lastEnd = std::to_string(r.status) + " " + r.Code();
        }
    };
    auto retryAll = [&](int till) {
        for (size_t i = 0;; ++i) {
            std::string body, key;
            int port;
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (i >= sales.size())
                    return;
                if (sales[i].settled || sales[i].key.rfind("T" + std::to_string(till), 0) != 0)
                    continue;
                body = sales[i].body;
                key = sales[i].key;
                port = sales[i].port;
            }
            answer(i, Post(body, key, port));
        }
    };

    std::mt19937 random(20240601);
    const auto begun = std::chrono::steady_clock::now();
    for (int round = 0; round <= rounds; ++round) {
        StartHttpServer();
        if (round == rounds) {
            // The last start: no kill; every key retried until it has its final answer.
            for (int pass = 0; pass < 5; ++pass)
                for (int till = 0; till < 4; ++till)
                    retryAll(till);
            break;
        }
        std::atomic<bool> stop{false};
        std::vector<std::thread> tills;
        for (int till = 0; till < 4; ++till) {
            tills.emplace_back([&, till] {
                retryAll(till);
                for (int n = 0; !stop; ++n) {
                    size_t i;
                    std::string body, key;
                    int port = kPort + till % 2;
                    {
                        std::lock_guard<std::mutex> lock(mutex);
                        i = sales.size();
                        char name[32];
                        std::snprintf(name, sizeof name, "KEY%05zu", i);
                        const bool isReturn = n % 3 == 2;
                        const std::string client =
                            R"(,"client":"till-)" + std::to_string(till) + "\"";
                        body = Body(Line(name, 1, 100 + int64_t(i)), 100 + int64_t(i),
                                    isReturn ? client + R"(,"kind":"return")" : client);
                        key = "T" + std::to_string(till) + "-" + std::to_string(i);
                        sales.push_back({key, body, port, false, false, -1, ""});
                    }
                    answer(i, Post(body, key, port));
                }
            });
        }
        std::this_thread::sleep_for(Ms(std::uniform_int_distribution<int>(150, 900)(random)));
        KillServer();
        stop = true;
        for (std::thread& t : tills)
            t.join();
        m_emulator.Control("delay 0");
        m_second.Control("delay 0");
        std::this_thread::sleep_for(Ms(100));
        m_emulator.Control("delay 15");
        m_second.Control("delay 15");
    }

    std::printf("crash loop: the tills done after %lld ms\n",
                static_cast<long long>(ElapsedMs(begun)));
    // Judged by the tapes: the closed receipts of each key's line name.
    std::map<std::string, std::vector<int64_t>> closed[2];
    for (int p = 0; p < 2; ++p) {
        EmulatorProcess& e = p ? m_second : m_emulator;
        const std::string tapeFile = (p ? m_dir + "/second" : m_dir) + "/tape.txt";
        EXPECT_TRUE(Eventually([&] {
            int count = 0;
            for (const auto& [name, numbers] : ClosedByName(ReadAll(tapeFile)))
                count += int(numbers.size());
            return count == Printed(e);
        })) << "the tape file caught up with the register";
        closed[p] = ClosedByName(ReadAll(tapeFile));
    }
    int twice = 0, toldNotOnTape = 0, contradicting = 0, unknown = 0, shown = 0;
    for (size_t i = 0; i < sales.size(); ++i) {
        const Sale& s = sales[i];
        char name[32];
        std::snprintf(name, sizeof name, "KEY%05zu", i);
        const auto& tape = closed[s.port - kPort];
        const auto it = tape.find(name);
        const size_t onTape = it == tape.end() ? 0 : it->second.size();
        const bool wrong[] = {onTape > 1, s.told && onTape == 0,
                              (s.settled && !s.told && onTape > 0) ||
                                  (s.told && onTape == 1 && it->second[0] != s.number),
                              !s.settled};
        twice += wrong[0];
        toldNotOnTape += wrong[1];
        contradicting += wrong[2];
        unknown += wrong[3];
        if ((wrong[0] || wrong[1] || wrong[2] || wrong[3]) && shown++ < 8)
            std::printf("  %s port %d: on the tape %zu, answered %s #%lld, last end %s\n",
                        s.key.c_str(), s.port, onTape, s.told ? "200" : "no 200",
                        static_cast<long long>(s.number), s.lastEnd.c_str());
    }
    for (const LedgerReceipt& row : LedgerRows())
        unknown += row.end == "unknown" || row.end == "closing";
    std::printf(
        "crash loop: %d rounds, %zu keys, printed %d + %d; printed twice %d, told printed "
        "but not on the tape %d, answers against the tape %d, left unknown %d\n",
        rounds, sales.size(), Printed(), Printed(m_second), twice, toldNotOnTape, contradicting,
        unknown);
    EXPECT_EQ(twice, 0);
    EXPECT_EQ(toldNotOnTape, 0);
    EXPECT_EQ(contradicting, 0);
    EXPECT_EQ(unknown, 0);
    EXPECT_GT(Printed() + Printed(m_second), rounds) << "the tills did sell";
}

// The socket path: a return receipt closes S_OK and its row is closed with its number; a tax
// index the register does not have is refused before the register prints anything.
// The same kills for a socket client's receipt: after the restart the next client's binding of
// the port settles the row by the register's counter, and the row equals the tape.
TEST_F(MoneyE2e, AKillDuringASocketReceiptIsSettledByTheRegister) {
    const char* steps[] = {"FiscalLineEx(", ">>> To Printer >>>COMP", "CloseCheckEx Result"};
    for (const char* step : steps) {
        SCOPED_TRACE(step);
        StartHttpServer();
        ASSERT_EQ(m_emulator.Control("delay 100"), "OK");
        const int before = Count(Journal(), step);
        const int printedBefore = Printed();
        const size_t rowsBefore = LedgerRows().size();
        auto cut = std::async(std::launch::async, [] {
            Client till;
            if (till.Create() != S_OK || till.Init(kPort) != S_OK)
                return;
            LONG sum = 0, closing = 0;
            if (till->OpenCheck(u"1") != S_OK)
                return;
            for (int i = 0; i < 3; ++i)
                till->FiscalLineEx(u"Сир", 1, 1000, 0, 1, 0, 0, 0, u"", 0, &sum);
            till->CloseCheckEx(5000, 0, 0, 0, &closing);
        });
        ASSERT_TRUE(Eventually([&] { return Count(Journal(), step) > before; }));
        KillServer();
        cut.get();
        ASSERT_EQ(m_emulator.Control("delay 0"), "OK");
        std::this_thread::sleep_for(Ms(300));  // what the register still had to do, done
        const bool printed = Printed() == printedBefore + 1;

        StartHttpServer();
        Client next;
        ASSERT_EQ(next.Create(), S_OK);
        ASSERT_EQ(next.Init(kPort), S_OK);  // the first binding settles
        const std::vector<LedgerReceipt> rows = LedgerRows();
        ASSERT_GT(rows.size(), rowsBefore);
        const LedgerReceipt& row = rows[rowsBefore];
        EXPECT_EQ(row.end, printed ? "closed" : "cut") << RowsText();
        if (std::string(step) != "CloseCheckEx Result") {
            EXPECT_EQ(row.settledBy, "register");  // killed before the row could be completed
        }
        if (printed) {
            EXPECT_EQ(row.number, Counter(m_emulator, "last_receipt"));
        }
        next.Reset();
        KillServer();
    }
}

// What was sent to the register from the receipt's opening to its closing's end, from `from`
// on in the journal.
std::vector<std::string> SentForReceipt(const std::string& journal, size_t from) {
    std::vector<std::string> sent;
    const size_t open = journal.find("OpenCheck(", from);
    const size_t end = journal.find("CloseCheckEx Result", open);
    std::istringstream lines(journal.substr(open, end - open));
    const std::string mark = ">>> To Printer >>>";
    for (std::string line; std::getline(lines, line);)
        if (const size_t at = line.find(mark); at != std::string::npos)
            sent.push_back(line.substr(at + mark.size()));
    return sent;
}

// One receipt sold over HTTP and again through the socket's methods: the register is sent the
// same bytes, and the ledger records the same row, whichever road the receipt took.
TEST_F(MoneyE2e, TheHttpAndTheSocketRoadsSendTheSameBytesAndRecordTheSameRow) {
    StartHttpServer();
    const std::string discount = R"(,"discount":{"direction":0,"value":50,"name":"Знижка"})";
    size_t from = Journal().size();
    const HttpResult http =
        Post(Body(Line("Сир", 1, 1000) + "," + Line("Яблука", 1500, 2000, R"(,"weighed":true)") +
                      "," + Line("Хліб", 2, 350, discount),
                  5000, R"(,"client":"e2e")"));
    ASSERT_EQ(http.status, 200) << http.body;
    const std::vector<std::string> overHttp = SentForReceipt(Journal(), from);

    Client till;
    ASSERT_EQ(till.Create(), S_OK);
    ASSERT_EQ(till.Init(kPort), S_OK);
    from = Journal().size();
    LONG sum = 0, closing = 0;
    ASSERT_EQ(till->OpenCheck(u"1"), S_OK);
    ASSERT_EQ(till->FreeTextLine(0, 0, 0, u"Дякуємо"), S_OK);
    ASSERT_EQ(till->FiscalLineEx(u"Сир", 1, 1000, 0, 1, 0, 0, 0, u"", 0, &sum), S_OK);
    ASSERT_EQ(till->FiscalLineEx(u"Яблука", 1500, 2000, 1, 1, 0, 0, 0, u"", 0, &sum), S_OK);
    ASSERT_EQ(till->FiscalLineEx(u"Хліб", 2, 350, 0, 1, 0, 0, 0, u"Знижка", 50, &sum), S_OK);
    ASSERT_EQ(till->CloseCheckEx(5000, 0, 0, 0, &closing), S_OK);
    const std::vector<std::string> overSocket = SentForReceipt(Journal(), from);

    EXPECT_GE(overHttp.size(), 5u);
    EXPECT_EQ(overHttp, overSocket);
    EXPECT_EQ(Printed(), 2);
    const LedgerReceipt a = RowNumbered(http.Number({"number"}));
    const LedgerReceipt b = RowNumbered(Counter(m_emulator, "last_receipt"));
    EXPECT_EQ(b.number, a.number + 1);
    for (const LedgerReceipt* row : {&a, &b}) {
        EXPECT_EQ(row->end, "closed") << RowsText();
        EXPECT_EQ(row->total, http.Number({"total"}));
    }
    EXPECT_EQ(a.lines, b.lines);
    EXPECT_EQ(a.payments, b.payments);
    EXPECT_EQ(a.kind, b.kind);
    EXPECT_EQ(a.client, b.client);
    EXPECT_EQ(a.cashier, b.cashier);
    EXPECT_EQ(a.serial, b.serial);
}

TEST_F(MoneyE2e, TheSocketPathClosesReturnsAndRefusesBadTaxes) {
    StartServer();
    Client till;
    ASSERT_EQ(till.Create(), S_OK);
    ASSERT_EQ(till.Init(kPort), S_OK);
    LONG sum = 0, closing = 0;
    ASSERT_EQ(till->OpenReturnCheck(u"1"), S_OK);
    ASSERT_EQ(till->FiscalLineEx(u"Сир", 1, 1000, 0, 1, 0, 0, 0, u"", 0, &sum), S_OK);
    EXPECT_EQ(till->CloseCheckEx(1000, 0, 0, 0, &closing), S_OK);
    EXPECT_EQ(Printed(), 1);
    EXPECT_EQ(Counter(m_emulator, "returns"), 1);
    const LedgerReceipt row = RowNumbered(Counter(m_emulator, "last_receipt"));
    EXPECT_EQ(row.end, "closed") << RowsText();
    EXPECT_EQ(row.kind, "return");

    ASSERT_EQ(till->OpenCheck(u"1"), S_OK);
    const int tape = Counter(m_emulator, "tape_lines");
    EXPECT_EQ(till->FiscalLineEx(u"Сир", 1, 1000, 0, 99, 0, 0, 0, u"", 0, &sum), E_INVALIDARG);
    EXPECT_EQ(Counter(m_emulator, "tape_lines"), tape) << "the register printed nothing";
    EXPECT_EQ(Counter(m_emulator, "lines"), 0);
}

}  // namespace
}  // namespace vske2e
