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

// A separate process that holds the write lock of a database file, as a poll
// does for the minutes of its transaction: BEGIN IMMEDIATE and one written
// row, kept until the object goes out of scope (then rolled back).
class HeldWriteLock {
   public:
    explicit HeldWriteLock(const std::string& db_path);
    ~HeldWriteLock();
    HeldWriteLock(const HeldWriteLock&) = delete;
    HeldWriteLock& operator=(const HeldWriteLock&) = delete;

    // true once the other process holds the lock.
    bool held() const { return held_; }

   private:
    int pid_ = -1;
    int release_fd_ = -1;
    bool held_ = false;
};
