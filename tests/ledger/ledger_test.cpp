#include "ledger/ledger.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sys/resource.h>

#include <atomic>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "resources/failure.h"

namespace vsk {
namespace {

class LedgerTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/vsk-ledger-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        path = dir + "/state/ledger.sqlite";
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    std::string dir, path;
};

ReceiptStart Start(int port, const std::string& client, bool lockHeld) {
    ReceiptStart start;
    start.port = port;
    start.client = client;
    start.lockHeld = lockHeld;
    return start;
}

TEST_F(LedgerTest, ReceiptRowIsWrittenBeforeAndCompletedAfter) {
    CLedger ledger;
    std::string report;
    ASSERT_TRUE(ledger.Open(path, &report)) << report;
    EXPECT_EQ(report, "");
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 077, 0u) << "the ledger is the user's alone";

    const int64_t sale = ledger.BeginReceipt(1, "till", false);
    const int64_t other = ledger.BeginReceipt(2, "office", true);
    ASSERT_GT(sale, 0);
    auto rows = ledger.Receipts(0, "");
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].end, "open");
    EXPECT_EQ(rows[1].kind, "return");

    ledger.EndReceipt(sale, "closed", R"([{"name":"Хліб"}])", R"({"cash":5000})", 17, 2410, "");
    rows = ledger.Receipts(1, "");
    ASSERT_EQ(rows.size(), 1u) << "one port's rows";
    EXPECT_EQ(rows[0].end, "closed");
    EXPECT_EQ(rows[0].number, 17);
    EXPECT_EQ(rows[0].total, 2410);
    EXPECT_EQ(rows[0].client, "till");
    EXPECT_NE(rows[0].endedAt, "");
    EXPECT_TRUE(ledger.Receipts(0, "9999").empty()) << "since filters by time";
    EXPECT_EQ(ledger.Receipts(0, "2000").size(), 2u);

    const std::string csv = CLedger::Csv(ledger.Receipts(0, ""));
    EXPECT_EQ(csv.find("name"), std::string::npos) << "no JSON in a cell: " << csv;
    EXPECT_NE(csv.find(",2,office,,,,return,0,,0,open,"), std::string::npos) << csv;
    EXPECT_NE(csv.find(",5000,0,0,0,1\n"), std::string::npos) << csv;
    EXPECT_NE(CLedger::CsvLines(ledger.Receipts(1, "")).find("\n1,1,Хліб,,,\n"), std::string::npos);
    (void)other;
}

// A server killed with receipts open: the next start keeps what they had sold and paid, and
// a key is never matched to another receipt of its port by time or client.
TEST_F(LedgerTest, RecoveryCompletesWhatACrashLeftOpen) {
    {
        CLedger ledger;
        std::string report;
        ASSERT_TRUE(ledger.Open(path, &report));
        const int64_t cut = ledger.BeginReceipt(1, "till", false);
        ledger.RecordLines(cut, R"([{"name":"Хліб"}])");
        ledger.RecordLines(cut, R"([{"name":"Хліб"},{"name":"Сир"}])");
        const int64_t done = ledger.BeginReceipt(1, "till", false);
        ledger.EndReceipt(done, "closed", "[]", "{}", 3, 100, "");
        ledger.RecordLines(done, R"([{"name":"late"}])");
        // Port 2: one receipt refused its close (open again), then one killed while closing.
        const int64_t refused = ledger.BeginReceipt(2, "till", false);
        ledger.MarkClosing(refused, true, "[]", R"({"cash":1})", 500);
        ledger.MarkClosing(refused, false);
        ledger.EndReceipt(refused, "cancelled", "[]", "", 0, 0, "");
        const int64_t closing = ledger.BeginReceipt(2, "till", false);
        ledger.MarkClosing(closing, true, R"([{"name":"Сир"}])", R"({"cash":5000})", 1000);
        const int64_t reopened = ledger.BeginReceipt(3, "till", false);
        ledger.MarkClosing(reopened, true);
        ledger.MarkClosing(reopened, false);
        // Port 5: a key claimed for the port, and another client's receipt there that closed.
        int status = 0;
        std::string response;
        ASSERT_EQ(ledger.ClaimKey("waiting", &status, &response, 5, "web"), CLedger::KeyState::New);
        const int64_t others = ledger.BeginReceipt(5, "web", false);
        ledger.EndReceipt(others, "closed", "[]", "{}", 10, 800, "");
        // A report and a clock setting under way, with no row of their own.
        ASSERT_EQ(ledger.ClaimKey("op:z-report", &status, &response), CLedger::KeyState::New);
        ASSERT_EQ(ledger.ClaimKey("set:clock", &status, &response), CLedger::KeyState::New);
    }  // the process "dies": nothing more is written
    CLedger ledger;
    std::string report;
    ASSERT_TRUE(ledger.Open(path, &report));
    EXPECT_EQ(ledger.RecoverAfterCrash(), 3);
    EXPECT_EQ(ledger.PortsToSettle(), (std::vector<int>{1, 2, 3}));
    for (int port : {1, 2, 3})
        EXPECT_EQ(ledger.SettlePort(port, std::nullopt), 1);
    auto rows = ledger.Receipts(0, "");
    ASSERT_EQ(rows.size(), 6u);
    EXPECT_EQ(rows[3].end, "unknown") << "killed while the register closed it: it may have printed";
    EXPECT_EQ(rows[3].total, 1000);
    EXPECT_EQ(rows[3].payments, R"({"cash":5000})");
    EXPECT_EQ(rows[4].end, "cut") << "its refused close left it open";
    EXPECT_EQ(rows[0].end, "cut");
    EXPECT_EQ(rows[0].lines, R"([{"name":"Хліб"},{"name":"Сир"}])") << "what it had sold";
    EXPECT_EQ(rows[1].end, "closed") << "an ended receipt is left as it was";
    EXPECT_EQ(rows[1].lines, "[]");
    EXPECT_EQ(rows[5].settledBy, "");
    int status = 0;
    std::string response;
    EXPECT_EQ(ledger.ClaimKey("waiting", &status, &response), CLedger::KeyState::New)
        << "the closed receipt on its port was another's: the key's request opened nothing";
    // A report may have printed: its key answers that for good. A setting done twice is
    // harmless: its key is free.
    ASSERT_EQ(ledger.ClaimKey("op:z-report", &status, &response), CLedger::KeyState::Done);
    EXPECT_EQ(status, 409);
    EXPECT_NE(response.find(R"("code":"UNKNOWN")"), std::string::npos) << response;
    EXPECT_EQ(ledger.ClaimKey("set:clock", &status, &response), CLedger::KeyState::New);
    EXPECT_EQ(ledger.RecoverAfterCrash(), 0) << "twice changes nothing";
}

