#include "core/db.h"

#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/clock.h"
#include "core/log.h"
#include "core/paths.h"
#include "core/util.h"

sqlite3* g_db = nullptr;

namespace {

constexpr int kBusyTimeoutMs = 10000;
constexpr int kSchemaVersion = 1;

// Settings of the connection itself: they write nothing to the file.
constexpr char kConnectionPragmas[] = "PRAGMA synchronous=FULL;PRAGMA busy_timeout=10000;";
// Settings kept in the file, and the objects of the schema. Every object is IF
// NOT EXISTS, so running this on an incomplete database adds only what is
// missing; there is no migration step.
constexpr char kFilePragmas[] =
    "PRAGMA journal_mode=DELETE;"
    "PRAGMA synchronous=FULL;"
    "PRAGMA busy_timeout=10000;"
    "PRAGMA auto_vacuum=INCREMENTAL;";
constexpr char kSchema[] =
    "CREATE TABLE IF NOT EXISTS meta("
    "key TEXT PRIMARY KEY,"
    "value TEXT"
    ") WITHOUT ROWID;"
    "CREATE TABLE IF NOT EXISTS disks("
    "disk_id INTEGER PRIMARY KEY,"
    "serial TEXT NOT NULL,"
    "wwn TEXT,"
    "model TEXT,"
    "vendor TEXT,"
    "firmware TEXT,"
    "bus TEXT,"
    "capacity_bytes INTEGER,"
    "rpm INTEGER,"
    "is_seagate INTEGER DEFAULT 0,"
    "farm_support INTEGER DEFAULT -1,"
    "smart_dtype TEXT DEFAULT '',"
    "present INTEGER NOT NULL DEFAULT 1,"
    "first_seen_ts INTEGER NOT NULL,"
    "last_seen_ts INTEGER NOT NULL"
    ");"
    "CREATE INDEX IF NOT EXISTS disks_serial ON disks(serial);"
    "CREATE INDEX IF NOT EXISTS disks_wwn ON disks(wwn) WHERE wwn IS NOT NULL;"
    "CREATE TABLE IF NOT EXISTS slot_history("
    "id INTEGER PRIMARY KEY,"
    "disk_id INTEGER NOT NULL,"
    "ts INTEGER NOT NULL,"
    "enclosure TEXT,"
    "slot INTEGER,"
    "dev_name TEXT"
    ");"
    "CREATE INDEX IF NOT EXISTS slot_hist_disk ON slot_history(disk_id,ts);"
    "CREATE TABLE IF NOT EXISTS polls("
    "poll_id INTEGER PRIMARY KEY,"
    "kind TEXT NOT NULL,"
    "sched_slot_ts INTEGER,"
    "started_ts INTEGER NOT NULL,"
    "finished_ts INTEGER,"
    "on_time INTEGER NOT NULL DEFAULT 1,"
    "status TEXT NOT NULL DEFAULT 'ok',"
    "disks_seen INTEGER NOT NULL DEFAULT 0,"
    "rows_written INTEGER NOT NULL DEFAULT 0,"
    "duration_ms INTEGER,"
    "note TEXT"
    ");"
    // One hourly poll per hour slot, even when two ticks race for it.
    "CREATE UNIQUE INDEX IF NOT EXISTS polls_hourly_slot ON polls(sched_slot_ts) "
    "WHERE kind='hourly';"
    "CREATE TABLE IF NOT EXISTS readings("
    "id INTEGER PRIMARY KEY,"
    "disk_id INTEGER NOT NULL,"
    "poll_id INTEGER NOT NULL,"
    "ts INTEGER NOT NULL,"
    "ns TEXT NOT NULL,"
    "attr_id INTEGER,"
    "attr_name TEXT NOT NULL,"
    "value_norm INTEGER,"
    "worst INTEGER,"
    "thresh INTEGER,"
    "value_raw INTEGER,"
    "value_text TEXT,"
    "flags TEXT"
    ");"
    "CREATE INDEX IF NOT EXISTS readings_lookup ON readings(disk_id,ns,attr_name,ts);"
    "CREATE INDEX IF NOT EXISTS readings_poll ON readings(poll_id);"
    "CREATE TABLE IF NOT EXISTS readings_latest("
    "disk_id INTEGER NOT NULL,"
    "ns TEXT NOT NULL,"
    "attr_name TEXT NOT NULL,"
    "attr_id INTEGER,"
    "value_norm INTEGER,"
    "worst INTEGER,"
    "thresh INTEGER,"
    "value_raw INTEGER,"
    "value_text TEXT,"
    "flags TEXT,"
    "ts INTEGER NOT NULL,"
    "PRIMARY KEY(disk_id,ns,attr_name)"
    ") WITHOUT ROWID;"
    "CREATE TABLE IF NOT EXISTS events("
    "event_id INTEGER PRIMARY KEY,"
    "ts INTEGER NOT NULL,"
    "disk_id INTEGER,"
    "poll_id INTEGER,"
    "type TEXT NOT NULL,"
    "detail TEXT"
    ");"
    "CREATE INDEX IF NOT EXISTS events_disk ON events(disk_id,ts);"
    "CREATE INDEX IF NOT EXISTS events_ts ON events(ts);"
    "CREATE TABLE IF NOT EXISTS dmesg_lines("
    "id INTEGER PRIMARY KEY,"
    "boot_id TEXT NOT NULL,"
    "mono_ts REAL,"
    "wall_ts INTEGER NOT NULL,"
    "poll_id INTEGER,"
    "line TEXT NOT NULL"
    ");"
    "CREATE INDEX IF NOT EXISTS dmesg_wall ON dmesg_lines(wall_ts);"
    "CREATE TABLE IF NOT EXISTS dmesg_detections("
    "id INTEGER PRIMARY KEY,"
    "line_id INTEGER NOT NULL,"
    "pattern_id INTEGER,"
    "pattern_name TEXT NOT NULL,"
    "category TEXT,"
    "ts INTEGER NOT NULL,"
    "noted_ts INTEGER NOT NULL,"
    "source TEXT NOT NULL,"
    "UNIQUE(line_id,pattern_name)"
    ");"
    "CREATE TABLE IF NOT EXISTS rule_state("
    "rule_id TEXT NOT NULL,"
    "disk_id INTEGER NOT NULL,"
    "state TEXT NOT NULL,"
    "last_value INTEGER,"
    "raised_ts INTEGER,"
    "last_push_ts INTEGER,"
    "PRIMARY KEY(rule_id,disk_id)"
    ") WITHOUT ROWID;"
    "CREATE TABLE IF NOT EXISTS alerts("
    "alert_id INTEGER PRIMARY KEY,"
    "created_ts INTEGER NOT NULL,"
    "disk_id INTEGER,"
    "rule_id TEXT,"
    "severity INTEGER NOT NULL,"
    "source TEXT NOT NULL DEFAULT 'collector',"
    "message TEXT NOT NULL,"
    "pushed_ts INTEGER,"
    "push_rc INTEGER"
    ");"
    "CREATE INDEX IF NOT EXISTS alerts_unpushed ON alerts(pushed_ts) WHERE pushed_ts IS NULL;"
    "CREATE TABLE IF NOT EXISTS probes("
    "probe_id INTEGER PRIMARY KEY,"
    "disk_id INTEGER,"
    "serial TEXT NOT NULL,"
    "wwn TEXT,"
    "mode TEXT NOT NULL,"
    "status TEXT NOT NULL,"
    "verdict TEXT,"
    "started_ts INTEGER NOT NULL,"
    "finished_ts INTEGER,"
    "result_json TEXT"
    ");"
    "CREATE INDEX IF NOT EXISTS probes_serial ON probes(serial,finished_ts);";

// The transaction open on g_db, nullptr when none, and whether a statement
// inside it has failed.
const DbTxn* s_txn = nullptr;
bool s_txn_failed = false;

std::int64_t now_s() {
    return clock_now();
}

// Whether a statement may run on g_db now: nothing runs inside a transaction
// that has failed, nor in one that SQLite has ended by itself, where each
// statement would commit on its own.
bool txn_allows_statement() {
    if (!s_txn) return true;
    if (!s_txn_failed && sqlite3_get_autocommit(g_db) != 0) {
        log_msg("SQL error: %s", "the transaction was rolled back by SQLite");
        s_txn_failed = true;
    }
    return !s_txn_failed;
}

// The first failure inside a transaction ends its work. logged: the caller
// has already logged SQLite's message.
void txn_note(int rc, bool logged) {
    if (!s_txn || s_txn_failed || rc == SQLITE_OK || rc == SQLITE_ROW || rc == SQLITE_DONE) return;
    if (!logged) log_msg("SQL error: %s", sqlite3_errmsg(g_db));
    s_txn_failed = true;
}

// Rolls back whatever SQLite has not already ended, and forgets the transaction.
void txn_end() {
    if (sqlite3_get_autocommit(g_db) == 0)
        sqlite3_exec(g_db, "ROLLBACK", nullptr, nullptr, nullptr);
    s_txn = nullptr;
    s_txn_failed = false;
}

// A failed open still hands back a connection (SQLite keeps its error message
// there): it is logged, then closed, so that a long-running caller that
// retries does not leak one connection per attempt.
int open_failed(const char* message) {
    log_msg("cannot open db %s: %s", g_db_path, message);
    db_close();
    return -1;
}

int user_version() {
    DbStmt st("PRAGMA user_version");
    return st.step() == SQLITE_ROW ? static_cast<int>(st.col_int(0)) : 0;
}

void stamp_user_version() {
    if (user_version() > 0) return;
    char sql[48];
    (void)std::snprintf(sql, sizeof sql, "PRAGMA user_version=%d", kSchemaVersion);
    (void)db_exec(sql);
}

int close_failed() {
    db_close();
    return -1;
}

// Whether every object that kSchema creates is in the file: the names are
// read from the schema text itself, so the two cannot drift apart.
bool schema_objects_present() {
    int wanted = 0;
    int present = 0;
    DbStmt st("SELECT count(*) FROM sqlite_master WHERE name=?");
    static constexpr char kMark[] = "IF NOT EXISTS ";
    for (const char* p = std::strstr(kSchema, kMark); p; p = std::strstr(p, kMark)) {
        p += sizeof kMark - 1;
        const std::size_t n = std::strcspn(p, "( ");
        char name[64];
        if (n == 0 || n >= sizeof name) return false;
        std::memcpy(name, p, n);
        name[n] = '\0';
        ++wanted;
        st.reset();
        st.bind_text(1, name);
        if (st.step() == SQLITE_ROW && st.col_int(0) == 1) ++present;
    }
    return wanted > 0 && present == wanted;
}

bool pragma_is(const char* sql, const char* want) {
    DbStmt st(sql);
    return st.step() == SQLITE_ROW && std::strcmp(st.col_text(0), want) == 0;
}

// Reads, never writes: a database that a poll holds in its write transaction
// for minutes still answers these, so a reader opening it does not wait.
bool schema_is_current() {
    if (user_version() < 1 || !schema_objects_present()) return false;
    if (!pragma_is("PRAGMA journal_mode", "delete") || !pragma_is("PRAGMA auto_vacuum", "2"))
        return false;
    char version[8];
    meta_get_str("version", version, sizeof version);
    return meta_get_int("schema_created_ts", 0) != 0 && std::strcmp(version, "1.0") == 0;
}

// The whole schema in one transaction: one sync instead of one per
// statement, and a crash part-way leaves no half-made schema.
int schema_write() {
    if (db_exec(kFilePragmas) != 0) return -1;
    DbTxn txn;
    if (!txn.ok() || db_exec(kSchema) != 0) return -1;
    stamp_user_version();
    if (meta_get_int("schema_created_ts", 0) == 0) meta_set_int("schema_created_ts", now_s());
    meta_set("version", "1.0");
    return txn.commit();
}

// Single-row lookup of one disk id; 0 when nothing matches.
std::int64_t disk_id_where(const char* sql, const char* value) {
    DbStmt st(sql);
    st.bind_text(1, value);
    return st.step() == SQLITE_ROW ? st.col_int(0) : 0;
}

}  // namespace

