// Running SQLite statements against a database that another process may hold:
// while SQLite answers SQLITE_BUSY or SQLITE_LOCKED, wait `sec` seconds and
// try again, without limit. Internal to storage/.
#pragma once

#include <functional>

struct sqlite3;
struct sqlite3_stmt;

// Waits between two tries; returns false to give up (the caller then gets
// SQLITE_BUSY or SQLITE_LOCKED back). Empty: a plain sleep, never giving up.
using SqliteRetryPause = std::function<bool(int sec)>;

// Steps a prepared statement; returns the SQLite result code.
int SqliteStepWithTimeout(sqlite3_stmt* stmt, int sec, const SqliteRetryPause& pause = nullptr);
// Prepares `sql` (reading the schema needs the database's shared lock).
int SqlitePrepareWithTimeout(sqlite3* db, const char* sql, sqlite3_stmt** stmt, int sec,
                             const SqliteRetryPause& pause = nullptr);
// Runs `sql` with sqlite3_exec (no row callback); `errMsg` as sqlite3_exec's.
int SqliteExecWithTimeout(sqlite3* db, const char* sql, char** errMsg, int sec,
                          const SqliteRetryPause& pause = nullptr);
