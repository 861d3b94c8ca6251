#include "ledger/ledger.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>

namespace vsk {

namespace {

std::string NowIso() {
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&now, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

// One statement with its bindings; finalized when it goes.
class Statement {
public:
    Statement(sqlite3* db, const char* sql) {
        if (sqlite3_prepare_v2(db, sql, -1, &m_stmt, nullptr) != SQLITE_OK)
            m_stmt = nullptr;
    }
    ~Statement() { sqlite3_finalize(m_stmt); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    explicit operator bool() const { return m_stmt != nullptr; }
    Statement& Bind(int at, int64_t v) {
        sqlite3_bind_int64(m_stmt, at, v);
        return *this;
    }
    Statement& Bind(int at, const std::string& v) {
        sqlite3_bind_text(m_stmt, at, v.data(), int(v.size()), SQLITE_TRANSIENT);
        return *this;
    }
    int Step() { return m_stmt ? sqlite3_step(m_stmt) : SQLITE_MISUSE; }
    int64_t Int(int col) { return sqlite3_column_int64(m_stmt, col); }
    std::string Text(int col) {
        const unsigned char* t = sqlite3_column_text(m_stmt, col);
        return t ? std::string(reinterpret_cast<const char*>(t)) : std::string();
    }

private:
    sqlite3_stmt* m_stmt = nullptr;
};

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS receipts("
    " id INTEGER PRIMARY KEY AUTOINCREMENT, time TEXT NOT NULL, port INTEGER NOT NULL,"
    " client TEXT NOT NULL, kind TEXT NOT NULL, lines TEXT NOT NULL DEFAULT '[]',"
    " payments TEXT NOT NULL DEFAULT '{}', number INTEGER NOT NULL DEFAULT 0,"
    " total INTEGER NOT NULL DEFAULT 0, end_state TEXT NOT NULL DEFAULT 'open',"
    " error TEXT NOT NULL DEFAULT '', ended_at TEXT NOT NULL DEFAULT '');"
    "CREATE INDEX IF NOT EXISTS receipts_port_time ON receipts(port, time);"
    "CREATE TABLE IF NOT EXISTS idempotency("
    " key TEXT PRIMARY KEY, state TEXT NOT NULL, status INTEGER NOT NULL DEFAULT 0,"
    " response TEXT NOT NULL DEFAULT '', time TEXT NOT NULL);";
// Added later: a ledger made before has the columns added at its opening.
constexpr std::pair<const char*, const char*> kKeyColumns[] = {
    {"port", "ALTER TABLE idempotency ADD COLUMN port INTEGER NOT NULL DEFAULT 0"},
    {"client", "ALTER TABLE idempotency ADD COLUMN client TEXT NOT NULL DEFAULT ''"},
};

constexpr const char* kCutAnswer =
    R"({"error":{"code":"CUT","message":"the first request with this key was cut by a server)"
    R"( crash before its receipt was closed; the register cancels it"},"end":"cut"})";
constexpr const char* kUnknownAnswer =
    R"({"error":{"code":"UNKNOWN","message":"the first request with this key was cut by a)"
    R"( server crash while the register closed its receipt: whether it printed shows in the)"
    R"( register's last receipt number; do not print it again before looking"},"end":"unknown"})";

std::string CsvField(const std::string& v) {
    if (v.find_first_of(",\"\n\r") == std::string::npos)
        return v;
    std::string out = "\"";
    for (char c : v) {
        if (c == '"')
            out += '"';
        out += c;
    }
    return out + "\"";
}

}  // namespace

CLedger::~CLedger() {
    Close();
}

void CLedger::Close() {
    if (m_db)
        sqlite3_close_v2(m_db);
    m_db = nullptr;
}

std::string CLedger::DefaultPath() {
    std::string base;
    if (const char* state = std::getenv("XDG_STATE_HOME"); state && *state)
        base = state;
    else if (const char* home = std::getenv("HOME"); home && *home)
        base = std::string(home) + "/.local/state";
    else
        base = "/tmp";
    return base + "/vskmanager/ledger.sqlite";
}