int db_open(int create) {
    db_close();  // one connection per process: never drop an open one on the floor
    const int flags = SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0);
    if (sqlite3_open_v2(g_db_path, &g_db, flags, nullptr) != SQLITE_OK)
        return open_failed(g_db ? sqlite3_errmsg(g_db) : sqlite3_errstr(SQLITE_NOMEM));
    sqlite3_busy_timeout(g_db, kBusyTimeoutMs);
    if (!create) return 0;
    // A file that cannot be written opens for reading only; a creating open
    // promises a writable database.
    if (sqlite3_db_readonly(g_db, "main") == 1) {
        log_msg("SQL error: %s", sqlite3_errstr(SQLITE_READONLY));
        db_close();
        return -1;
    }
    if (schema_is_current()) return db_exec(kConnectionPragmas) == 0 ? 0 : close_failed();
    return schema_write() == 0 ? 0 : close_failed();
}

void db_close() {
    if (!g_db) return;
    // A statement still alive here is a fault of its owner: close_v2 keeps the
    // connection until it is finalized, so nothing leaks, but it is reported.
    bool unfinalized = false;
    for (sqlite3_stmt* st = sqlite3_next_stmt(g_db, nullptr); st;
         st = sqlite3_next_stmt(g_db, st)) {
        log_msg("db_close: statement never finalized: %s", sqlite3_sql(st));
        unfinalized = true;
    }
    sqlite3_close_v2(g_db);
    g_db = nullptr;
    // An open transaction ends with its connection (SQLite rolls it back).
    s_txn = nullptr;
    s_txn_failed = false;
#ifdef CORVANTIS_CHECKED
    if (unfinalized) std::abort();
#else
    (void)unfinalized;
#endif
}