// A ledger whose keys were kept before they knew their port opens with its keys intact.
TEST_F(LedgerTest, AnEarlierLedgerIsCarriedOn) {
    std::filesystem::create_directories(dir + "/state");
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db,
                           "CREATE TABLE idempotency(key TEXT PRIMARY KEY, state TEXT NOT NULL,"
                           " status INTEGER NOT NULL DEFAULT 0, response TEXT NOT NULL DEFAULT '',"
                           " time TEXT NOT NULL);"
                           "INSERT INTO idempotency VALUES('old','done',200,'{}','2026-01-01');"
                           "CREATE TABLE receipts(id INTEGER PRIMARY KEY AUTOINCREMENT,"
                           " time TEXT NOT NULL, port INTEGER NOT NULL, client TEXT NOT NULL,"
                           " kind TEXT NOT NULL, lines TEXT NOT NULL DEFAULT '[]',"
                           " payments TEXT NOT NULL DEFAULT '{}', number INTEGER NOT NULL"
                           " DEFAULT 0, total INTEGER NOT NULL DEFAULT 0, end_state TEXT NOT"
                           " NULL DEFAULT 'open', error TEXT NOT NULL DEFAULT '', ended_at TEXT"
                           " NOT NULL DEFAULT '');"
                           "INSERT INTO receipts(time, port, client, kind, number, end_state)"
                           " VALUES('2026-01-01', 1, 'till', 'sale', 5, 'closed');",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    CLedger ledger;
    std::string report;
    {
        CLedger reader;  // a reader reads it as it is
        ASSERT_TRUE(reader.OpenForReading(path, &report)) << report;
        ASSERT_EQ(reader.Receipts(0, "").size(), 1u);
        EXPECT_EQ(reader.Receipts(0, "")[0].number, 5);
    }
    ASSERT_TRUE(ledger.Open(path, &report)) << report;
    const auto old = ledger.Receipts(0, "");
    ASSERT_EQ(old.size(), 1u);
    EXPECT_FALSE(old[0].numberBefore.has_value());
    EXPECT_EQ(old[0].cashier, "");
    ReceiptStart start = Start(2, "till", false);
    start.isReturn = true;
    start.cashier = "Anna";
    start.clientCashier = "Olena";
    start.serial = "VK1";
    start.numberBefore = 41;
    const int64_t id = ledger.BeginReceipt(start);
    ASSERT_GT(id, 0) << "the new columns are there";
    const LedgerReceipt row = *ledger.LastOfPort(2);
    EXPECT_EQ(row.kind, "return");
    EXPECT_EQ(row.cashier, "Anna");
    EXPECT_EQ(row.clientCashier, "Olena");
    EXPECT_EQ(row.serial, "VK1");
    EXPECT_EQ(row.numberBefore, 41);
    int status = 0;
    std::string response;
    EXPECT_EQ(ledger.ClaimKey("old", &status, &response, 1), CLedger::KeyState::Done);
    EXPECT_EQ(status, 200);
    EXPECT_EQ(ledger.ClaimKey("new", &status, &response, 1), CLedger::KeyState::New);
}

