// CLedger: the receipts ledger, an SQLite file in the user's state folder. Every receipt the
// server opens gets a row before it opens (so a crash leaves a row to complete) and the row is
// completed when the receipt ends; the idempotency keys of the HTTP front end live here too.
//
// A ledger that cannot be used never stops the server: Open reports why, and every later call
// on a closed ledger does nothing. Thread-safe: the port workers and the HTTP threads share it.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace vsk {

struct LedgerReceipt {
    int64_t id = 0;
    std::string time;  // UTC, ISO 8601, when the row was written (before the opening)
    int port = 0;
    std::string client;
    std::string kind;      // "sale" or "return"
    std::string lines;     // JSON array, as the writer gave it
    std::string payments;  // JSON object
    int64_t number = 0;    // the register's receipt number (0: none)
    int64_t total = 0;     // kopecks
    // "open", "closing", "closed", "cancelled", "refused", "abandoned"; after a crash "cut"
    // (never asked to close: the register cancels it) or "unknown" (cut while closing)
    std::string end;
    std::string error;  // code and message of a refusal
    std::string endedAt;
};

class CLedger {
public:
    CLedger() = default;
    ~CLedger();
    CLedger(const CLedger&) = delete;
    CLedger& operator=(const CLedger&) = delete;

    // Opens or creates the ledger. A file that is not a sound database is moved aside
    // (<path>.corrupt-<seconds>) and a new one made; a file another process keeps locked
    // leaves the ledger closed. *report says what happened whenever it was not plain.
    bool Open(const std::string& path, std::string* report);
    // For readers (vskctl): the file as it is, never created, moved or changed.
    bool OpenForReading(const std::string& path, std::string* report);
    bool IsOpen() const { return m_db != nullptr; }
    // The default file: <state folder>/vskmanager/ledger.sqlite.
    static std::string DefaultPath();

    // The server's start: rows a killed server left open become "cut" (the register cancels a
    // receipt left open at the next opening), rows it left closing become "unknown", and keys
    // whose request was cut answer what became of their receipt (closed ones their number and
    // total). Returns the rows completed.
    int RecoverAfterCrash();

    // Before a receipt opens; the row's id (0 when the ledger is closed).
    int64_t BeginReceipt(int port, const std::string& client, bool isReturn);
    // The lines printed so far, after each one: a receipt cut by a crash still shows what it
    // had sold. Written without waiting for the disk (a killed process loses nothing; only a
    // power cut could), since the receipt's end syncs the log with these updates in it.
    void RecordLines(int64_t id, const std::string& linesJson);
    // Just before the register is asked to close it (closing) and, should the register refuse
    // and the receipt stay open, again after (not closing). A crash between the register's
    // close and the row's completion leaves it "unknown", never "cut": it may have printed.
    void MarkClosing(int64_t id, bool closing, const std::string& linesJson = "",
                     const std::string& paymentsJson = "", int64_t total = 0);
    // When it has ended (or its opening was refused).
    void EndReceipt(int64_t id, const std::string& end, const std::string& linesJson,
                    const std::string& paymentsJson, int64_t number, int64_t total,
                    const std::string& error);

    // Rows of one port (0: all) written at or after `since` (ISO 8601 prefix; empty: all).
    std::vector<LedgerReceipt> Receipts(int port, const std::string& since, int limit = 1000);
    // The latest `count` rows, newest first.
    std::vector<LedgerReceipt> Latest(int count);
    static std::string Csv(const std::vector<LedgerReceipt>& rows);

    // Idempotency keys. Claim: New (the key is now running), Running (a request with it is
    // under way), Done (*status and *response hold the stored answer).
    enum class KeyState { New, Running, Done, Unavailable };
    // `port` and `client`: where and under which client name a whole receipt of the key prints
    // (port 0: not a whole receipt), so that recovery can find its row after a crash.
    KeyState ClaimKey(const std::string& key, int* status, std::string* response, int port = 0,
                      const std::string& client = "");
    void FinishKey(const std::string& key, int status, const std::string& response);

private:
    bool Exec(const char* sql);
    bool Prepare(std::string* report);
    void Close();

    std::mutex m_mutex;
    sqlite3* m_db = nullptr;
};

}  // namespace vsk
