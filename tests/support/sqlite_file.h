// Direct access to a database file for tests, through a connection of the
// test's own: what the program wrote is checked without its own reader.
#pragma once

#include <functional>
#include <string>
#include <vector>

// Each row of the query as its columns joined by '|', NULL shown as "NULL".
// A statement that fails to prepare gives one row "ERROR: <message>".
std::vector<std::string> sql_rows(const std::string& db_path, const std::string& sql);
// The first column of the first row, "" when there is none.
std::string sql_value(const std::string& db_path, const std::string& sql);
// Runs SQL texts on the file, creating it when missing; "" or SQLite's message.
std::string sql_exec(const std::string& db_path, const std::string& sql);

// For a LockHolder: takes the file under BEGIN EXCLUSIVE (no reader, no
// writer gets in), as a long write of another command would.
std::function<bool()> sql_exclusive_lock(const std::string& db_path);
// For a LockHolder: takes the write lock as a poll does for the minutes of
// its transaction (BEGIN IMMEDIATE and a write): readers still get in.
std::function<bool()> sql_write_lock(const std::string& db_path);