TEST_F(LedgerTest, KeysAreClaimedOnceAndAnswerTheirStoredResult) {
    CLedger ledger;
    std::string report;
    ASSERT_TRUE(ledger.Open(path, &report));
    int status = 0;
    std::string response;
    EXPECT_EQ(ledger.ClaimKey("a", &status, &response), CLedger::KeyState::New);
    EXPECT_EQ(ledger.ClaimKey("a", &status, &response), CLedger::KeyState::Running);
    ledger.FinishKey("a", 200, R"({"number":5})");
    EXPECT_EQ(ledger.ClaimKey("a", &status, &response), CLedger::KeyState::Done);
    EXPECT_EQ(status, 200);
    EXPECT_EQ(response, R"({"number":5})");
    EXPECT_EQ(ledger.ClaimKey("b", &status, &response), CLedger::KeyState::New);

    // Claims race from many threads: exactly one wins.
    std::atomic<int> winners{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i)
        threads.emplace_back([&] {
            int s = 0;
            std::string r;
            if (ledger.ClaimKey("race", &s, &r) == CLedger::KeyState::New)
                ++winners;
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(winners.load(), 1);
}

TEST_F(LedgerTest, ACorruptLedgerIsSetAsideAndANewOneStarted) {
    std::filesystem::create_directories(dir + "/state");
    {
        std::ofstream junk(path);
        junk << std::string(8192, 'x');
    }
    CLedger ledger;
    std::string report;
    ASSERT_TRUE(ledger.Open(path, &report));
    EXPECT_NE(report.find("moved to"), std::string::npos) << report;
    int aside = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir + "/state"))
        aside += entry.path().filename().string().find("corrupt") != std::string::npos;
    EXPECT_EQ(aside, 1);
    EXPECT_GT(ledger.BeginReceipt(1, "till", false), 0) << "the new ledger works";
}

// Without a usable ledger every call does nothing and nothing fails.
TEST_F(LedgerTest, AnUnusableLedgerIsReportedAndIgnored) {
    std::ofstream(dir + "/file") << "not a folder";
    CLedger ledger;
    std::string report;
    EXPECT_FALSE(ledger.Open(dir + "/file/ledger.sqlite", &report));
    EXPECT_NE(report.find("running without a ledger"), std::string::npos) << report;
    EXPECT_FALSE(ledger.IsOpen());
    EXPECT_EQ(ledger.BeginReceipt(1, "till", false), 0);
    ledger.EndReceipt(1, "closed", "", "", 0, 0, "");
    EXPECT_TRUE(ledger.Receipts(0, "").empty());
    int status = 0;
    std::string response;
    EXPECT_EQ(ledger.ClaimKey("k", &status, &response), CLedger::KeyState::Unavailable);
    std::string why;
    EXPECT_FALSE(ledger.KeysDurable(&why));
    EXPECT_NE(why, "");
    EXPECT_FALSE(ledger.Health().ok);
}

struct Claimed {
    CLedger::KeyState state;
    int status = 0;
    std::string response, firstTime;
    int port = 0;
};

Claimed Claim(CLedger& ledger, const std::string& key, const std::string& fingerprint = "fp") {
    Claimed c;
    c.state = ledger.ClaimKey(key, fingerprint, &c.status, &c.response, &c.firstTime, &c.port);
    return c;
}

// A receipt begun for `key` by the lock's holder, as the HTTP front does it.
int64_t BeginFor(CLedger& ledger, int port, const std::string& key,
                 std::optional<int64_t> before = std::nullopt) {
    EXPECT_EQ(Claim(ledger, key).state, CLedger::KeyState::New) << key;
    ledger.ExpectReceipt(port, key);
    ReceiptStart start;
    start.port = port;
    start.client = "http";
    start.numberBefore = before;
    start.lockHeld = true;
    return ledger.BeginReceipt(start);
}

TEST_F(LedgerTest, AKeyIsBoundToItsRequestAndFreedWhenNothingPrinted) {
    CLedger ledger;
    std::string report;
    ASSERT_TRUE(ledger.Open(path, &report));
    ASSERT_EQ(Claim(ledger, "k", "POST /v1/ports/1/receipts {a}").state, CLedger::KeyState::New);
    Claimed other = Claim(ledger, "k", "POST /v1/ports/1/receipts {b}");
    EXPECT_EQ(other.state, CLedger::KeyState::Reused) << "another body under the same key";
    EXPECT_TRUE(CLedger::ValidSince(other.firstTime)) << other.firstTime;
    EXPECT_NE(other.firstTime, "");
    EXPECT_EQ(Claim(ledger, "k", "POST /v1/ports/1/receipts {a}").state,
              CLedger::KeyState::Running);
    ledger.ReleaseKey("k");
    EXPECT_EQ(Claim(ledger, "k", "POST /v1/ports/1/receipts {b}").state, CLedger::KeyState::New)
        << "a released key is free for any request";

    // Only the lock's holder's next receipt takes the expected key, and only once.
    ASSERT_EQ(Claim(ledger, "bound").state, CLedger::KeyState::New);
    ledger.ExpectReceipt(2, "bound");
    const int64_t stranger = ledger.BeginReceipt(Start(2, "till", false));
    const int64_t mine = ledger.BeginReceipt(Start(2, "http", true));
    const int64_t next = ledger.BeginReceipt(Start(2, "http", true));
    auto rows = ledger.Receipts(2, "");
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].id, stranger);
    EXPECT_EQ(rows[0].key, "");
    EXPECT_EQ(rows[1].id, mine);
    EXPECT_EQ(rows[1].key, "bound");
    EXPECT_EQ(rows[2].id, next);
    EXPECT_EQ(rows[2].key, "") << "the expectation was consumed";
    ledger.ExpectReceipt(3, "forgotten");
    ledger.ForgetExpected(3);
    EXPECT_EQ(ledger.BeginReceipt(Start(3, "http", true)) > 0, true);
    EXPECT_EQ(ledger.LastOfPort(3)->key, "");
    EXPECT_FALSE(ledger.LastOfPort(9).has_value());
}