bool CLedger::Exec(const char* sql) {
    return sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

// Opens the schema on an open handle; false with the reason when the file is unusable.
bool CLedger::Prepare(std::string* report) {
    sqlite3_busy_timeout(m_db, 2000);
    // WAL: readers (vskctl --ledger, the HTTP queries) never block the writers; FULL: a row
    // is on the disk before the register is asked to open the receipt.
    {
        Statement check(m_db, "PRAGMA quick_check");
        int rc = check.Step();
        if (rc != SQLITE_ROW || check.Text(0) != "ok") {
            *report = sqlite3_errmsg(m_db);
            if (rc == SQLITE_ROW)
                *report = check.Text(0);
            return false;
        }
    }
    if (!Exec("PRAGMA journal_mode=WAL") || !Exec("PRAGMA synchronous=FULL") || !Exec(kSchema)) {
        *report = sqlite3_errmsg(m_db);
        return false;
    }
    std::vector<std::string> have;
    {
        Statement columns(m_db, "PRAGMA table_info(idempotency)");
        while (columns.Step() == SQLITE_ROW)
            have.push_back(columns.Text(1));
    }
    for (const auto& [name, add] : kKeyColumns) {
        if (std::find(have.begin(), have.end(), name) == have.end() && !Exec(add)) {
            *report = sqlite3_errmsg(m_db);
            return false;
        }
    }
    return true;
}

bool CLedger::Open(const std::string& path, std::string* report) {
    std::lock_guard lock(m_mutex);
    Close();
    report->clear();
    std::error_code ec;
    const auto folder = std::filesystem::path(path).parent_path();
    if (!folder.empty()) {
        std::filesystem::create_directories(folder, ec);
        chmod(folder.c_str(), 0700);
    }
    auto openFile = [&](std::string* why) {
        const mode_t old = umask(0077);
        int rc = sqlite3_open_v2(path.c_str(), &m_db,
                                 SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                                 nullptr);
        umask(old);
        if (rc != SQLITE_OK) {
            *why = m_db ? sqlite3_errmsg(m_db) : "cannot open";
            Close();
            return false;
        }
        if (!Prepare(why)) {
            Close();
            return false;
        }
        return true;
    };
    std::string why;
    if (openFile(&why))
        return true;
    const bool locked = why.find("locked") != std::string::npos;
    if (locked) {
        *report = "receipts ledger " + path + " is locked by another process (" + why +
                  "); running without a ledger";
        return false;
    }
    // Not a database (or a damaged one): kept for whoever wants to look, and a new one made.
    const std::string aside = path + ".corrupt-" + std::to_string(std::time(nullptr));
    if (std::rename(path.c_str(), aside.c_str()) != 0) {
        *report = "receipts ledger " + path + " cannot be used (" + why +
                  ") nor moved aside; running without a ledger";
        return false;
    }
    std::rename((path + "-wal").c_str(), (aside + "-wal").c_str());
    std::remove((path + "-shm").c_str());
    std::string again;
    if (!openFile(&again)) {
        *report =
            "receipts ledger " + path + " cannot be made (" + again + "); running without a ledger";
        return false;
    }
    *report = "receipts ledger " + path + " was damaged (" + why + "); moved to " + aside +
              " and a new ledger started";
    return true;
}

bool CLedger::OpenForReading(const std::string& path, std::string* report) {
    std::lock_guard lock(m_mutex);
    Close();
    if (sqlite3_open_v2(path.c_str(), &m_db, SQLITE_OPEN_READONLY | SQLITE_OPEN_FULLMUTEX,
                        nullptr) != SQLITE_OK) {
        *report = "cannot open the receipts ledger " + path + ": " +
                  (m_db ? sqlite3_errmsg(m_db) : "out of memory");
        Close();
        return false;
    }
    sqlite3_busy_timeout(m_db, 2000);
    Statement probe(m_db, "SELECT count(*) FROM receipts");
    if (probe.Step() != SQLITE_ROW) {
        *report = "cannot read the receipts ledger " + path + ": " + sqlite3_errmsg(m_db);
        Close();
        return false;
    }
    return true;
}

int CLedger::RecoverAfterCrash() {
    std::lock_guard lock(m_mutex);
    if (!m_db)
        return 0;
    Exec("BEGIN IMMEDIATE");
    // A whole receipt's key answers what became of its receipt: the latest row its port had
    // for its client, begun after the key was claimed (one receipt at a time holds a port's
    // lock). Without one, nothing was opened: nothing printed.
    struct Key {
        std::string key;
        int status = 409;
        std::string response = kCutAnswer;
    };
    std::vector<Key> keys;
    {
        Statement running(m_db,
                          "SELECT k.key, r.end_state, r.number, r.total FROM idempotency k"
                          " LEFT JOIN receipts r ON r.id = (SELECT id FROM receipts"
                          "  WHERE port = k.port AND k.port > 0 AND client = k.client AND"
                          "  time >= k.time ORDER BY id DESC LIMIT 1)"
                          " WHERE k.state = 'running'");
        while (running.Step() == SQLITE_ROW) {
            Key k;
            k.key = running.Text(0);
            const std::string end = running.Text(1);
            if (end == "closing") {
                k.response = kUnknownAnswer;
            } else if (end == "closed") {
                k.status = 200;
                k.response = "{\"number\":" + std::to_string(running.Int(2)) +
                             ",\"total\":" + std::to_string(running.Int(3)) +
                             ",\"end\":\"closed\",\"recovered\":true}";
            } else if (!end.empty() && end != "open") {
                k.response = R"({"error":{"code":"NOT_PRINTED","message":"the first request with)"
                             R"( this key was cut by a server crash; its receipt ended )" +
                             end + R"("},"end":")" + end + "\"}";
            }
            keys.push_back(std::move(k));
        }
    }
    for (const Key& k : keys) {
        Statement done(m_db,
                       "UPDATE idempotency SET state='done', status=?1, response=?2 WHERE key=?3");
        done.Bind(1, k.status).Bind(2, k.response).Bind(3, k.key).Step();
    }
    const std::string now = NowIso();
    Statement closing(m_db,
                      "UPDATE receipts SET end_state='unknown', ended_at=?1,"
                      " error='the server ended while the register closed the receipt: whether"
                      " it printed shows in the register''s last receipt number'"
                      " WHERE end_state='closing'");
    closing.Bind(1, now).Step();
    int completed = sqlite3_changes(m_db);
    Statement rows(m_db,
                   "UPDATE receipts SET end_state='cut', ended_at=?1,"
                   " error='the server ended while the receipt was open; the register cancels it"
                   " at its next opening' WHERE end_state='open'");
    rows.Bind(1, now).Step();
    completed += sqlite3_changes(m_db);
    Exec("COMMIT");
    return completed;
}

