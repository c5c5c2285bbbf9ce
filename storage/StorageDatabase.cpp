// StorageWatcher: the media database ("MediaDB" in the log), one SQLite file
// in the database folder, holding per clip ID what the inspector learned and
// the file time at which it learned it.
#include "storage/StorageWatcher.h"

#include "shell/Log.h"
#include "storage/SqliteRetry.h"
#include "storage/StorageStatements.h"

#include <boost/filesystem.hpp>
#include <sqlite3.h>

#include <chrono>
#include <thread>

namespace fs = boost::filesystem;

namespace {

bool IsBusy(int rc)
{
    return rc == SQLITE_BUSY || rc == SQLITE_LOCKED;
}

bool Pause(const SqliteRetryPause& pause, int sec)
{
    if (pause) return pause(sec);
    std::this_thread::sleep_for(std::chrono::seconds(sec));
    return true;
}

}  // namespace

int SqliteStepWithTimeout(sqlite3_stmt* stmt, int sec, const SqliteRetryPause& pause)
{
    for (;;) {
        int rc = sqlite3_step(stmt);
        if (!IsBusy(rc) || !Pause(pause, sec)) return rc;
        // A statement that stopped on SQLITE_BUSY outside an explicit
        // transaction must be reset before it is stepped again.
        sqlite3_reset(stmt);
    }
}

int SqlitePrepareWithTimeout(sqlite3* db, const char* sql, sqlite3_stmt** stmt, int sec, const SqliteRetryPause& pause)
{
    for (;;) {
        int rc = sqlite3_prepare_v2(db, sql, -1, stmt, nullptr);
        if (!IsBusy(rc) || !Pause(pause, sec)) return rc;
    }
}

int SqliteExecWithTimeout(sqlite3* db, const char* sql, char** errMsg, int sec, const SqliteRetryPause& pause)
{
    for (;;) {
        if (errMsg && *errMsg) {
            sqlite3_free(*errMsg);
            *errMsg = nullptr;
        }
        int rc = sqlite3_exec(db, sql, nullptr, nullptr, errMsg);
        if (!IsBusy(rc) || !Pause(pause, sec)) return rc;
    }
}

bool StorageWatcher::OpenDatabase()
{
    std::lock_guard<std::recursive_mutex> lk(storageLock);
    if (db) return true;
    const std::string file = (fs::path(dbPath) / storageFileName).string();
    const auto pause = [this](int s) { return RetryPause(s); };

    int rc = sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                             nullptr);
    if (rc == SQLITE_OK) {
        sqlite3_stmt* probe = nullptr;
        if (SqlitePrepareWithTimeout(db, storageTableProbe, &probe, 1, pause) == SQLITE_OK) {
            // Another process holding the file is no reason to give up on it.
            int step = SqliteStepWithTimeout(probe, 1, pause);
            sqlite3_finalize(probe);
            if (step == SQLITE_ROW) {
                MsgToLog(L_DEBUG, "MediaDB is opened.\n");
                return true;
            }
            if (SqliteExecWithTimeout(db, storageCreate, nullptr, 1, pause) == SQLITE_OK) {
                MsgToLog(L_DEBUG, "MediaDB has been created.\n");
                return true;
            }
        }
        sqlite3_close(db);
        db = nullptr;
    }
    // When the open itself failed, the handle SQLite handed back stays in db:
    // the catalogue then works from memory and every statement on the handle
    // fails and is logged by its caller.
    MsgToLog(L_ERROR, "Cannot open or create MediaDB at: %s\n", fs::path(file).generic_string().c_str());
    return false;
}