// A killed server: keys without a row are released, keys of rows it left open or closing wait
// for the register, keys of rows that had ended get their answer.
TEST_F(LedgerTest, ACrashLeavesRowsForTheRegisterToSettle) {
    {
        CLedger ledger;
        std::string report;
        ASSERT_TRUE(ledger.Open(path, &report));
        ASSERT_EQ(Claim(ledger, "no-row").state, CLedger::KeyState::New);
        const int64_t open = BeginFor(ledger, 1, "open", 40);
        ledger.RecordLines(open, R"([{"name":"Хліб"}])");
        const int64_t ended = BeginFor(ledger, 2, "ended", 7);
        ledger.EndReceipt(ended, "closed", "[]", "{}", 8, 700, "");
        ledger.BeginReceipt(3, "till", false);  // no key at all
        const int64_t cancelled = BeginFor(ledger, 4, "cancelled", 2);
        ledger.EndReceipt(cancelled, "cancelled", "[]", "{}", 0, 0, "");
    }
    CLedger ledger;
    std::string report;
    ASSERT_TRUE(ledger.Open(path, &report));
    EXPECT_EQ(ledger.RecoverAfterCrash(), 2);
    EXPECT_EQ(ledger.RecoverAfterCrash(), 0) << "twice marks nothing more";
    EXPECT_EQ(ledger.Receipts(1, "")[0].end, "open") << "kept as it was, for the register";
    EXPECT_EQ(ledger.PortsToSettle(), (std::vector<int>{1, 3}));
    EXPECT_EQ(Claim(ledger, "no-row", "another").state, CLedger::KeyState::New)
        << "it never reached the register";
    Claimed ended = Claim(ledger, "ended");
    EXPECT_EQ(ended.state, CLedger::KeyState::Done);
    EXPECT_EQ(ended.status, 200);
    EXPECT_EQ(ended.response, R"({"number":8,"total":700,"end":"closed","recovered":true})");
    // A key whose receipt ended unprinted answers what the HTTP front answers for one, in the
    // failure table's word and status.
    Claimed unprinted = Claim(ledger, "cancelled");
    EXPECT_EQ(unprinted.state, CLedger::KeyState::Done);
    EXPECT_EQ(unprinted.status, RowOf(Fault::NotPrinted).http);
    EXPECT_NE(unprinted.response.find(R"("code":")" + std::string(RowOf(Fault::NotPrinted).word)),
              std::string::npos)
        << unprinted.response;
    Claimed open = Claim(ledger, "open");
    EXPECT_EQ(open.state, CLedger::KeyState::Unsettled);
    EXPECT_EQ(open.port, 1);
    EXPECT_EQ(ledger.SettlePort(1, 40), 1);
    EXPECT_EQ(ledger.PortsToSettle(), (std::vector<int>{3}));
    open = Claim(ledger, "open");
    EXPECT_EQ(open.state, CLedger::KeyState::Done);
    EXPECT_EQ(open.status, RowOf(Fault::Cut).http);
    EXPECT_NE(open.response.find(R"("code":")" + std::string(RowOf(Fault::Cut).word)),
              std::string::npos)
        << open.response;
    const LedgerReceipt row = *ledger.LastOfPort(1);
    EXPECT_EQ(row.end, "cut");
    EXPECT_EQ(row.settledBy, "register");
    EXPECT_NE(row.settledAt, "");
    EXPECT_EQ(row.lines, R"([{"name":"Хліб"}])") << "what it had sold";
    EXPECT_EQ(ledger.SettlePort(1, 41), 0) << "settled once";
}