int db_exec(const char* sql) {
    if (!txn_allows_statement()) return -1;
    char* err = nullptr;
    const int rc = g_db ? sqlite3_exec(g_db, sql, nullptr, nullptr, &err) : SQLITE_MISUSE;
    if (rc == SQLITE_OK) return 0;
    log_msg("SQL error: %s", err ? err : (g_db ? "?" : sqlite3_errstr(rc)));
    sqlite3_free(err);
    txn_note(rc, true);
    return -1;
}

std::int64_t meta_get_int(const char* key, std::int64_t def) {
    DbStmt st("SELECT value FROM meta WHERE key=?");
    st.bind_text(1, key);
    // SQLite converts the stored text itself, in 64 bits; text that is no
    // number reads as 0.
    return st.step() == SQLITE_ROW ? st.col_int(0) : def;
}

void meta_get_str(const char* key, char* field, std::size_t size) {
    str_copy(field, size, "");
    DbStmt st("SELECT value FROM meta WHERE key=?");
    st.bind_text(1, key);
    if (st.step() == SQLITE_ROW) str_copy(field, size, st.col_text(0));
}

void meta_set(const char* key, const char* value) {
    DbStmt st(
        "INSERT INTO meta(key,value) VALUES(?,?) ON CONFLICT(key) DO UPDATE SET "
        "value=excluded.value");
    st.bind_text(1, key);
    st.bind_text(2, value);
    st.step();
}

