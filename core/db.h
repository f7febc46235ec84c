// The database layer: the process's one SQLite connection, its schema, the
// meta key-value table, the events and alerts journals, and a small RAII
// statement type that every module uses for its SQL.
//
// Statement style: prepare, bind, step, finalize. A statement that fails to
// prepare is skipped silently (readers give their default, writers write
// nothing). Ids (disk, poll) below 1 are bound as NULL.
#pragma once

#include <cstddef>
#include <cstdint>

struct sqlite3;
struct sqlite3_stmt;

// The process's connection; nullptr while closed. Whoever closes it resets it.
extern sqlite3* g_db;

// Opens g_db_path read-write (create != 0: also creates the file, runs the
// schema, sets user_version and the meta stamps). 0, or -1 after logging.
[[nodiscard]] int db_open(int create);
// Closes g_db if open and sets it back to nullptr.
void db_close();
// Calls db_close when it goes out of scope: every way out of a function that
// opened the database closes it.
struct DbCloser {
    DbCloser() = default;
    ~DbCloser() { db_close(); }
    DbCloser(const DbCloser&) = delete;
    DbCloser& operator=(const DbCloser&) = delete;
};
// Runs one or more SQL statements; logs "SQL error: %s" and gives -1 on failure.
[[nodiscard]] int db_exec(const char* sql);

std::int64_t meta_get_int(const char* key, std::int64_t def);
void meta_get_str(const char* key, char* field, std::size_t size);
void meta_set(const char* key, const char* value);
void meta_set_int(const char* key, std::int64_t value);

void event_add(std::int64_t disk_id, std::int64_t poll_id, const char* type, const char* detail);
void alert_add(std::int64_t disk_id, const char* rule_id, int severity, const char* message);
// Disk id by serial (ignoring case, most recently seen first), else by WWN; 0 when none.
std::int64_t disk_find_by_serial_or_wwn(const char* serial, const char* wwn);

// One prepared statement on g_db, finalized when it goes out of scope.
// ok() is false when the statement could not be prepared (or was made inside
// a failed transaction); every call on such a statement does nothing, so
// callers may skip checking.
class DbStmt {
   public:
    explicit DbStmt(const char* sql);
    ~DbStmt();
    DbStmt(const DbStmt&) = delete;
    DbStmt& operator=(const DbStmt&) = delete;

    bool ok() const { return stmt_ != nullptr; }
    sqlite3_stmt* get() const { return stmt_; }

    // Parameters count from 1.
    void bind_int(int i, std::int64_t v);
    void bind_id(int i, std::int64_t id);  // NULL when id < 1
    void bind_double(int i, double v);
    void bind_text(int i, const char* text);  // copied; NULL when text is nullptr
    void bind_null(int i);

    // sqlite3_step's result (SQLITE_ROW, SQLITE_DONE, an error), or -1 when
    // not prepared or refused by a failed transaction (see DbTxn).
    int step();
    void reset();

    // Columns count from 0.
    std::int64_t col_int(int c) const;
    double col_double(int c) const;
    const char* col_text(int c) const;  // "" for NULL
    bool col_is_null(int c) const;

   private:
    sqlite3_stmt* stmt_ = nullptr;
};

// One write transaction on g_db: BEGIN IMMEDIATE when made (so a second
// writer waits out the busy time-out here, not half-way through its work),
// ROLLBACK when it goes out of scope uncommitted.
//
// The first statement that fails inside it ends its work: the failure is
// logged with SQLite's own message, no further statement runs until the
// transaction ends (DbStmt::step and db_exec give -1), and commit() rolls
// back and fails. SQLite rolls a transaction back by itself on some errors
// (a full disk, I/O errors); without this the caller's later statements
// would each commit on their own.
class DbTxn {
   public:
    DbTxn();
    ~DbTxn();
    DbTxn(const DbTxn&) = delete;
    DbTxn& operator=(const DbTxn&) = delete;

    // false when BEGIN failed (busy beyond the time-out, no connection), or
    // once a statement inside the transaction has failed.
    bool ok() const;
    // 0, or -1 after logging when a statement inside failed or COMMIT failed
    // (the transaction is then rolled back).
    [[nodiscard]] int commit();
};
// true while a transaction is open on g_db and a statement inside it has
// failed: long work inside it can stop early, since nothing more of it runs.
bool db_txn_failed();