// The register's counter against the one the row noted at its opening.
TEST_F(LedgerTest, TheRegistersCounterSettlesACrashedClosing) {
    struct Case {
        std::optional<int64_t> before, now;
        bool closing;
        const char* end;
        int status;
        const char* answer;
    } cases[] = {
        {10, 11, true, "closed", 200,
         R"({"number":11,"total":500,"end":"closed","recovered":true})"},
        {10, 10, true, "cut", 409, R"("code":"CUT")"},
        {10, 12, true, "unknown", 409, R"("code":"UNKNOWN")"},
        {10, std::nullopt, true, "unknown", 409, R"("code":"UNKNOWN")"},
        {std::nullopt, 11, true, "unknown", 409, R"("code":"UNKNOWN")"},
        {10, 11, false, "cut", 409, R"("code":"CUT")"},
    };
    {
        CLedger ledger;
        std::string report;
        ASSERT_TRUE(ledger.Open(path, &report));
        int port = 0;
        for (const Case& c : cases) {
            ++port;
            const int64_t id = BeginFor(ledger, port, "k" + std::to_string(port), c.before);
            if (c.closing)
                ledger.MarkClosing(id, true, "[]", R"({"cash":500})", 500);
        }
        // Two receipts cut while closing on one port: one step of the counter is not enough
        // to say which printed.
        ledger.MarkClosing(BeginFor(ledger, 20, "twice-a", 5), true, "[]", "{}", 100);
        ledger.MarkClosing(BeginFor(ledger, 20, "twice-b", 5), true, "[]", "{}", 100);
    }
    CLedger ledger;
    std::string report;
    ASSERT_TRUE(ledger.Open(path, &report));
    ASSERT_EQ(ledger.RecoverAfterCrash(), 8);
    int port = 0;
    for (const Case& c : cases) {
        ++port;
        SCOPED_TRACE("port " + std::to_string(port));
        EXPECT_EQ(ledger.SettlePort(port, c.now), 1);
        const LedgerReceipt row = *ledger.LastOfPort(port);
        EXPECT_EQ(row.end, c.end);
        EXPECT_EQ(row.settledBy, "register");
        Claimed key = Claim(ledger, "k" + std::to_string(port));
        EXPECT_EQ(key.status, c.status);
        EXPECT_NE(key.response.find(c.answer), std::string::npos) << key.response;
        if (row.end == "unknown") {
            EXPECT_NE(row.error.find(c.before ? "10" : "unknown"), std::string::npos) << row.error;
            EXPECT_NE(row.error.find(c.now ? std::to_string(*c.now) : "unknown"), std::string::npos)
                << row.error;
        }
    }
    EXPECT_EQ(ledger.SettlePort(20, 6), 2);
    EXPECT_EQ(ledger.Unknown().size(), 5u);
    EXPECT_EQ(ledger.Unknown()[0].port, 20) << "newest first";
    EXPECT_EQ(ledger.Unknown(1).size(), 1u);
}

TEST_F(LedgerTest, AnOperatorOrALateAnswerSettlesAnUnknownRow) {
    CLedger ledger;
    std::string report;
    ASSERT_TRUE(ledger.Open(path, &report));
    const int64_t unknown = BeginFor(ledger, 1, "unknown", 3);
    ledger.MarkClosing(unknown, true, "[]", "{}", 900);
    ledger.EndReceipt(unknown, "unknown", "[]", "{}", 0, 900, "no answer to the closing");
    ledger.FinishKey("unknown", 409, R"({"error":{"code":"UNKNOWN","message":"?"}})");
    const int64_t cancelled = BeginFor(ledger, 2, "cancelled");
    ledger.EndReceipt(cancelled, "cancelled", "[]", "{}", 0, 0, "");

    std::string error;
    EXPECT_FALSE(ledger.SettleByOperator(cancelled, "closed", "anna", &error));
    EXPECT_NE(error.find("cancelled"), std::string::npos) << error;
    EXPECT_FALSE(ledger.SettleByOperator(999, "closed", "anna", &error));
    EXPECT_FALSE(ledger.SettleByOperator(unknown, "printed", "anna", &error));
    ASSERT_TRUE(ledger.SettleByOperator(unknown, "closed", "anna", &error)) << error;
    EXPECT_FALSE(ledger.SettleByOperator(unknown, "cancelled", "anna", &error)) << "final now";
    const LedgerReceipt row = *ledger.LastOfPort(1);
    EXPECT_EQ(row.end, "closed");
    EXPECT_EQ(row.settledBy, "anna");
    Claimed key = Claim(ledger, "unknown");
    EXPECT_EQ(key.status, 200);
    EXPECT_EQ(key.response, R"({"number":0,"total":900,"end":"closed","settled":true})");

    // The register answered the closing after all.
    const int64_t late = BeginFor(ledger, 3, "late", 10);
    ledger.MarkClosing(late, true, "[]", "{}", 300);
    ledger.EndReceipt(late, "unknown", "[]", "{}", 0, 300, "no answer");
    ledger.SettleLate(late, 11, 300);
    EXPECT_EQ(ledger.LastOfPort(3)->end, "closed");
    EXPECT_EQ(ledger.LastOfPort(3)->number, 11);
    EXPECT_EQ(ledger.LastOfPort(3)->settledBy, "register");
    key = Claim(ledger, "late");
    EXPECT_EQ(key.state, CLedger::KeyState::Done) << "it was still running";
    EXPECT_EQ(key.response, R"({"number":11,"total":300,"end":"closed","recovered":true})");
    ledger.FinishKey("late", 409, "the front's in-doubt answer, after the settling");
    ledger.SettleLate(late, 12, 300);
    EXPECT_EQ(Claim(ledger, "late").response,
              R"({"number":11,"total":300,"end":"closed","recovered":true})")
        << "the register's settling stands; a settled row is not settled again";
}

