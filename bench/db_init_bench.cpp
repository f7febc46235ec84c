// Cost of a fresh `init`: the schema as one transaction (db_open) against the
// same statements each committed on its own, on real files in one folder.
#include <sqlite3.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "core/clock.h"
#include "core/db.h"
#include "core/paths.h"
#include "core/util.h"

namespace {

// The real clock: no test replaces it here.
double now_ms() {
    return clock_mono_ms();
}

// The statements of a schema that db_open made, in creation order, as a
// sequence that commits after each one (what an open without a transaction
// around its schema does).
std::vector<std::string> statement_by_statement(const std::string& made) {
    std::vector<std::string> sql = {"PRAGMA journal_mode=DELETE", "PRAGMA synchronous=FULL",
                                    "PRAGMA busy_timeout=10000", "PRAGMA auto_vacuum=INCREMENTAL"};
    sqlite3* db = nullptr;
    sqlite3_open(made.c_str(), &db);
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db, "SELECT sql FROM sqlite_master WHERE sql IS NOT NULL ORDER BY rowid", -1,
                       &st, nullptr);
    while (sqlite3_step(st) == SQLITE_ROW)
        sql.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)));
    sqlite3_finalize(st);
    sqlite3_close(db);
    sql.emplace_back("PRAGMA user_version=1");
    sql.emplace_back("INSERT INTO meta(key,value) VALUES('schema_created_ts','1')");
    sql.emplace_back("INSERT INTO meta(key,value) VALUES('version','1.0')");
    return sql;
}

double one_transaction(const std::string& path) {
    ::unlink(path.c_str());
    str_copy(g_db_path, sizeof g_db_path, path.c_str());
    const double t0 = now_ms();
    if (db_open(1) != 0) return -1.0;
    db_close();
    return now_ms() - t0;
}

double each_committed(const std::string& path, const std::vector<std::string>& sql) {
    ::unlink(path.c_str());
    const double t0 = now_ms();
    sqlite3* db = nullptr;
    if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) return -1.0;
    for (const std::string& s : sql)
        if (sqlite3_exec(db, s.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) return -1.0;
    sqlite3_close(db);
    return now_ms() - t0;
}

}  // namespace

int main(int argc, char** argv) {
    char tmpl[] = "/var/tmp/corvantis-bench-XXXXXX";
    const char* dir = argc > 1 ? argv[1] : ::mkdtemp(tmpl);
    if (!dir) return 1;
    const std::string path = std::string(dir) + "/bench.db";
    if (one_transaction(path) < 0) return 1;
    const std::vector<std::string> sql = statement_by_statement(path);
    const int runs = 20;
    double txn = 0, each = 0;
    for (int i = 0; i < runs; ++i) {
        txn += one_transaction(path);
        each += each_committed(path, sql);
    }
    ::unlink(path.c_str());
    if (argc <= 1) ::rmdir(dir);
    std::printf("fresh init in %s, mean of %d runs (%zu statements):\n", dir, runs, sql.size());
    std::printf("  one transaction:      %.2f ms\n", txn / runs);
    std::printf("  each statement alone: %.2f ms (%.1fx)\n", each / runs, each / txn);
    return 0;
}