bool StorageWatcher::UpdateDatabase()
{
    MsgToLog(L_DEBUG, "Updating MediaDB...\n");
    if (!OpenDatabase()) return false;
    std::lock_guard<std::recursive_mutex> lk(storageLock);
    if (fileNames.empty()) return true;
    const auto pause = [this](int s) { return RetryPause(s); };

    char* err = nullptr;
    if (SqliteExecWithTimeout(db, storageBeginWrite, &err, 1, pause) != SQLITE_OK) {
        MsgToLog(L_ERROR, "Cannot update MediaDB: %s\n", err ? err : sqlite3_errmsg(db));
        sqlite3_free(err);
        return false;
    }
    unsigned long long stepped = 0;
    sqlite3_stmt* stmt = nullptr;
    if (SqlitePrepareWithTimeout(db, storageInsertEmpty, &stmt, 1, pause) == SQLITE_OK) {
        for (const VdcpId& id : fileNames) {
            sqlite3_reset(stmt);
            sqlite3_bind_text(stmt, 1, id.first.data(), int(id.first.size()), SQLITE_TRANSIENT);
            sqlite3_bind_int64(stmt, 2, id.second);
            // Waits like every other write while another process holds the file.
            if (SqliteStepWithTimeout(stmt, 1, pause) != SQLITE_DONE) break;
            ++stepped;
        }
    }
    sqlite3_finalize(stmt);
    const unsigned long long total = fileNames.size();
    if (stepped < total) MsgToLog(L_WARN, "%llu of %llu MediaDB records updated.\n", stepped, total);

    if (SqliteExecWithTimeout(db, storageCommit, &err, 1, pause) != SQLITE_OK) {
        // Left open, the transaction would swallow every later write.
        MsgToLog(L_ERROR, "Cannot update MediaDB: %s\n", err ? err : sqlite3_errmsg(db));
        sqlite3_free(err);
        if (!sqlite3_get_autocommit(db)) sqlite3_exec(db, storageRollback, nullptr, nullptr, nullptr);
        return false;
    }
    MsgToLog(L_DEBUG, "%llu MediaDB records updated.\n", total);
    return true;
}

bool StorageWatcher::CleanupDatabase()
{
    MsgToLog(L_DEBUG, "MediaDB Cleanup.\n");
    if (!OpenDatabase()) return false;
    std::lock_guard<std::recursive_mutex> lk(storageLock);
    if (fileNames.empty()) return true;
    const auto pause = [this](int s) { return RetryPause(s); };

    char* err = nullptr;
    if (sqlite3_exec(db, cleanupCreateList, nullptr, nullptr, &err) != SQLITE_OK) {
        MsgToLog(L_ERROR, "MediaDB cannot create temp table for cleanup: %s\n", err ? err : sqlite3_errmsg(db));
        sqlite3_free(err);
        return false;
    }
    if (sqlite3_exec(db, storageBegin, nullptr, nullptr, &err) != SQLITE_OK) {
        MsgToLog(L_ERROR, "MediaDB cannot BEGIN cleanup: %s\n", err ? err : sqlite3_errmsg(db));
    } else {
        // The delete keeps only the listed IDs: it runs only when every
        // catalogued ID made it into the list, or it would drop live rows.
        bool listed = true;
        sqlite3_stmt* stmt = nullptr;
        if (SqlitePrepareWithTimeout(db, cleanupInsertId, &stmt, 1, pause) == SQLITE_OK) {
            for (const VdcpId& id : fileNames) {
                sqlite3_reset(stmt);
                sqlite3_bind_text(stmt, 1, id.first.data(), int(id.first.size()), SQLITE_TRANSIENT);
                if (sqlite3_step(stmt) != SQLITE_DONE) listed = false;
            }
        } else {
            listed = false;
        }
        sqlite3_finalize(stmt);
        if (SqliteExecWithTimeout(db, storageCommit, &err, 1, pause) != SQLITE_OK) {
            listed = false;
            if (!sqlite3_get_autocommit(db)) sqlite3_exec(db, storageRollback, nullptr, nullptr, nullptr);
        }
        int rc = SQLITE_ERROR;
        if (listed) {
            stmt = nullptr;
            if (SqlitePrepareWithTimeout(db, cleanupDelete, &stmt, 1, pause) == SQLITE_OK)
                rc = SqliteStepWithTimeout(stmt, 1, pause);
            sqlite3_finalize(stmt);
        }
        if (rc != SQLITE_DONE) MsgToLog(L_ERROR, "MediaDB cannot complete cleanup.\n");
    }
    sqlite3_free(err);
    sqlite3_exec(db, cleanupDropList, nullptr, nullptr, nullptr);
    MsgToLog(L_DEBUG, "%llu MediaDB records revised.\n", (unsigned long long)fileNames.size());
    return true;
}
