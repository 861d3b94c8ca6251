#include "ledger/ledger.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>

namespace vsk {

namespace {

constexpr const char* kRpcCutAnswer =
    R"({"error":{"code":"UNKNOWN","message":"the first request with this key was cut by a)"
    R"( server crash; what its calls printed is not known to the server: look at the register)"
    R"( and the ledger before sending it again"},"end":"unknown"})";

// A printing operation's key (a report, a cash move) cut the same way: no row tells whether
// the register printed it.
constexpr const char* kOperationCutAnswer =
    R"({"error":{"code":"UNKNOWN","message":"the first request with this key was cut by a)"
    R"( server crash while it ran; the register may have printed it: look at its tape before)"
    R"( asking again with another key"},"end":"unknown","printed":null})";

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
    Statement(sqlite3* db, const std::string& sql) {
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &m_stmt, nullptr) != SQLITE_OK)
            m_stmt = nullptr;
    }
    ~Statement() { sqlite3_finalize(m_stmt); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    explicit operator bool() const { return m_stmt != nullptr; }
    sqlite3_stmt* get() { return m_stmt; }
    Statement& Bind(int at, int64_t v) {
        sqlite3_bind_int64(m_stmt, at, v);
        return *this;
    }
    Statement& Bind(int at, const std::string& v) {
        sqlite3_bind_text(m_stmt, at, v.data(), int(v.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Statement& Bind(int at, const std::optional<int64_t>& v) {
        if (v)
            sqlite3_bind_int64(m_stmt, at, *v);
        else
            sqlite3_bind_null(m_stmt, at);
        return *this;
    }
    int Step() { return m_stmt ? sqlite3_step(m_stmt) : SQLITE_MISUSE; }
    // A write: true when it went through.
    bool Done() { return Step() == SQLITE_DONE; }
    int64_t Int(int col) { return sqlite3_column_int64(m_stmt, col); }
    bool IsNull(int col) { return sqlite3_column_type(m_stmt, col) == SQLITE_NULL; }
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
    " response TEXT NOT NULL DEFAULT '', time TEXT NOT NULL);"
    "CREATE TABLE IF NOT EXISTS probe(x BLOB);";
// Added later: a ledger made before has the columns added at its opening. `crashed`: the row
// was left open or closing by a killed server (settled rows keep it, as history).
struct Column {
    const char* table;
    const char* name;
    const char* add;
};
constexpr Column kAddedColumns[] = {
    {"idempotency", "port", "ALTER TABLE idempotency ADD COLUMN port INTEGER NOT NULL DEFAULT 0"},
    {"idempotency", "client", "ALTER TABLE idempotency ADD COLUMN client TEXT NOT NULL DEFAULT ''"},
    {"idempotency", "fingerprint",
     "ALTER TABLE idempotency ADD COLUMN fingerprint TEXT NOT NULL DEFAULT ''"},
    {"idempotency", "receipt",
     "ALTER TABLE idempotency ADD COLUMN receipt INTEGER NOT NULL DEFAULT 0"},
    {"receipts", "cashier", "ALTER TABLE receipts ADD COLUMN cashier TEXT NOT NULL DEFAULT ''"},
    {"receipts", "client_cashier",
     "ALTER TABLE receipts ADD COLUMN client_cashier TEXT NOT NULL DEFAULT ''"},
    {"receipts", "serial", "ALTER TABLE receipts ADD COLUMN serial TEXT NOT NULL DEFAULT ''"},
    {"receipts", "number_before", "ALTER TABLE receipts ADD COLUMN number_before INTEGER"},
    {"receipts", "settled_by",
     "ALTER TABLE receipts ADD COLUMN settled_by TEXT NOT NULL DEFAULT ''"},
    {"receipts", "settled_at",
     "ALTER TABLE receipts ADD COLUMN settled_at TEXT NOT NULL DEFAULT ''"},
    {"receipts", "key", "ALTER TABLE receipts ADD COLUMN key TEXT NOT NULL DEFAULT ''"},
    {"receipts", "crashed", "ALTER TABLE receipts ADD COLUMN crashed INTEGER NOT NULL DEFAULT 0"},
};
constexpr const char* kIndexes =
    "CREATE INDEX IF NOT EXISTS receipts_unsettled ON receipts(port) WHERE crashed = 1;"
    // The status shows the receipts in doubt at every build: found without reading the table.
    "CREATE INDEX IF NOT EXISTS receipts_unknown ON receipts(id) WHERE end_state = 'unknown';"
    "CREATE INDEX IF NOT EXISTS idempotency_receipt ON idempotency(receipt) WHERE receipt > 0;";

// The columns a LedgerReceipt is read from, in its order, with what stands for each in a file
// made before the column was.
constexpr std::pair<const char*, const char*> kReceiptColumns[] = {
    {"id", "0"},          {"time", "''"},           {"port", "0"},    {"client", "''"},
    {"cashier", "''"},    {"client_cashier", "''"}, {"serial", "''"}, {"kind", "''"},
    {"lines", "'[]'"},    {"payments", "'{}'"},     {"number", "0"},  {"number_before", "NULL"},
    {"total", "0"},       {"end_state", "''"},      {"error", "''"},  {"ended_at", "''"},
    {"settled_by", "''"}, {"settled_at", "''"},     {"key", "''"},
};

std::vector<std::string> ColumnsOf(sqlite3* db, const std::string& table) {
    std::vector<std::string> have;
    Statement columns(db, "PRAGMA table_info(" + table + ")");
    while (columns.Step() == SQLITE_ROW)
        have.push_back(columns.Text(1));
    return have;
}

bool Has(const std::vector<std::string>& v, const std::string& name) {
    return std::find(v.begin(), v.end(), name) != v.end();
}

std::string JsonString(const std::string& v) {
    std::string out = "\"";
    for (unsigned char c : v) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else if (c < 0x20) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        } else {
            out += char(c);
        }
    }
    return out + "\"";
}

std::string ErrorAnswer(const char* code, const std::string& message, const std::string& end) {
    return R"({"error":{"code":")" + std::string(code) + R"(","message":)" + JsonString(message) +
           R"(},"end":)" + JsonString(end) + "}";
}

std::string ClosedAnswer(int64_t number, int64_t total, const char* how) {
    return "{\"number\":" + std::to_string(number) + ",\"total\":" + std::to_string(total) +
           ",\"end\":\"closed\",\"" + how + "\":true}";
}

// What the key of a settled row answers.
std::pair<int, std::string> AnswerFor(const LedgerReceipt& r, const char* how) {
    if (r.end == "closed")
        return {200, ClosedAnswer(r.number, r.total, how)};
    if (r.end == "cut")
        return {409, ErrorAnswer("CUT",
                                 "the first request with this key was cut by a server crash"
                                 " before its receipt was closed; the register cancels it",
                                 "cut")};
    if (r.end == "unknown")
        return {409,
                ErrorAnswer("UNKNOWN",
                            "the first request with this key was cut while the register"
                            " closed its receipt, and whether it printed cannot be told (" +
                                r.error + "); an operator settles it: do not print it again before",
                            "unknown")};
    return {409, ErrorAnswer("NOT_PRINTED",
                             "the receipt of the first request with this key ended " + r.end +
                                 ": nothing was printed",
                             r.end)};
}

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

// Just enough JSON for the two shapes the ledger keeps: an object of scalars (payments, one
// sale line) and an array of such objects (the lines). Strings are decoded, numbers kept as
// written, nested values skipped; a malformed text yields what came before the fault.
class Scan {
public:
    explicit Scan(const std::string& s) : m_s(s) {}

    using Object = std::vector<std::pair<std::string, std::string>>;

    std::vector<Object> Array() {
        std::vector<Object> out;
        Ws();
        if (!Eat('['))
            return out;
        Ws();
        if (Eat(']'))
            return out;
        while (m_i < m_s.size()) {
            Ws();
            Object o;
            if (Peek() == '{')
                ObjectInto(&o);
            else
                Skip();
            out.push_back(std::move(o));
            Ws();
            if (!Eat(','))
                break;
        }
        return out;
    }

    Object ObjectOnly() {
        Object o;
        Ws();
        ObjectInto(&o);
        return o;
    }

private:
    char Peek() const { return m_i < m_s.size() ? m_s[m_i] : '\0'; }
    bool Eat(char c) {
        if (Peek() != c)
            return false;
        ++m_i;
        return true;
    }
    void Ws() {
        while (m_i < m_s.size() && std::isspace(static_cast<unsigned char>(m_s[m_i])))
            ++m_i;
    }
    void Utf8(uint32_t cp, std::string* out) {
        if (cp < 0x80) {
            *out += char(cp);
        } else if (cp < 0x800) {
            *out += char(0xC0 | (cp >> 6));
            *out += char(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            *out += char(0xE0 | (cp >> 12));
            *out += char(0x80 | ((cp >> 6) & 0x3F));
            *out += char(0x80 | (cp & 0x3F));
        } else {
            *out += char(0xF0 | (cp >> 18));
            *out += char(0x80 | ((cp >> 12) & 0x3F));
            *out += char(0x80 | ((cp >> 6) & 0x3F));
            *out += char(0x80 | (cp & 0x3F));
        }
    }
    bool Hex4(uint32_t* v) {
        if (m_i + 4 > m_s.size())
            return false;
        *v = uint32_t(std::strtoul(m_s.substr(m_i, 4).c_str(), nullptr, 16));
        m_i += 4;
        return true;
    }
    bool String(std::string* out) {
        if (!Eat('"'))
            return false;
        while (m_i < m_s.size()) {
            char c = m_s[m_i++];
            if (c == '"')
                return true;
            if (c != '\\') {
                *out += c;
                continue;
            }
            if (m_i >= m_s.size())
                return false;
            c = m_s[m_i++];
            switch (c) {
                case 'n':
                    *out += '\n';
                    break;
                case 't':
                    *out += '\t';
                    break;
                case 'r':
                    *out += '\r';
                    break;
                case 'b':
                    *out += '\b';
                    break;
                case 'f':
                    *out += '\f';
                    break;
                case 'u': {
                    uint32_t cp = 0, low = 0;
                    if (!Hex4(&cp))
                        return false;
                    if (cp >= 0xD800 && cp < 0xDC00 && m_s.compare(m_i, 2, "\\u") == 0) {
                        m_i += 2;
                        if (!Hex4(&low))
                            return false;
                        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                    }
                    Utf8(cp, out);
                    break;
                }
                default:
                    *out += c;
            }
        }
        return false;
    }
    // A value: a string decoded, a number or word as written, an object or array skipped.
    void Value(std::string* out) {
        if (Peek() == '"') {
            String(out);
            return;
        }
        if (Peek() == '{' || Peek() == '[') {
            Skip();
            return;
        }
        const size_t from = m_i;
        while (m_i < m_s.size() && m_s[m_i] != ',' && m_s[m_i] != '}' && m_s[m_i] != ']' &&
               !std::isspace(static_cast<unsigned char>(m_s[m_i])))
            ++m_i;
        *out = m_s.substr(from, m_i - from);
    }
    void Skip() {
        if (Peek() != '{' && Peek() != '[') {
            std::string ignored;
            Value(&ignored);
            return;
        }
        int depth = 0;
        while (m_i < m_s.size()) {
            const char c = m_s[m_i];
            if (c == '"') {
                std::string ignored;
                String(&ignored);
                continue;
            }
            ++m_i;
            if (c == '{' || c == '[')
                ++depth;
            else if ((c == '}' || c == ']') && --depth == 0)
                return;
        }
    }
    void ObjectInto(Object* o) {
        if (!Eat('{'))
            return;
        Ws();
        if (Eat('}'))
            return;
        while (m_i < m_s.size()) {
            Ws();
            std::string name, value;
            if (!String(&name))
                return;
            Ws();
            if (!Eat(':'))
                return;
            Ws();
            Value(&value);
            o->emplace_back(std::move(name), std::move(value));
            Ws();
            if (!Eat(','))
                break;
        }
        Eat('}');
    }

    const std::string& m_s;
    size_t m_i = 0;
};

std::string Member(const Scan::Object& o, const char* name, const char* fallback = "") {
    for (const auto& [k, v] : o)
        if (k == name)
            return v;
    return fallback;
}

std::string Digits(const std::string& s, size_t at, size_t n) {
    if (at + n > s.size())
        return "";
    for (size_t i = at; i < at + n; ++i)
        if (!std::isdigit(static_cast<unsigned char>(s[i])))
            return "";
    return s.substr(at, n);
}

}  // namespace

// The ledger's lock; the lines for the reporter are given to it once the lock is let go, so
// that a reporter may ask the ledger (its health) in turn.
class CLedger::Locked {
public:
    explicit Locked(CLedger& l) : m_l(l), m_lock(l.m_mutex) {}
    ~Locked() {
        std::vector<std::string> lines;
        lines.swap(m_l.m_toReport);
        auto report = m_l.m_reporter;
        m_lock.unlock();
        if (report)
            for (const std::string& line : lines)
                report(line);
    }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;

private:
    CLedger& m_l;
    std::unique_lock<std::mutex> m_lock;
};

CLedger::~CLedger() {
    Close();
}

void CLedger::Close() {
    if (m_db)
        sqlite3_close_v2(m_db);
    m_db = nullptr;
    // A new connection counts its changes and versions afresh: nothing kept may pass for its.
    m_latest = {};
    m_unknown = {};
    m_keptChanges = m_keptVersion = -1;
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

void CLedger::Failed(const std::string& what) {
    ++m_failedWrites;
    m_failing = true;
    m_lastError = what + ": " + (m_db ? sqlite3_errmsg(m_db) : "the ledger is closed");
    m_toReport.push_back("receipts ledger " + m_path + ": a write failed (" + m_lastError + "); " +
                         std::to_string(m_failedWrites) + " failed so far");
}

bool CLedger::Write(const char* sql, const char* what) {
    if (Exec(sql)) {
        Succeeded();
        return true;
    }
    Failed(what);
    return false;
}

LedgerHealth CLedger::Health() {
    Locked lock(*this);
    LedgerHealth h;
    h.failedWrites = m_failedWrites;
    h.lastError = m_lastError;
    std::string why;
    h.ok = m_db && !m_failing;
    if (h.ok && sqlite3_db_readonly(m_db, "main") == 1) {
        h.ok = false;
        h.lastError = "the ledger is read-only";
    }
    struct stat st {};
    if (h.ok && (stat(m_path.c_str(), &st) != 0 || st.st_dev != m_dev || st.st_ino != m_ino)) {
        h.ok = false;
        h.lastError = "the ledger's file " + m_path + " has gone";
    }
    if (!m_db)
        h.lastError = h.lastError.empty() ? "the ledger is not open" : h.lastError;
    return h;
}

void CLedger::SetReporter(std::function<void(const std::string& line)> report) {
    std::lock_guard lock(m_mutex);
    m_reporter = std::move(report);
}

// Opens the schema on an open handle; false with the reason when the file is unusable.
bool CLedger::Prepare(std::string* report) {
    sqlite3_busy_timeout(m_db, 2000);
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
    // WAL: readers (vskctl --ledger, the HTTP queries) never block the writers; FULL: a row
    // is on the disk before the register is asked to open the receipt.
    if (!Exec("PRAGMA journal_mode=WAL") || !Exec("PRAGMA synchronous=FULL") || !Exec(kSchema)) {
        *report = sqlite3_errmsg(m_db);
        return false;
    }
    const std::vector<std::string> keys = ColumnsOf(m_db, "idempotency"),
                                   receipts = ColumnsOf(m_db, "receipts");
    for (const Column& c : kAddedColumns) {
        const auto& have = std::string(c.table) == "receipts" ? receipts : keys;
        if (!Has(have, c.name) && !Exec(c.add)) {
            *report = sqlite3_errmsg(m_db);
            return false;
        }
    }
    if (!Exec(kIndexes)) {
        *report = sqlite3_errmsg(m_db);
        return false;
    }
    return true;
}

// The select list of the receipts as this file has them.
static std::string SelectList(sqlite3* db) {
    const std::vector<std::string> have = ColumnsOf(db, "receipts");
    std::string list;
    for (const auto& [name, fallback] : kReceiptColumns) {
        if (!list.empty())
            list += ", ";
        list += Has(have, name) ? std::string(name) : fallback;
    }
    return list;
}

std::string CLedger::CarryFrom(const std::string& aside) {
    sqlite3* old = nullptr;
    if (sqlite3_open_v2(aside.c_str(), &old, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        sqlite3_close_v2(old);
        old = nullptr;
        if (sqlite3_open_v2(("file:" + aside + "?immutable=1").c_str(), &old,
                            SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr) != SQLITE_OK) {
            sqlite3_close_v2(old);
            return "";
        }
    }
    // Row by row, so that what comes before a damaged page is kept.
    auto carry = [&](const std::string& table) {
        const std::vector<std::string> from = ColumnsOf(old, table), to = ColumnsOf(m_db, table);
        std::string cols, marks;
        int n = 0;
        for (const std::string& c : from) {
            if (!Has(to, c))
                continue;
            cols += (n ? "," : "") + c;
            marks += (n ? ",?" : "?");
            ++n;
        }
        int copied = 0;
        if (n == 0)
            return copied;
        Statement read(old, "SELECT " + cols + " FROM " + table);
        Statement write(m_db,
                        "INSERT OR IGNORE INTO " + table + "(" + cols + ") VALUES(" + marks + ")");
        while (read && write && read.Step() == SQLITE_ROW) {
            for (int i = 0; i < n; ++i)
                sqlite3_bind_value(write.get(), i + 1, sqlite3_column_value(read.get(), i));
            if (write.Done())
                copied += sqlite3_changes(m_db);
            sqlite3_reset(write.get());
        }
        return copied;
    };
    Exec("BEGIN IMMEDIATE");
    const int receipts = carry("receipts");
    const int keys = carry("idempotency");
    Exec("COMMIT");
    sqlite3_close_v2(old);
    if (receipts == 0 && keys == 0)
        return "";
    return "; " + std::to_string(receipts) + " receipt(s) and " + std::to_string(keys) +
           " idempotency key(s) carried over from it";
}

bool CLedger::Open(const std::string& path, std::string* report) {
    Locked lock(*this);
    Close();
    report->clear();
    m_path = path;
    m_failing = false;
    std::error_code ec;
    const auto folder = std::filesystem::path(path).parent_path();
    if (!folder.empty()) {
        std::filesystem::create_directories(folder, ec);
        chmod(folder.c_str(), 0700);
    }
    bool readOnly = false;
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
        // A file the user may not write is read as it is: its receipts can be listed, but
        // nothing new is recorded and no key is kept.
        if (sqlite3_db_readonly(m_db, "main") == 1) {
            sqlite3_busy_timeout(m_db, 2000);
            Statement probe(m_db, "SELECT count(*) FROM receipts");
            if (probe.Step() == SQLITE_ROW) {
                readOnly = true;
                return true;
            }
            *why = sqlite3_errmsg(m_db);
            Close();
            return false;
        }
        if (!Prepare(why)) {
            Close();
            return false;
        }
        return true;
    };
    auto opened = [&] {
        struct stat st {};
        if (stat(path.c_str(), &st) == 0) {
            m_dev = st.st_dev;
            m_ino = st.st_ino;
        }
        m_select = SelectList(m_db);
        if (readOnly)
            *report = "receipts ledger " + path +
                      " cannot be written: read only; receipts are not recorded and no"
                      " idempotency key is kept";
        return true;
    };
    std::string why;
    if (openFile(&why))
        return opened();
    const bool locked = why.find("locked") != std::string::npos;
    if (locked) {
        *report = "receipts ledger " + path + " is locked by another process (" + why +
                  "); running without a ledger";
        return false;
    }
    // Not a database (or a damaged one): kept for whoever wants to look, and a new one made
    // with what can still be read of it.
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
    const std::string carried = CarryFrom(aside);
    *report = "receipts ledger " + path + " was damaged (" + why + "); moved to " + aside +
              " and a new ledger started" + carried;
    return opened();
}

bool CLedger::OpenForReading(const std::string& path, std::string* report) {
    Locked lock(*this);
    Close();
    m_path = path;
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
    struct stat st {};
    if (stat(path.c_str(), &st) == 0) {
        m_dev = st.st_dev;
        m_ino = st.st_ino;
    }
    m_select = SelectList(m_db);
    return true;
}

std::vector<LedgerReceipt> CLedger::Select(const std::string& where,
                                           const std::function<void(sqlite3_stmt*)>& bind) {
    std::vector<LedgerReceipt> out;
    if (!m_db)
        return out;
    Statement query(m_db, "SELECT " + m_select + " FROM receipts WHERE " + where);
    if (!query)
        return out;
    bind(query.get());
    while (query.Step() == SQLITE_ROW) {
        LedgerReceipt r;
        int c = 0;
        r.id = query.Int(c++);
        r.time = query.Text(c++);
        r.port = int(query.Int(c++));
        r.client = query.Text(c++);
        r.cashier = query.Text(c++);
        r.clientCashier = query.Text(c++);
        r.serial = query.Text(c++);
        r.kind = query.Text(c++);
        r.lines = query.Text(c++);
        r.payments = query.Text(c++);
        r.number = query.Int(c++);
        if (!query.IsNull(c))
            r.numberBefore = query.Int(c);
        ++c;
        r.total = query.Int(c++);
        r.end = query.Text(c++);
        r.error = query.Text(c++);
        r.endedAt = query.Text(c++);
        r.settledBy = query.Text(c++);
        r.settledAt = query.Text(c++);
        r.key = query.Text(c++);
        out.push_back(std::move(r));
    }
    return out;
}

// The key bound to `row` takes the answer when it is still running or, with `overUnknown`,
// when it answered that nobody could tell.
void CLedger::AnswerKey(int64_t row, int status, const std::string& response, bool overUnknown) {
    Statement update(m_db,
                     "UPDATE idempotency SET state='done', status=?1, response=?2"
                     " WHERE receipt=?3 AND (state='running' OR (?4 AND status=409 AND"
                     " response LIKE '%\"code\":\"UNKNOWN\"%'))");
    update.Bind(1, status).Bind(2, response).Bind(3, row).Bind(4, overUnknown ? 1 : 0);
    if (!update.Done())
        Failed("the answer of a receipt's key");
}

int CLedger::RecoverAfterCrash() {
    Locked lock(*this);
    if (!m_db || !Write("BEGIN IMMEDIATE", "recovery after a crash"))
        return 0;
    Statement mark(m_db,
                   "UPDATE receipts SET crashed=1"
                   " WHERE crashed=0 AND end_state IN ('open','closing')");
    bool ok = mark.Done();
    const int marked = sqlite3_changes(m_db);
    // A JSON-RPC request's key has no row to follow: what its calls printed before the crash
    // is not known here, and a retry must not print it again unseen.
    Statement rpc(m_db,
                  "UPDATE idempotency SET state='done', status=409, response=?1"
                  " WHERE state='running' AND key LIKE 'rpc:%'");
    rpc.Bind(1, std::string(kRpcCutAnswer));
    ok = ok && rpc.Done();
    Statement operation(m_db,
                        "UPDATE idempotency SET state='done', status=409, response=?1"
                        " WHERE state='running' AND key LIKE 'op:%'");
    operation.Bind(1, std::string(kOperationCutAnswer));
    ok = ok && operation.Done();
    // Rows are written before the register is asked: a receipt's key without one never
    // reached it.
    Statement release(m_db,
                      "DELETE FROM idempotency WHERE state='running' AND (receipt=0 OR"
                      " receipt NOT IN (SELECT id FROM receipts))");
    ok = ok && release.Done();
    std::vector<std::pair<int64_t, LedgerReceipt>> settled;
    {
        Statement running(m_db,
                          "SELECT r.id FROM idempotency k JOIN receipts r ON r.id = k.receipt"
                          " WHERE k.state='running' AND r.end_state NOT IN ('open','closing')");
        while (ok && running.Step() == SQLITE_ROW) {
            const int64_t id = running.Int(0);
            auto rows = Select("id=?1", [&](sqlite3_stmt* s) { sqlite3_bind_int64(s, 1, id); });
            if (!rows.empty())
                settled.emplace_back(id, rows[0]);
        }
    }
    for (const auto& [id, row] : settled) {
        const auto [status, response] = AnswerFor(row, "recovered");
        AnswerKey(id, status, response, false);
    }
    if (!ok) {
        Failed("recovery after a crash");
        Exec("ROLLBACK");
        return 0;
    }
    if (!Write("COMMIT", "recovery after a crash")) {
        Exec("ROLLBACK");
        return 0;
    }
    return marked;
}

std::vector<int> CLedger::PortsToSettle() {
    Locked lock(*this);
    std::vector<int> ports;
    if (!m_db)
        return ports;
    Statement query(m_db,
                    "SELECT DISTINCT port FROM receipts WHERE crashed=1 AND"
                    " end_state IN ('open','closing') ORDER BY port");
    while (query.Step() == SQLITE_ROW)
        ports.push_back(int(query.Int(0)));
    return ports;
}

int CLedger::SettlePort(int port, std::optional<int64_t> now) {
    Locked lock(*this);
    if (!m_db)
        return 0;
    auto rows = Select("crashed=1 AND end_state IN ('open','closing') AND port=?1 ORDER BY id",
                       [&](sqlite3_stmt* s) { sqlite3_bind_int(s, 1, port); });
    if (rows.empty() || !Write("BEGIN IMMEDIATE", "settling a port's receipts"))
        return 0;
    const auto closingRows =
        std::count_if(rows.begin(), rows.end(), [](const auto& r) { return r.end == "closing"; });
    auto text = [](const std::optional<int64_t>& n) {
        return n ? std::to_string(*n) : std::string("unknown");
    };
    const std::string at = NowIso();
    bool ok = true;
    for (LedgerReceipt& r : rows) {
        if (r.end == "open") {
            r.end = "cut";
            r.error = "the server ended while the receipt was open; the register cancels it";
        } else if (now && r.numberBefore && *now == *r.numberBefore + 1 && closingRows == 1) {
            r.end = "closed";
            r.number = *now;
            r.error.clear();
        } else if (now && r.numberBefore && *now == *r.numberBefore) {
            r.end = "cut";
            r.error =
                "the server ended while the register closed the receipt; its last receipt"
                " number did not move (" +
                text(now) + "): it did not print";
        } else {
            r.end = "unknown";
            r.error =
                "the server ended while the register closed the receipt; the register's last"
                " receipt number was " +
                text(r.numberBefore) + " before it and is " + text(now) +
                " now: whether it printed cannot be told";
        }
        Statement update(m_db,
                         "UPDATE receipts SET end_state=?1, number=?2, error=?3, ended_at=?4,"
                         " settled_by='register', settled_at=?4 WHERE id=?5");
        update.Bind(1, r.end).Bind(2, r.number).Bind(3, r.error).Bind(4, at).Bind(5, r.id);
        ok = ok && update.Done();
        const auto [status, response] = AnswerFor(r, "recovered");
        AnswerKey(r.id, status, response, false);
    }
    if (!ok) {
        Failed("settling a port's receipts");
        Exec("ROLLBACK");
        return 0;
    }
    if (!Write("COMMIT", "settling a port's receipts")) {
        Exec("ROLLBACK");
        return 0;
    }
    return int(rows.size());
}

bool CLedger::SettleByOperator(int64_t id, const std::string& end, const std::string& user,
                               std::string* error) {
    if (end != "closed" && end != "cancelled") {
        *error = "a receipt is settled as closed or cancelled, not '" + end + "'";
        return false;
    }
    Locked lock(*this);
    if (!m_db) {
        *error = "the receipts ledger is not open";
        return false;
    }
    auto rows = Select("id=?1", [&](sqlite3_stmt* s) { sqlite3_bind_int64(s, 1, id); });
    if (rows.empty()) {
        *error = "there is no receipt " + std::to_string(id) + " in the ledger";
        return false;
    }
    LedgerReceipt& r = rows[0];
    bool unsettled = false;
    if (r.end == "open" || r.end == "closing") {
        Statement crashed(m_db, "SELECT crashed FROM receipts WHERE id=?1");
        crashed.Bind(1, id);
        unsettled = crashed.Step() == SQLITE_ROW && crashed.Int(0) == 1;
    }
    if (r.end != "unknown" && !unsettled) {
        *error = "receipt " + std::to_string(id) + " ended " + r.end +
                 ": only a receipt whose end is unknown is settled by hand";
        return false;
    }
    const std::string at = NowIso();
    r.end = end;
    if (!Write("BEGIN IMMEDIATE", "an operator's settling")) {
        *error = m_lastError;
        return false;
    }
    Statement update(m_db,
                     "UPDATE receipts SET end_state=?1, settled_by=?2, settled_at=?3,"
                     " ended_at=CASE WHEN ended_at='' THEN ?3 ELSE ended_at END WHERE id=?4");
    update.Bind(1, end).Bind(2, user).Bind(3, at).Bind(4, id);
    if (!update.Done()) {
        Failed("an operator's settling");
        Exec("ROLLBACK");
        *error = m_lastError;
        return false;
    }
    if (end == "closed") {
        AnswerKey(id, 200, ClosedAnswer(r.number, r.total, "settled"), true);
    } else {
        AnswerKey(id, 409,
                  ErrorAnswer("NOT_PRINTED",
                              "an operator found that the receipt of the first request with this"
                              " key was not printed",
                              "cancelled"),
                  true);
    }
    if (!Write("COMMIT", "an operator's settling")) {
        Exec("ROLLBACK");
        *error = m_lastError;
        return false;
    }
    return true;
}

void CLedger::SettleLate(int64_t id, int64_t number, int64_t total) {
    Locked lock(*this);
    if (!m_db || id <= 0 || !Write("BEGIN IMMEDIATE", "a late closing"))
        return;
    const std::string at = NowIso();
    Statement update(m_db,
                     "UPDATE receipts SET end_state='closed', number=?1, total=?2, error='',"
                     " ended_at=?3, settled_by='register', settled_at=?3"
                     " WHERE id=?4 AND end_state IN ('unknown','closing')");
    update.Bind(1, number).Bind(2, total).Bind(3, at).Bind(4, id);
    if (!update.Done()) {
        Failed("a late closing");
        Exec("ROLLBACK");
        return;
    }
    if (sqlite3_changes(m_db) == 1)
        AnswerKey(id, 200, ClosedAnswer(number, total, "recovered"), true);
    if (!Write("COMMIT", "a late closing"))
        Exec("ROLLBACK");
}

std::vector<LedgerReceipt> CLedger::Unknown(int limit) {
    Locked lock(*this);
    return KeptOrRead(m_unknown, limit, "end_state='unknown' ORDER BY id DESC LIMIT ?1");
}

// Under the lock. Any row changed since the kept answers were read (by this connection, or
// committed by another: a new data version) drops them all.
std::vector<LedgerReceipt> CLedger::KeptOrRead(Kept& kept, int count, const char* where) {
    auto read = [&] {
        return Select(where, [&](sqlite3_stmt* s) { sqlite3_bind_int(s, 1, count); });
    };
    if (!m_db)
        return {};
    Statement version(m_db, "PRAGMA data_version");
    if (version.Step() != SQLITE_ROW)
        return read();
    const int64_t changes = sqlite3_total_changes64(m_db), now = version.Int(0);
    if (changes != m_keptChanges || now != m_keptVersion) {
        m_latest = {};
        m_unknown = {};
        m_keptChanges = changes;
        m_keptVersion = now;
    }
    if (kept.count != count) {
        kept.rows = read();
        kept.count = count;
    }
    return kept.rows;
}

std::optional<LedgerReceipt> CLedger::LastOfPort(int port) {
    Locked lock(*this);
    auto rows = Select("port=?1 ORDER BY id DESC LIMIT 1",
                       [&](sqlite3_stmt* s) { sqlite3_bind_int(s, 1, port); });
    if (rows.empty())
        return std::nullopt;
    return rows[0];
}

std::optional<LedgerReceipt> CLedger::Receipt(int64_t id) {
    Locked lock(*this);
    auto rows = Select("id=?1", [&](sqlite3_stmt* s) { sqlite3_bind_int64(s, 1, id); });
    if (rows.empty())
        return std::nullopt;
    return rows[0];
}

int64_t CLedger::BeginReceipt(const ReceiptStart& start) {
    Locked lock(*this);
    if (!m_db)
        return 0;
    std::string key;
    if (start.lockHeld) {
        if (auto expected = m_expected.find(start.port); expected != m_expected.end()) {
            key = expected->second;
            m_expected.erase(expected);
        }
    }
    if (!Write("BEGIN IMMEDIATE", "a receipt's row"))
        return 0;
    Statement insert(m_db,
                     "INSERT INTO receipts(time, port, client, kind, cashier, client_cashier,"
                     " serial, number_before) VALUES(?1,?2,?3,?4,?5,?6,?7,?8)");
    insert.Bind(1, NowIso())
        .Bind(2, start.port)
        .Bind(3, start.client)
        .Bind(4, start.isReturn ? "return" : "sale")
        .Bind(5, start.cashier)
        .Bind(6, start.clientCashier)
        .Bind(7, start.serial)
        .Bind(8, start.numberBefore);
    bool ok = insert.Done();
    const int64_t id = ok ? sqlite3_last_insert_rowid(m_db) : 0;
    if (ok && !key.empty()) {
        Statement bind(m_db, "UPDATE idempotency SET receipt=?1 WHERE key=?2 AND state='running'");
        bind.Bind(1, id).Bind(2, key);
        ok = bind.Done();
        if (ok && sqlite3_changes(m_db) == 1) {
            Statement mark(m_db, "UPDATE receipts SET key=?1 WHERE id=?2");
            mark.Bind(1, key).Bind(2, id);
            ok = mark.Done();
        }
    }
    if (!ok) {
        Failed("a receipt's row");
        Exec("ROLLBACK");
        return 0;
    }
    if (!Write("COMMIT", "a receipt's row")) {
        Exec("ROLLBACK");
        return 0;
    }
    return id;
}

const char* ReceiptEndText(ReceiptEnd end) {
    switch (end) {
        case ReceiptEnd::Open:
            return "open";
        case ReceiptEnd::Closing:
            return "closing";
        case ReceiptEnd::Closed:
            return "closed";
        case ReceiptEnd::Cancelled:
            return "cancelled";
        case ReceiptEnd::Refused:
            return "refused";
        case ReceiptEnd::Abandoned:
            return "abandoned";
        case ReceiptEnd::Unknown:
            return "unknown";
        case ReceiptEnd::Cut:
            return "cut";
    }
    return "";
}

std::optional<ReceiptEnd> ReceiptEndFromText(std::string_view text) {
    for (ReceiptEnd end : kReceiptEnds)
        if (text == ReceiptEndText(end))
            return end;
    return std::nullopt;
}

std::string CLedger::LinesJson(const std::vector<LedgerLine>& lines) {
    std::string out = "[";
    for (const LedgerLine& line : lines) {
        if (out.size() > 1)
            out += ',';
        out += "{\"name\":" + JsonString(line.name) +
               ",\"quantity\":" + std::to_string(line.quantity) +
               ",\"price\":" + std::to_string(line.price) + ",\"sum\":" + std::to_string(line.sum) +
               "}";
    }
    return out + "]";
}

std::string CLedger::PaymentsJson(const std::optional<LedgerPayments>& payments) {
    if (!payments)
        return "{}";
    return "{\"cash\":" + std::to_string(payments->cash) +
           ",\"check\":" + std::to_string(payments->check) +
           ",\"credit\":" + std::to_string(payments->credit) +
           ",\"packing\":" + std::to_string(payments->packing) + "}";
}

int64_t CLedger::BeginReceipt(int port, const std::string& client, bool isReturn) {
    ReceiptStart start;
    start.port = port;
    start.client = client;
    start.isReturn = isReturn;
    return BeginReceipt(start);
}

void CLedger::ExpectReceipt(int port, const std::string& key) {
    std::lock_guard lock(m_mutex);
    m_expected[port] = key;
}

void CLedger::ForgetExpected(int port) {
    std::lock_guard lock(m_mutex);
    m_expected.erase(port);
}

void CLedger::RecordLines(int64_t id, const std::vector<LedgerLine>& lines) {
    RecordLines(id, LinesJson(lines));
}

void CLedger::MarkClosing(int64_t id, const std::vector<LedgerLine>& lines,
                          const std::optional<LedgerPayments>& payments, int64_t total) {
    MarkClosing(id, true, LinesJson(lines), PaymentsJson(payments), total);
}

void CLedger::EndReceipt(int64_t id, ReceiptEnd end, const std::vector<LedgerLine>& lines,
                         const std::optional<LedgerPayments>& payments, int64_t number,
                         int64_t total, const std::string& error) {
    EndReceipt(id, ReceiptEndText(end), LinesJson(lines), PaymentsJson(payments), number, total,
               error);
}

void CLedger::RecordLines(int64_t id, const std::string& linesJson) {
    Locked lock(*this);
    if (!m_db || id <= 0)
        return;
    Exec("PRAGMA synchronous=NORMAL");
    Statement update(m_db, "UPDATE receipts SET lines=?1 WHERE id=?2 AND end_state='open'");
    update.Bind(1, linesJson).Bind(2, id);
    if (update.Done())
        Succeeded();
    else
        Failed("a receipt's lines");
    Exec("PRAGMA synchronous=FULL");
}

void CLedger::MarkClosing(int64_t id, bool closing, const std::string& linesJson,
                          const std::string& paymentsJson, int64_t total) {
    Locked lock(*this);
    if (!m_db || id <= 0)
        return;
    bool ok = false;
    if (closing) {
        Statement update(m_db,
                         "UPDATE receipts SET end_state='closing', lines=?1, payments=?2,"
                         " total=?3 WHERE id=?4 AND end_state='open'");
        update.Bind(1, linesJson.empty() ? "[]" : linesJson)
            .Bind(2, paymentsJson.empty() ? "{}" : paymentsJson)
            .Bind(3, total)
            .Bind(4, id);
        ok = update.Done();
    } else {
        Statement update(
            m_db, "UPDATE receipts SET end_state='open' WHERE id=?1 AND end_state='closing'");
        update.Bind(1, id);
        ok = update.Done();
    }
    if (ok)
        Succeeded();
    else
        Failed("a receipt's closing");
}

void CLedger::EndReceipt(int64_t id, const std::string& end, const std::string& linesJson,
                         const std::string& paymentsJson, int64_t number, int64_t total,
                         const std::string& error) {
    Locked lock(*this);
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
        .Bind(8, id);
    if (update.Done())
        Succeeded();
    else
        Failed("a receipt's end");
}

std::vector<LedgerReceipt> CLedger::Receipts(int port, const std::string& since, int limit,
                                             int64_t after) {
    Locked lock(*this);
    // From `after` on by the row order, so that a page costs its rows, not the table before it.
    return Select("id > ?4 AND (?1 = 0 OR port = ?1) AND time >= ?2 ORDER BY id LIMIT ?3",
                  [&](sqlite3_stmt* s) {
                      sqlite3_bind_int(s, 1, port);
                      sqlite3_bind_text(s, 2, since.c_str(), -1, SQLITE_TRANSIENT);
                      sqlite3_bind_int(s, 3, limit);
                      sqlite3_bind_int64(s, 4, after);
                  });
}

std::vector<LedgerReceipt> CLedger::Latest(int count) {
    Locked lock(*this);
    return KeptOrRead(m_latest, count, "1 ORDER BY id DESC LIMIT ?1");
}

bool CLedger::ValidSince(const std::string& s) {
    if (s.empty())
        return true;
    auto in = [&](size_t at, int lo, int hi) {
        const std::string d = Digits(s, at, 2);
        return !d.empty() && std::stoi(d) >= lo && std::stoi(d) <= hi;
    };
    if (s.size() < 10 || Digits(s, 0, 4).empty() || s[4] != '-' || !in(5, 1, 12) || s[7] != '-' ||
        !in(8, 1, 31))
        return false;
    size_t at = 10;
    if (at == s.size())
        return true;
    if (s[at] != 'T' || s.size() < at + 6 || !in(at + 1, 0, 23) || s[at + 3] != ':' ||
        !in(at + 4, 0, 59))
        return false;
    at += 6;
    if (at < s.size() && s[at] == ':') {
        if (!in(at + 1, 0, 59))
            return false;
        at += 3;
    }
    if (at < s.size() && s[at] == 'Z')
        ++at;
    return at == s.size();
}

std::string CLedger::Csv(const std::vector<LedgerReceipt>& rows) {
    std::string out =
        "id,time,port,client,cashier,clientCashier,serial,kind,number,numberBefore,total,end,"
        "error,endedAt,settledBy,settledAt,cash,check,credit,packing,lineCount\n";
    for (const LedgerReceipt& r : rows) {
        const Scan::Object paid = Scan(r.payments).ObjectOnly();
        const size_t lines = Scan(r.lines).Array().size();
        out += std::to_string(r.id) + "," + CsvField(r.time) + "," + std::to_string(r.port) + "," +
               CsvField(r.client) + "," + CsvField(r.cashier) + "," + CsvField(r.clientCashier) +
               "," + CsvField(r.serial) + "," + CsvField(r.kind) + "," + std::to_string(r.number) +
               "," + (r.numberBefore ? std::to_string(*r.numberBefore) : "") + "," +
               std::to_string(r.total) + "," + CsvField(r.end) + "," + CsvField(r.error) + "," +
               CsvField(r.endedAt) + "," + CsvField(r.settledBy) + "," + CsvField(r.settledAt);
        for (const char* kind : {"cash", "check", "credit", "packing"})
            out += "," + CsvField(Member(paid, kind, "0"));
        out += "," + std::to_string(lines) + "\n";
    }
    return out;
}

std::string CLedger::CsvLines(const std::vector<LedgerReceipt>& rows) {
    std::string out = "receipt,line,name,quantity,price,sum\n";
    for (const LedgerReceipt& r : rows) {
        int n = 0;
        for (const Scan::Object& line : Scan(r.lines).Array())
            out += std::to_string(r.id) + "," + std::to_string(++n) + "," +
                   CsvField(Member(line, "name")) + "," + CsvField(Member(line, "quantity")) + "," +
                   CsvField(Member(line, "price")) + "," + CsvField(Member(line, "sum")) + "\n";
    }
    return out;
}

bool CLedger::DurableLocked(std::string* why) {
    if (!m_db) {
        *why = "the receipts ledger is not open";
        return false;
    }
    if (sqlite3_db_readonly(m_db, "main") == 1) {
        *why = "the receipts ledger " + m_path + " is read-only";
        return false;
    }
    struct stat st {};
    if (stat(m_path.c_str(), &st) != 0) {
        *why = "the receipts ledger " + m_path + " has been deleted while the server runs";
        return false;
    }
    if (st.st_dev != m_dev || st.st_ino != m_ino) {
        *why = "the receipts ledger " + m_path + " has been replaced while the server runs";
        return false;
    }
    if (!m_failing)
        return true;
    // The last write failed: a write the size of a page (one that needs room, as a full disk
    // or a full database refuses) says whether it still does.
    bool ok = Exec("BEGIN IMMEDIATE");
    if (ok) {
        ok = Exec("INSERT INTO probe VALUES(zeroblob(8192))") && Exec("DELETE FROM probe") &&
             Exec("COMMIT");
        if (!ok) {
            *why =
                "the receipts ledger cannot be written (" + std::string(sqlite3_errmsg(m_db)) + ")";
            Exec("ROLLBACK");
        }
    } else {
        *why = "the receipts ledger cannot be written (" + std::string(sqlite3_errmsg(m_db)) + ")";
    }
    if (ok)
        m_failing = false;
    return ok;
}

bool CLedger::KeysDurable(std::string* why) {
    Locked lock(*this);
    std::string ignored;
    return DurableLocked(why ? why : &ignored);
}

CLedger::KeyState CLedger::ClaimKey(const std::string& key, const std::string& fingerprint,
                                    int* status, std::string* response, std::string* firstTime,
                                    int* port) {
    Locked lock(*this);
    std::string why;
    if (!DurableLocked(&why))
        return KeyState::Unavailable;
    Statement insert(m_db,
                     "INSERT INTO idempotency(key, state, time, fingerprint)"
                     " VALUES(?1, 'running', ?2, ?3) ON CONFLICT(key) DO NOTHING");
    insert.Bind(1, key).Bind(2, NowIso()).Bind(3, fingerprint);
    if (!insert.Done()) {
        Failed("an idempotency key");
        return KeyState::Unavailable;
    }
    Succeeded();
    if (sqlite3_changes(m_db) == 1)
        return KeyState::New;
    Statement read(m_db,
                   "SELECT state, status, response, time, fingerprint, receipt FROM idempotency"
                   " WHERE key=?1");
    read.Bind(1, key);
    if (read.Step() != SQLITE_ROW)
        return KeyState::Unavailable;
    // A key kept before requests had fingerprints (or claimed without one) matches any.
    const std::string first = read.Text(4);
    if (!fingerprint.empty() && !first.empty() && first != fingerprint) {
        if (firstTime)
            *firstTime = read.Text(3);
        return KeyState::Reused;
    }
    if (read.Text(0) == "running") {
        Statement row(m_db,
                      "SELECT port FROM receipts WHERE id=?1 AND crashed=1 AND"
                      " end_state IN ('open','closing')");
        row.Bind(1, read.Int(5));
        if (row.Step() == SQLITE_ROW) {
            if (port)
                *port = int(row.Int(0));
            return KeyState::Unsettled;
        }
        return KeyState::Running;
    }
    if (status)
        *status = int(read.Int(1));
    if (response)
        *response = read.Text(2);
    return KeyState::Done;
}

CLedger::KeyState CLedger::ClaimKey(const std::string& key, int* status, std::string* response,
                                    int /*port*/, const std::string& /*client*/) {
    std::string firstTime;
    int port = 0;
    const KeyState state = ClaimKey(key, "", status, response, &firstTime, &port);
    return state == KeyState::Unsettled ? KeyState::Running : state;
}

void CLedger::FinishKey(const std::string& key, int status, const std::string& response) {
    Locked lock(*this);
    if (!m_db)
        return;
    Statement update(m_db,
                     "UPDATE idempotency SET state='done', status=?1, response=?2 WHERE key=?3"
                     " AND state='running'");
    // A key its receipt's late answer settled meanwhile keeps that answer: it is the truer.
    update.Bind(1, status).Bind(2, response).Bind(3, key);
    if (update.Done())
        Succeeded();
    else
        Failed("an idempotency key's answer");
}

void CLedger::ReleaseKey(const std::string& key) {
    Locked lock(*this);
    if (!m_db)
        return;
    Statement remove(m_db, "DELETE FROM idempotency WHERE key=?1");
    remove.Bind(1, key);
    if (remove.Done())
        Succeeded();
    else
        Failed("releasing an idempotency key");
}

}  // namespace vsk