void meta_set_int(const char* key, std::int64_t value) {
    char text[32];
    (void)std::snprintf(text, sizeof text, "%lld", static_cast<long long>(value));
    meta_set(key, text);
}

void event_add(std::int64_t disk_id, std::int64_t poll_id, const char* type, const char* detail) {
    DbStmt st("INSERT INTO events(ts,disk_id,poll_id,type,detail) VALUES(?,?,?,?,?)");
    st.bind_int(1, now_s());
    st.bind_id(2, disk_id);
    st.bind_id(3, poll_id);
    st.bind_text(4, type);
    st.bind_text(5, detail ? detail : "");
    st.step();
}

void alert_add(std::int64_t disk_id, const char* rule_id, int severity, const char* message) {
    DbStmt st(
        "INSERT INTO alerts(created_ts,disk_id,rule_id,severity,source,message) "
        "VALUES(?,?,?,?,?,?)");
    st.bind_int(1, now_s());
    st.bind_id(2, disk_id);
    st.bind_text(3, rule_id);
    st.bind_int(4, severity);
    st.bind_text(5, "collector");
    st.bind_text(6, message);
    st.step();
}

std::int64_t disk_find_by_serial_or_wwn(const char* serial, const char* wwn) {
    if (serial && *serial) {
        const std::int64_t id = disk_id_where(
            "SELECT disk_id FROM disks WHERE upper(serial)=upper(?) ORDER BY last_seen_ts DESC "
            "LIMIT 1",
            serial);
        if (id != 0) return id;
    }
    if (!wwn || !*wwn) return 0;
    return disk_id_where(
        "SELECT disk_id FROM disks WHERE lower(wwn)=lower(?) ORDER BY last_seen_ts DESC LIMIT 1",
        wwn);
}