// A key is refused when it could not be kept: the file gone, read-only, or the disk full.
TEST_F(LedgerTest, KeysAreRefusedWhenTheyCannotBeKept) {
    std::string report, why;
    {
        CLedger ledger;
        ASSERT_TRUE(ledger.Open(path, &report));
        EXPECT_TRUE(ledger.KeysDurable(&why)) << why;
        ASSERT_EQ(std::rename(path.c_str(), (path + ".old").c_str()), 0);
        EXPECT_FALSE(ledger.KeysDurable(&why));
        EXPECT_NE(why.find("deleted"), std::string::npos) << why;
        EXPECT_EQ(Claim(ledger, "k").state, CLedger::KeyState::Unavailable);
        std::ofstream(path) << "";
        EXPECT_FALSE(ledger.KeysDurable(&why));
        EXPECT_NE(why.find("replaced"), std::string::npos) << why;
        EXPECT_FALSE(ledger.Health().ok);
    }
    // Read-only: the reader's handle stands in when root writes whatever the mode says.
    std::filesystem::remove(path);
    {
        CLedger ledger;
        ASSERT_TRUE(ledger.Open(path, &report));
    }
    chmod(path.c_str(), 0400);
    CLedger readOnly;
    if (geteuid() == 0)
        ASSERT_TRUE(readOnly.OpenForReading(path, &report)) << report;
    else
        ASSERT_TRUE(readOnly.Open(path, &report)) << report;
    EXPECT_FALSE(readOnly.KeysDurable(&why));
    EXPECT_NE(why.find("read-only"), std::string::npos) << why;
    EXPECT_EQ(Claim(readOnly, "k").state, CLedger::KeyState::Unavailable);
}

// A full disk (files may not grow: the write-ahead log cannot take the transaction).
TEST_F(LedgerTest, AFailedWriteIsCountedReportedAndRefusesKeys) {
    CLedger ledger;
    std::string report, why;
    ASSERT_TRUE(ledger.Open(path, &report));
    std::vector<std::string> lines;
    ledger.SetReporter([&](const std::string& line) {
        lines.push_back(line);
        EXPECT_FALSE(ledger.Health().ok) << "the reporter may ask the ledger";
    });
    const int64_t id = BeginFor(ledger, 1, "before");
    ASSERT_GT(id, 0);
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    rlimit full = old;
    full.rlim_cur = 0;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &full), 0);
    EXPECT_EQ(ledger.BeginReceipt(1, "till", false), 0);
    ledger.EndReceipt(id, "closed", "[]", "{}", 1, 100, "");
    const LedgerHealth health = ledger.Health();
    EXPECT_FALSE(health.ok);
    EXPECT_EQ(health.failedWrites, 2);
    EXPECT_NE(health.lastError, "");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find(path), std::string::npos) << lines[0];
    EXPECT_FALSE(ledger.KeysDurable(&why));
    EXPECT_EQ(Claim(ledger, "during").state, CLedger::KeyState::Unavailable);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &old), 0);
    EXPECT_TRUE(ledger.KeysDurable(&why)) << why;
    EXPECT_TRUE(ledger.Health().ok);
    EXPECT_EQ(ledger.Health().failedWrites, 2) << "the count stays";
    EXPECT_EQ(Claim(ledger, "after").state, CLedger::KeyState::New);
}

// A damaged ledger whose tables can still be read gives its receipts and keys to the new one.
TEST_F(LedgerTest, ACorruptLedgerHandsOnWhatCanBeRead) {
    int64_t row = 0;
    {
        CLedger ledger;
        std::string report;
        ASSERT_TRUE(ledger.Open(path, &report));
        row = BeginFor(ledger, 1, "done");
        ledger.EndReceipt(row, "closed", "[]", "{}", 4, 400, "");
        ledger.FinishKey("done", 200, R"({"number":4})");
    }
    // Break the index the queries do not need for a full read.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db, "SELECT rootpage FROM sqlite_master WHERE name='receipts_port_time'", -1,
                       &st, nullptr);
    ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
    const int page = sqlite3_column_int(st, 0);
    sqlite3_finalize(st);
    sqlite3_close(db);
    {
        std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(std::streamoff(page - 1) * 4096);
        file << std::string(4096, '\xEE');
    }
    CLedger ledger;
    std::string report;
    ASSERT_TRUE(ledger.Open(path, &report));
    EXPECT_NE(report.find("moved to"), std::string::npos) << report;
    EXPECT_NE(report.find("1 receipt(s) and 1 idempotency key(s)"), std::string::npos) << report;
    Claimed done = Claim(ledger, "done");
    EXPECT_EQ(done.state, CLedger::KeyState::Done);
    EXPECT_EQ(done.response, R"({"number":4})");
    ASSERT_TRUE(ledger.LastOfPort(1));
    EXPECT_EQ(ledger.LastOfPort(1)->id, row);
    EXPECT_EQ(ledger.LastOfPort(1)->key, "done");
    EXPECT_GT(ledger.BeginReceipt(1, "till", false), row) << "ids go on after the carried rows";
}

