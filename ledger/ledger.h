// CLedger: the receipts ledger, an SQLite file in the user's state folder. Every receipt the
// server opens gets a row before it opens (so a crash leaves a row to complete) and the row is
// completed when the receipt ends; the idempotency keys of the HTTP front end live here too,
// each bound to its request's fingerprint and to the row of the receipt it opened.
//
// A ledger that cannot be used never stops the server: Open reports why, and every later call
// on a closed ledger does nothing. A write that does not go through is counted and handed to
// the reporter (Health, SetReporter). Thread-safe: the port workers and the HTTP threads share
// it.
#pragma once

#include <sqlite3.h>
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vsk {

// How a receipt's row stands or ended. Its text is what the file stores and the API shows, so a
// text once given never changes: "open" and "closing" while the receipt is under way, then
// "closed", "cancelled", "refused" (the register would not open it), "abandoned" (its client
// let go with it open), "unknown" (a closing the register did not answer) or, settled after a
// crash, "cut".
enum class ReceiptEnd { Open, Closing, Closed, Cancelled, Refused, Abandoned, Unknown, Cut };
inline constexpr ReceiptEnd kReceiptEnds[] = {
    ReceiptEnd::Open,    ReceiptEnd::Closing,   ReceiptEnd::Closed,  ReceiptEnd::Cancelled,
    ReceiptEnd::Refused, ReceiptEnd::Abandoned, ReceiptEnd::Unknown, ReceiptEnd::Cut,
};
const char* ReceiptEndText(ReceiptEnd end);
// The end a stored text names; nullopt for a text that names none.
std::optional<ReceiptEnd> ReceiptEndFromText(std::string_view text);

// A sale line as the register printed it.
struct LedgerLine {
    std::string name;  // as it went to the register (cut to its width, '?' for what it lacks)
    int64_t quantity = 0;
    int64_t price = 0;
    int64_t sum = 0;  // with the line's taxes
};

// The payments a closing named, in kopecks.
struct LedgerPayments {
    int64_t cash = 0;
    int64_t check = 0;
    int64_t credit = 0;
    int64_t packing = 0;
};

struct LedgerReceipt {
    int64_t id = 0;
    std::string time;  // UTC, ISO 8601, when the row was written (before the opening)
    int port = 0;
    std::string client;
    std::string cashier;        // the port's login cashier
    std::string clientCashier;  // the client's own cashier when it differs, else empty
    std::string serial;         // the register's serial number
    std::string kind;           // "sale" or "return"
    std::string lines;          // JSON array of the lines (name, quantity, price, sum)
    std::string payments;       // JSON object (cash, check, credit, packing; {} for none named)
    int64_t number = 0;         // the register's receipt number (0: none)
    // The register's last receipt number when the receipt opened (nullopt: unknown): after a
    // crash the counter now against this one says whether it printed.
    std::optional<int64_t> numberBefore;
    int64_t total = 0;  // kopecks
    // The text of a ReceiptEnd. Settled after a crash "cut" (never printed: the register
    // cancels it) or "unknown" (whether it printed cannot be told: an operator decides). A row
    // a killed server left open or closing stays so until the register settles it (SettlePort).
    std::string end;
    std::string error;  // code and message of a refusal, or why the row is unknown
    std::string endedAt;
    std::string settledBy;  // "register" or the operator's user name; empty: ended normally
    std::string settledAt;
    std::string key;  // the idempotency key bound to the row ("" for none)
};

struct ReceiptStart {
    int port = 0;
    std::string client;  // the client program's name
    bool isReturn = false;
    std::string cashier;                  // the port's login
    std::string clientCashier;            // the client's own cashier when it differs
    std::string serial;                   // register serial number
    std::optional<int64_t> numberBefore;  // register's last receipt number now
    bool lockHeld = false;                // the caller holds the port's advisory lock
};

struct LedgerHealth {
    bool ok = true;  // open, and the last write went through
    int64_t failedWrites = 0;
    std::string lastError;
};

class CLedger {
public:
    CLedger() = default;
    ~CLedger();
    CLedger(const CLedger&) = delete;
    CLedger& operator=(const CLedger&) = delete;

    // Opens or creates the ledger. A file that is not a sound database is moved aside
    // (<path>.corrupt-<seconds>) and a new one made, with whatever receipts and keys can still
    // be read from the old one; a file another process keeps locked leaves the ledger closed;
    // a file that cannot be written is opened read-only (no key is then durable).
    // *report says what happened whenever it was not plain.
    bool Open(const std::string& path, std::string* report);
    // For readers (vskctl): the file as it is, never created, moved or changed.
    bool OpenForReading(const std::string& path, std::string* report);
    bool IsOpen() const { return m_db != nullptr; }
    // The default file: <state folder>/vskmanager/ledger.sqlite.
    static std::string DefaultPath();

    // Every write that does not go through: counted, kept, and given to the reporter (called
    // outside the ledger's lock, so it may ask the ledger again).
    LedgerHealth Health();
    void SetReporter(std::function<void(const std::string& line)> report);

    // The server's start: rows a killed server left "open" or "closing" are kept as they are
    // but marked as cut by a crash, for SettlePort to decide; running keys with no row are
    // released; running keys whose row is settled already get their answer. Returns the rows
    // marked.
    int RecoverAfterCrash();
    // Ports with rows a killed server left open or closing, not yet settled.
    std::vector<int> PortsToSettle();
    // Settles those rows of `port` by the register's last receipt number now (nullopt: it
    // cannot tell): "open" becomes "cut"; "closing" becomes "closed" with number now when now
    // is numberBefore + 1 and it is the port's only crashed closing row, "cut" when the
    // counter has not moved, else "unknown" with both numbers in its error. Their keys get
    // the answer. Returns the rows settled.
    int SettlePort(int port, std::optional<int64_t> registerNumberNow);
    // An operator's decision on an "unknown" (or crashed, unsettled) row: end is "closed" or
    // "cancelled"; the row's key then answers it. False with *error for a row that does not
    // exist or has another final end.
    bool SettleByOperator(int64_t id, const std::string& end, const std::string& user,
                          std::string* error);
    // A receipt whose closing went unanswered (the row ended "unknown" while the server ran)
    // was answered by the register after all: the row becomes "closed" with the register's
    // number and total, settled by "register"; its key, when running or holding an UNKNOWN
    // answer, answers the receipt.
    void SettleLate(int64_t id, int64_t number, int64_t total);
    // Rows still "unknown", newest first. Read through an index of those rows alone, and kept
    // between writes (see Latest).
    std::vector<LedgerReceipt> Unknown(int limit = 50);
    // The latest row of a port (nullopt: none).
    std::optional<LedgerReceipt> LastOfPort(int port);
    // One row by its id (nullopt: none).
    std::optional<LedgerReceipt> Receipt(int64_t id);

    // Before a receipt opens; the row's id, 0 when it could not be written (ledger closed or
    // the write failed: see Health). When `lockHeld` and a key is expected on the port
    // (ExpectReceipt), the row is bound to that key in the same transaction, and the
    // expectation is consumed.
    int64_t BeginReceipt(const ReceiptStart& start);
    int64_t BeginReceipt(int port, const std::string& client, bool isReturn);
    // The HTTP front, holding the port's lock, says that the next receipt begun on `port` by
    // the lock's holder belongs to `key`. In memory only; ForgetExpected drops it (the request
    // ended without opening one).
    void ExpectReceipt(int port, const std::string& key);
    void ForgetExpected(int port);
    // The lines printed so far, after each one: a receipt cut by a crash still shows what it
    // had sold. Written without waiting for the disk (a killed process loses nothing; only a
    // power cut could), since the receipt's end syncs the log with these updates in it.
    void RecordLines(int64_t id, const std::vector<LedgerLine>& lines);
    // Just before the register is asked to close it (payments nullopt: the closing named
    // none). A crash between the register's close and the row's completion leaves it closing,
    // never open: it may have printed.
    void MarkClosing(int64_t id, const std::vector<LedgerLine>& lines,
                     const std::optional<LedgerPayments>& payments, int64_t total);
    // When it has ended (or its opening was refused). Keys are left to the front.
    void EndReceipt(int64_t id, ReceiptEnd end, const std::vector<LedgerLine>& lines,
                    const std::optional<LedgerPayments>& payments, int64_t number, int64_t total,
                    const std::string& error);

    // The same as they are stored: lines and payments as JSON texts, the end as its text. For
    // tools and tests that write rows such as an older server left them. MarkClosing with
    // `closing` false: the register refused to close and the receipt is open again.
    void RecordLines(int64_t id, const std::string& linesJson);
    void MarkClosing(int64_t id, bool closing, const std::string& linesJson = "",
                     const std::string& paymentsJson = "", int64_t total = 0);
    void EndReceipt(int64_t id, const std::string& end, const std::string& linesJson,
                    const std::string& paymentsJson, int64_t number, int64_t total,
                    const std::string& error);
    // The JSON texts the typed forms store.
    static std::string LinesJson(const std::vector<LedgerLine>& lines);
    static std::string PaymentsJson(const std::optional<LedgerPayments>& payments);

    // Rows of one port (0: all) written at or after `since` (ISO 8601 prefix; empty: all), in
    // the order they were written, from the first whose id is above `after`: a reader that
    // goes on after the last row it has neither misses nor repeats one, however many are
    // written meanwhile (ids only grow).
    std::vector<LedgerReceipt> Receipts(int port, const std::string& since, int limit = 1000,
                                        int64_t after = 0);
    // The latest `count` rows, newest first. The status page asks for them (and for Unknown)
    // at every build: the answer is kept until a row changes, this server's write or another
    // process's (vskctl settling a row), and then read again from the end of the table alone.
    std::vector<LedgerReceipt> Latest(int count);
    // "" or an ISO 8601 UTC date or time prefix: YYYY-MM-DD, optionally THH:MM[:SS][Z].
    static bool ValidSince(const std::string& since);
    // A receipt a row, under the field names of the HTTP API's JSON; payments in four columns
    // and the lines counted (CsvLines has them).
    static std::string Csv(const std::vector<LedgerReceipt>& rows);
    // The sale lines of the rows, one a row.
    static std::string CsvLines(const std::vector<LedgerReceipt>& rows);

    // Idempotency keys, each claimed for one request fingerprint (method, path, port and the
    // body's canonical form, made by the front). New: the key is now running. Running: a
    // request with it is under way. Done: *status and *response hold the stored answer.
    // Reused: the key was first used for another request (*firstTime: when); nothing must
    // run. Unsettled: its request was cut by a crash and its row is not settled yet: *port
    // must be settled (SettlePort) first. Unavailable: the key cannot be stored durably now
    // (KeysDurable); nothing must run.
    enum class KeyState { New, Running, Done, Reused, Unsettled, Unavailable };
    KeyState ClaimKey(const std::string& key, const std::string& fingerprint, int* status,
                      std::string* response, std::string* firstTime, int* port);
    // The earlier claim, without a fingerprint (any request matches) and never Reused or
    // Unsettled (a cut request's key answers Running until its port is settled).
    KeyState ClaimKey(const std::string& key, int* status, std::string* response, int port = 0,
                      const std::string& client = "");
    void FinishKey(const std::string& key, int status, const std::string& response);
    // The request printed nothing: the key is free again, fingerprint and all.
    void ReleaseKey(const std::string& key);
    // Whether a key can be stored durably now: false with the reason when the ledger is
    // closed, read-only, its file has gone (deleted or replaced while the server runs), or the
    // last write failed and a probe write still fails.
    bool KeysDurable(std::string* why);

private:
    class Locked;
    bool Exec(const char* sql);
    bool Write(const char* sql, const char* what);
    void Failed(const std::string& what);
    void Succeeded() { m_failing = false; }
    bool Prepare(std::string* report);
    bool DurableLocked(std::string* why);
    void AnswerKey(int64_t row, int status, const std::string& response, bool overUnknown);
    std::string CarryFrom(const std::string& aside);
    std::vector<LedgerReceipt> Select(const std::string& where,
                                      const std::function<void(sqlite3_stmt*)>& bind);
    // A query's rows as last read, with the count they were read for.
    struct Kept {
        int count = -1;
        std::vector<LedgerReceipt> rows;
    };
    std::vector<LedgerReceipt> KeptOrRead(Kept& kept, int count, const char* where);
    void Close();

    std::mutex m_mutex;
    sqlite3* m_db = nullptr;
    std::string m_path;
    std::string m_select;  // the receipts' columns, old files' missing ones as defaults
    dev_t m_dev = 0;
    ino_t m_ino = 0;
    bool m_failing = false;
    int64_t m_failedWrites = 0;
    std::string m_lastError;
    std::vector<std::string> m_toReport;
    std::function<void(const std::string&)> m_reporter;
    std::map<int, std::string> m_expected;
    // What Latest and Unknown answered, and the marks of the file's state they were read at:
    // this connection's count of changed rows and the file's data version (other processes).
    Kept m_latest, m_unknown;
    int64_t m_keptChanges = -1, m_keptVersion = -1;
};

}  // namespace vsk