int64_t CLedger::BeginReceipt(int port, const std::string& client, bool isReturn) {
    std::lock_guard lock(m_mutex);
    if (!m_db)
        return 0;
    Statement insert(m_db, "INSERT INTO receipts(time, port, client, kind) VALUES(?1,?2,?3,?4)");
    insert.Bind(1, NowIso()).Bind(2, port).Bind(3, client).Bind(4, isReturn ? "return" : "sale");
    if (insert.Step() != SQLITE_DONE)
        return 0;
    return sqlite3_last_insert_rowid(m_db);
}

void CLedger::RecordLines(int64_t id, const std::string& linesJson) {
    std::lock_guard lock(m_mutex);
    if (!m_db || id <= 0)
        return;
    Exec("PRAGMA synchronous=NORMAL");
    Statement update(m_db, "UPDATE receipts SET lines=?1 WHERE id=?2 AND end_state='open'");
    update.Bind(1, linesJson).Bind(2, id).Step();
    Exec("PRAGMA synchronous=FULL");
}

void CLedger::MarkClosing(int64_t id, bool closing, const std::string& linesJson,
                          const std::string& paymentsJson, int64_t total) {
    std::lock_guard lock(m_mutex);
    if (!m_db || id <= 0)
        return;
    if (closing) {
        Statement update(m_db,
                         "UPDATE receipts SET end_state='closing', lines=?1, payments=?2,"
                         " total=?3 WHERE id=?4 AND end_state='open'");
        update.Bind(1, linesJson.empty() ? "[]" : linesJson)
            .Bind(2, paymentsJson.empty() ? "{}" : paymentsJson)
            .Bind(3, total)
            .Bind(4, id)
            .Step();
    } else {
        Statement update(
            m_db, "UPDATE receipts SET end_state='open' WHERE id=?1 AND end_state='closing'");
        update.Bind(1, id).Step();
    }
}

