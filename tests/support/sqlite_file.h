// Direct access to a database file for tests, through a connection of the
// test's own: what the program wrote is checked without its own reader.
#pragma once

#include <string>
#include <vector>

// Each row of the query as its columns joined by '|', NULL shown as "NULL".
// A statement that fails to prepare gives one row "ERROR: <message>".
std::vector<std::string> sql_rows(const std::string& db_path, const std::string& sql);
// The first column of the first row, "" when there is none.
std::string sql_value(const std::string& db_path, const std::string& sql);
// Runs SQL texts on the file, creating it when missing; "" or SQLite's message.
std::string sql_exec(const std::string& db_path, const std::string& sql);

// A second process that keeps the file under BEGIN EXCLUSIVE (no reader, no
// writer gets in) for hold_ms, as a long write of another command would.
// Returns once the child holds it; the destructor reaps the child.
class SqlExclusiveHolder {
   public:
    SqlExclusiveHolder(const std::string& db_path, int hold_ms);
    ~SqlExclusiveHolder();
    SqlExclusiveHolder(const SqlExclusiveHolder&) = delete;
    SqlExclusiveHolder& operator=(const SqlExclusiveHolder&) = delete;
    bool held() const { return held_; }

   private:
    int pid_ = -1;
    bool held_ = false;
};