// Every end goes into a row and comes back as the text files and HTTP clients have always been
// given, and that text names it again; the typed lines and payments are stored in the shape
// the readers parse.
TEST_F(LedgerTest, EveryEndRoundTripsThroughItsRowAndItsText) {
    CLedger ledger;
    std::string report;
    ASSERT_TRUE(ledger.Open(path, &report)) << report;
    std::set<std::string> texts;
    for (ReceiptEnd end : kReceiptEnds) {
        const std::string text = ReceiptEndText(end);
        SCOPED_TRACE(text);
        EXPECT_EQ(ReceiptEndFromText(text), end);
        texts.insert(text);
        const int64_t id = ledger.BeginReceipt(1, "till", false);
        ledger.EndReceipt(id, end, {{"Хліб \"білий\"", 2, 1000, 2000}},
                          LedgerPayments{2000, 0, 1, 2}, 5, 2000, "");
        const LedgerReceipt row = *ledger.Receipt(id);
        EXPECT_EQ(row.end, text);
        EXPECT_EQ(row.lines, R"([{"name":"Хліб \"білий\"","quantity":2,"price":1000,"sum":2000}])");
        EXPECT_EQ(row.payments, R"({"cash":2000,"check":0,"credit":1,"packing":2})");
    }
    EXPECT_EQ(texts, (std::set<std::string>{"open", "closing", "closed", "cancelled", "refused",
                                            "abandoned", "unknown", "cut"}));
    EXPECT_FALSE(ReceiptEndFromText("printed").has_value());
    EXPECT_FALSE(ReceiptEndFromText("Closed").has_value());
    const int64_t id = ledger.BeginReceipt(1, "till", false);
    ledger.MarkClosing(id, {}, std::nullopt, 0);
    EXPECT_EQ(ledger.Receipt(id)->end, "closing");
    EXPECT_EQ(ledger.Receipt(id)->lines, "[]");
    EXPECT_EQ(ledger.Receipt(id)->payments, "{}") << "a closing that named no payments";
}

std::vector<int64_t> Ids(const std::vector<LedgerReceipt>& rows) {
    std::vector<int64_t> ids;
    for (const LedgerReceipt& r : rows)
        ids.push_back(r.id);
    return ids;
}

// The status asks for the newest rows and the unknown ones at every build and is answered from
// what was read last: every write, this connection's or another's, must show at the next ask.
TEST_F(LedgerTest, TheLatestAndUnknownRowsFollowEveryWrite) {
    std::string report, error;
    CLedger ledger, other;
    ASSERT_TRUE(ledger.Open(path, &report)) << report;
    std::vector<int64_t> ids;
    for (int i = 0; i < 15; ++i)
        ids.push_back(ledger.BeginReceipt(1 + i % 2, "till", false));
    const std::vector<int64_t> newest(ids.rbegin(), ids.rbegin() + 10);
    EXPECT_EQ(Ids(ledger.Latest(10)), newest);
    EXPECT_EQ(Ids(ledger.Latest(3)), std::vector<int64_t>(newest.begin(), newest.begin() + 3));
    EXPECT_TRUE(ledger.Unknown(20).empty());

    // An old row and a new one end in doubt; the new one also changes the newest rows' view.
    ledger.EndReceipt(ids[0], "unknown", "[]", "{}", 0, 100, "no answer");
    ledger.EndReceipt(ids[14], "unknown", "[]", "{}", 0, 200, "no answer");
    EXPECT_EQ(Ids(ledger.Unknown(20)), (std::vector<int64_t>{ids[14], ids[0]}));
    EXPECT_EQ(ledger.Latest(10)[0].end, "unknown");

    // Another process (vskctl settling a row, a second writer) commits behind this connection.
    ASSERT_TRUE(other.Open(path, &report)) << report;
    ASSERT_TRUE(other.SettleByOperator(ids[0], "cancelled", "anna", &error)) << error;
    const int64_t added = other.BeginReceipt(2, "office", false);
    EXPECT_EQ(Ids(ledger.Unknown(20)), std::vector<int64_t>{ids[14]});
    EXPECT_EQ(ledger.Latest(10)[0].id, added);
    ledger.SettleLate(ids[14], 7, 200);
    EXPECT_TRUE(ledger.Unknown(20).empty());
    EXPECT_EQ(ledger.Latest(10)[1].end, "closed");

    // A restart reads the same; a ledger opened on another file keeps nothing of the first.
    ledger.EndReceipt(ids[5], "unknown", "[]", "{}", 0, 0, "no answer");
    const auto latest = Ids(ledger.Latest(10));
    CLedger again, reader;
    ASSERT_TRUE(again.Open(path, &report)) << report;
    EXPECT_EQ(Ids(again.Latest(10)), latest);
    EXPECT_EQ(Ids(again.Unknown(20)), std::vector<int64_t>{ids[5]});
    const std::string second = dir + "/second.sqlite";
    {
        CLedger writer;
        ASSERT_TRUE(writer.Open(second, &report)) << report;
        writer.BeginReceipt(9, "elsewhere", false);
    }
    ASSERT_TRUE(reader.OpenForReading(path, &report)) << report;
    EXPECT_EQ(Ids(reader.Latest(10)), latest);
    ASSERT_TRUE(reader.OpenForReading(second, &report)) << report;
    ASSERT_EQ(reader.Latest(10).size(), 1u);
    EXPECT_EQ(reader.Latest(10)[0].port, 9);
    EXPECT_TRUE(reader.Unknown(20).empty());
}