void CLedger::EndReceipt(int64_t id, const std::string& end, const std::string& linesJson,
                         const std::string& paymentsJson, int64_t number, int64_t total,
                         const std::string& error) {
    std::lock_guard lock(m_mutex);
    if (!m_db || id <= 0)
        return;
    Statement update(m_db,
                     "UPDATE receipts SET end_state=?1, lines=?2, payments=?3, number=?4,"
                     " total=?5, error=?6, ended_at=?7 WHERE id=?8");
    update.Bind(1, end)
        .Bind(2, linesJson.empty() ? "[]" : linesJson)
        .Bind(3, paymentsJson.empty() ? "{}" : paymentsJson)
        .Bind(4, number)
        .Bind(5, total)
        .Bind(6, error)
        .Bind(7, NowIso())
        .Bind(8, id)
        .Step();
}

std::vector<LedgerReceipt> CLedger::Receipts(int port, const std::string& since, int limit) {
    std::lock_guard lock(m_mutex);
    std::vector<LedgerReceipt> out;
    if (!m_db)
        return out;
    Statement query(m_db,
                    "SELECT id, time, port, client, kind, lines, payments, number, total,"
                    " end_state, error, ended_at FROM receipts"
                    " WHERE (?1 = 0 OR port = ?1) AND time >= ?2 ORDER BY id LIMIT ?3");
    query.Bind(1, port).Bind(2, since).Bind(3, limit);
    while (query.Step() == SQLITE_ROW) {
        LedgerReceipt r;
        r.id = query.Int(0);
        r.time = query.Text(1);
        r.port = int(query.Int(2));
        r.client = query.Text(3);
        r.kind = query.Text(4);
        r.lines = query.Text(5);
        r.payments = query.Text(6);
        r.number = query.Int(7);
        r.total = query.Int(8);
        r.end = query.Text(9);
        r.error = query.Text(10);
        r.endedAt = query.Text(11);
        out.push_back(std::move(r));
    }
    return out;
}

std::vector<LedgerReceipt> CLedger::Latest(int count) {
    std::vector<LedgerReceipt> rows;
    int64_t last = 0;
    {
        std::lock_guard lock(m_mutex);
        if (!m_db)
            return rows;
        Statement max(m_db, "SELECT coalesce(max(id), 0) FROM receipts");
        if (max.Step() == SQLITE_ROW)
            last = max.Int(0);
    }
    for (const LedgerReceipt& r : Receipts(0, "", 1000000))
        if (r.id > last - count)
            rows.insert(rows.begin(), r);
    return rows;
}

std::string CLedger::Csv(const std::vector<LedgerReceipt>& rows) {
    std::string out = "id,time,port,client,kind,number,total,end,ended_at,error,lines,payments\n";
    for (const LedgerReceipt& r : rows)
        out += std::to_string(r.id) + "," + CsvField(r.time) + "," + std::to_string(r.port) + "," +
               CsvField(r.client) + "," + r.kind + "," + std::to_string(r.number) + "," +
               std::to_string(r.total) + "," + r.end + "," + CsvField(r.endedAt) + "," +
               CsvField(r.error) + "," + CsvField(r.lines) + "," + CsvField(r.payments) + "\n";
    return out;
}

CLedger::KeyState CLedger::ClaimKey(const std::string& key, int* status, std::string* response,
                                    int port, const std::string& client) {
    std::lock_guard lock(m_mutex);
    if (!m_db)
        return KeyState::Unavailable;
    Statement insert(m_db,
                     "INSERT INTO idempotency(key, state, time, port, client)"
                     " VALUES(?1, 'running', ?2, ?3, ?4) ON CONFLICT(key) DO NOTHING");
    insert.Bind(1, key).Bind(2, NowIso()).Bind(3, port).Bind(4, client);
    if (insert.Step() != SQLITE_DONE)
        return KeyState::Unavailable;
    if (sqlite3_changes(m_db) == 1)
        return KeyState::New;
    Statement read(m_db, "SELECT state, status, response FROM idempotency WHERE key=?1");
    read.Bind(1, key);
    if (read.Step() != SQLITE_ROW)
        return KeyState::Unavailable;
    if (read.Text(0) == "running")
        return KeyState::Running;
    *status = int(read.Int(1));
    *response = read.Text(2);
    return KeyState::Done;
}

void CLedger::FinishKey(const std::string& key, int status, const std::string& response) {
    std::lock_guard lock(m_mutex);
    if (!m_db)
        return;
    Statement update(m_db,
                     "UPDATE idempotency SET state='done', status=?1, response=?2 WHERE key=?3");
    update.Bind(1, status).Bind(2, response).Bind(3, key).Step();
}

}  // namespace vsk
