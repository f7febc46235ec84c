#include "tests/support/sqlite_file.h"

#include <sqlite3.h>

namespace {

// A connection that waits for the program's locks like its own processes do.
sqlite3* open_file(const std::string& db_path) {
    sqlite3* db = nullptr;
    sqlite3_open_v2(db_path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    sqlite3_busy_timeout(db, 10000);
    return db;
}

}  // namespace

std::vector<std::string> sql_rows(const std::string& db_path, const std::string& sql) {
    std::vector<std::string> rows;
    sqlite3* db = open_file(db_path);
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) {
        rows.push_back(std::string("ERROR: ") + sqlite3_errmsg(db));
        sqlite3_close(db);
        return rows;
    }
    while (sqlite3_step(st) == SQLITE_ROW) {
        std::string row;
        for (int c = 0; c < sqlite3_column_count(st); ++c) {
            if (c > 0) row += '|';
            const unsigned char* text = sqlite3_column_text(st, c);
            row += text ? reinterpret_cast<const char*>(text) : "NULL";
        }
        rows.push_back(row);
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
    return rows;
}

std::string sql_value(const std::string& db_path, const std::string& sql) {
    const std::vector<std::string> rows = sql_rows(db_path, sql);
    if (rows.empty()) return "";
    return rows[0].substr(0, rows[0].find('|'));
}

std::string sql_exec(const std::string& db_path, const std::string& sql) {
    sqlite3* db = open_file(db_path);
    char* err = nullptr;
    std::string result;
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err) != SQLITE_OK)
        result = err ? err : sqlite3_errmsg(db);
    sqlite3_free(err);
    sqlite3_close(db);
    return result;
}

std::function<bool()> sql_exclusive_lock(const std::string& db_path) {
    return [db_path] {
        sqlite3* db = open_file(db_path);
        return sqlite3_exec(db, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr) == SQLITE_OK;
    };
}

std::function<bool()> sql_write_lock(const std::string& db_path) {
    return [db_path] {
        sqlite3* db = open_file(db_path);
        return sqlite3_exec(db, "BEGIN IMMEDIATE; CREATE TABLE held_by_other(x);", nullptr, nullptr,
                            nullptr) == SQLITE_OK;
    };
}