// Pages read on from the last id of the page before: rows written meanwhile, on the port read
// or another, are neither skipped nor read twice.
TEST_F(LedgerTest, PagesNeitherSkipNorRepeatRowsWrittenMeanwhile) {
    std::string report;
    CLedger ledger;
    ASSERT_TRUE(ledger.Open(path, &report)) << report;
    std::vector<int64_t> portOne;
    auto write = [&](int port) {
        const int64_t id = ledger.BeginReceipt(port, "till", false);
        if (port == 1)
            portOne.push_back(id);
    };
    for (int i = 0; i < 9; ++i)
        write(1 + i % 3);
    std::vector<int64_t> read;
    for (int64_t after = 0; read.size() < 100;) {
        const auto page = ledger.Receipts(1, "", 2, after);
        if (page.empty())
            break;
        EXPECT_LE(page.size(), 2u);
        for (const LedgerReceipt& r : page)
            read.push_back(r.id);
        after = page.back().id;
        if (portOne.size() < 8) {
            write(1);
            write(2);
        }
    }
    EXPECT_EQ(read, portOne);
    EXPECT_EQ(ledger.Receipts(0, "", 1000, portOne.back()).size(), 1u)
        << "all ports: the port-2 row written after the last page's row";
    EXPECT_TRUE(ledger.Receipts(0, "9999", 1000, 0).empty()) << "since still filters";
}

TEST(LedgerSince, AcceptsADateOrTimePrefixOnly) {
    for (const char* ok : {"", "2026-03-01", "2026-03-01T09:30", "2026-03-01T09:30:15",
                           "2026-03-01T09:30Z", "2026-12-31T23:59:59Z"})
        EXPECT_TRUE(CLedger::ValidSince(ok)) << ok;
    for (const char* bad :
         {"2026", "2026-3-01", "yesterday", "2026-13-01", "2026-03-32", "2026-03-01 09:30",
          "2026-03-01T24:00", "2026-03-01T09:30:15+02", "2026-03-01T09", "2026-03-01'--"})
        EXPECT_FALSE(CLedger::ValidSince(bad)) << bad;
}

TEST(LedgerCsv, OneReceiptARowAndOneLineARowWithoutJson) {
    LedgerReceipt r;
    r.id = 7;
    r.time = "2026-03-01T09:30:00Z";
    r.port = 2;
    r.client = "Каса, 1";
    r.cashier = "Anna";
    r.serial = "VK123";
    r.kind = "sale";
    r.number = 12;
    r.numberBefore = 11;
    r.total = 2410;
    r.end = "closed";
    r.lines =
        R"([{"name":"Хліб \"білий\"","quantity":2,"price":1000,"sum":2000},)"
        R"({"name":"\u0421\u0456\u043b\u044c","quantity":1000,"price":410,"sum":410},)"
        // a pair of surrogates, and a member of nested values skipped whole
        R"({"name":"\ud83c\udf4e","tax":{"g":[1,{"a":"]}"}]},"quantity":1,"price":5,"sum":5}])";
    r.payments = R"({"cash": 2000, "check":0,"credit":410})";
    const std::string csv = CLedger::Csv({r});
    EXPECT_EQ(csv,
              "id,time,port,client,cashier,clientCashier,serial,kind,number,numberBefore,total,end,"
              "error,endedAt,settledBy,settledAt,cash,check,credit,packing,lineCount\n"
              "7,2026-03-01T09:30:00Z,2,\"Каса, 1\",Anna,,VK123,sale,12,11,2410,closed,,,,,"
              "2000,0,410,0,3\n");
    EXPECT_EQ(CLedger::CsvLines({r}),
              "receipt,line,name,quantity,price,sum\n"
              "7,1,\"Хліб \"\"білий\"\"\",2,1000,2000\n"
              "7,2,Сіль,1000,410,410\n"
              "7,3,\U0001F34E,1,5,5\n");
    r.lines = "[";
    r.payments = "";
    r.numberBefore.reset();
    EXPECT_NE(CLedger::Csv({r}).find(",12,,2410,closed,,,,,0,0,0,0,0\n"), std::string::npos)
        << "damaged JSON is counted as far as it goes";
}

}  // namespace
}  // namespace vsk