DbStmt::DbStmt(const char* sql) {
    if (!g_db || !txn_allows_statement() ||
        sqlite3_prepare_v2(g_db, sql, -1, &stmt_, nullptr) != SQLITE_OK) {
        sqlite3_finalize(stmt_);
        stmt_ = nullptr;
    }
}

DbStmt::~DbStmt() {
    sqlite3_finalize(stmt_);
}

void DbStmt::bind_int(int i, std::int64_t v) {
    if (stmt_) sqlite3_bind_int64(stmt_, i, v);
}

void DbStmt::bind_id(int i, std::int64_t id) {
    if (id < 1)
        bind_null(i);
    else
        bind_int(i, id);
}

void DbStmt::bind_double(int i, double v) {
    if (stmt_) sqlite3_bind_double(stmt_, i, v);
}

void DbStmt::bind_text(int i, const char* text) {
    if (!stmt_) return;
    if (text)
        sqlite3_bind_text(stmt_, i, text, -1, SQLITE_TRANSIENT);
    else
        sqlite3_bind_null(stmt_, i);
}

void DbStmt::bind_null(int i) {
    if (stmt_) sqlite3_bind_null(stmt_, i);
}

int DbStmt::step() {
    if (!stmt_ || !txn_allows_statement()) return -1;
    const int rc = sqlite3_step(stmt_);
    txn_note(rc, false);
    return rc;
}

void DbStmt::reset() {
    if (stmt_) sqlite3_reset(stmt_);
}

std::int64_t DbStmt::col_int(int c) const {
    return stmt_ ? sqlite3_column_int64(stmt_, c) : 0;
}

double DbStmt::col_double(int c) const {
    return stmt_ ? sqlite3_column_double(stmt_, c) : 0.0;
}

const char* DbStmt::col_text(int c) const {
    const unsigned char* text = stmt_ ? sqlite3_column_text(stmt_, c) : nullptr;
    return text ? reinterpret_cast<const char*>(text) : "";
}

bool DbStmt::col_is_null(int c) const {
    return !stmt_ || sqlite3_column_type(stmt_, c) == SQLITE_NULL;
}

DbTxn::DbTxn() {
    if (g_db && db_exec("BEGIN IMMEDIATE") == 0) {
        s_txn = this;
        s_txn_failed = false;
    }
}

DbTxn::~DbTxn() {
    if (s_txn == this) txn_end();
}

bool DbTxn::ok() const {
    return s_txn == this && !s_txn_failed;
}

int DbTxn::commit() {
    if (s_txn != this) return -1;  // never begun, or its connection was closed
    // A failed COMMIT may leave the transaction open (SQLITE_BUSY): txn_end
    // ends it, so that nothing of it can be committed later by accident.
    const int rc = db_exec("COMMIT") == 0 ? 0 : -1;
    txn_end();
    return rc;
}

bool db_txn_failed() {
    return s_txn != nullptr && s_txn_failed;
}
