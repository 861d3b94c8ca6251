#include "ledger/ledger.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

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
    EXPECT_NE(csv.find(R"("[{""name"":""Хліб""}]")"), std::string::npos) << csv;
    EXPECT_NE(csv.find(",2,office,return,0,0,open,"), std::string::npos) << csv;
    (void)other;
}

// A server killed with receipts open: the next start marks them cut, and the keys of the
// requests it was serving answer that.
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
        int status = 0;
        std::string response;
        ASSERT_EQ(ledger.ClaimKey("k", &status, &response), CLedger::KeyState::New);
        // Port 2: one receipt refused its close (open again), then one killed while closing.
        ASSERT_EQ(ledger.ClaimKey("closing", &status, &response, 2, "till"),
                  CLedger::KeyState::New);
        const int64_t refused = ledger.BeginReceipt(2, "till", false);
        ledger.MarkClosing(refused, true, "[]", R"({"cash":1})", 500);
        ledger.MarkClosing(refused, false);
        ledger.EndReceipt(refused, "cancelled", "[]", "", 0, 0, "");
        const int64_t closing = ledger.BeginReceipt(2, "till", false);
        ledger.MarkClosing(closing, true, R"([{"name":"Сир"}])", R"({"cash":5000})", 1000);
        ASSERT_EQ(ledger.ClaimKey("open", &status, &response, 3, "till"), CLedger::KeyState::New);
        const int64_t reopened = ledger.BeginReceipt(3, "till", false);
        ledger.MarkClosing(reopened, true);
        ledger.MarkClosing(reopened, false);
        // Port 4: the receipt closed, the answer was not stored yet; another client's receipt
        // on port 5 is not the one of a key that never got as far as opening.
        ASSERT_EQ(ledger.ClaimKey("closed", &status, &response, 4, "web"), CLedger::KeyState::New);
        const int64_t closed = ledger.BeginReceipt(4, "web", false);
        ledger.EndReceipt(closed, "closed", "[]", "{}", 9, 700, "");
        ASSERT_EQ(ledger.ClaimKey("waiting", &status, &response, 5, "web"), CLedger::KeyState::New);
        const int64_t others = ledger.BeginReceipt(5, "till", false);
        ledger.EndReceipt(others, "closed", "[]", "{}", 10, 800, "");
    }  // the process "dies": nothing more is written
    CLedger ledger;
    std::string report;
    ASSERT_TRUE(ledger.Open(path, &report));
    EXPECT_EQ(ledger.RecoverAfterCrash(), 3);
    auto rows = ledger.Receipts(0, "");
    ASSERT_EQ(rows.size(), 7u);
    EXPECT_EQ(rows[3].end, "unknown") << "killed while the register closed it: it may have printed";
    EXPECT_EQ(rows[3].total, 1000);
    EXPECT_EQ(rows[3].payments, R"({"cash":5000})");
    EXPECT_EQ(rows[4].end, "cut") << "its refused close left it open";
    int answered = 0;
    std::string answer;
    ASSERT_EQ(ledger.ClaimKey("closed", &answered, &answer), CLedger::KeyState::Done);
    EXPECT_EQ(answered, 200) << "the receipt printed: its key must not lead to printing it again";
    EXPECT_NE(answer.find(R"("number":9,"total":700,"end":"closed")"), std::string::npos) << answer;
    ASSERT_EQ(ledger.ClaimKey("waiting", &answered, &answer), CLedger::KeyState::Done);
    EXPECT_EQ(answered, 409);
    EXPECT_NE(answer.find(R"("end":"cut")"), std::string::npos) << answer;
    for (const char* key : {"closing", "open"}) {
        int status = 0;
        std::string response;
        ASSERT_EQ(ledger.ClaimKey(key, &status, &response), CLedger::KeyState::Done);
        EXPECT_EQ(status, 409);
        EXPECT_NE(response.find(std::string(R"("end":")") +
                                (key == std::string("open") ? "cut" : "unknown")),
                  std::string::npos)
            << key << ": " << response;
    }
    EXPECT_EQ(rows[0].end, "cut");
    EXPECT_EQ(rows[0].lines, R"([{"name":"Хліб"},{"name":"Сир"}])") << "what it had sold";
    EXPECT_EQ(rows[1].end, "closed") << "an ended receipt is left as it was";
    EXPECT_EQ(rows[1].lines, "[]");
    int status = 0;
    std::string response;
    ASSERT_EQ(ledger.ClaimKey("k", &status, &response), CLedger::KeyState::Done);
    EXPECT_EQ(status, 409);
    EXPECT_NE(response.find("cut"), std::string::npos) << response;
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
                           "INSERT INTO idempotency VALUES('old','done',200,'{}','2026-01-01');",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    CLedger ledger;
    std::string report;
    ASSERT_TRUE(ledger.Open(path, &report)) << report;
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
}

}  // namespace
}  // namespace vsk
