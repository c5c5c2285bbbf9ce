// The SQL texts of the media database ("Storage.db", table Storage). Named
// parameters are bound by position, in the order of their first appearance.
// Internal to storage/.
#pragma once

// Database file inside the database folder.
constexpr const char* storageFileName = "Storage.db";
// Text facts not (yet) known.
constexpr const char* notAvail = "n/a";

constexpr const char* storageTableProbe = "SELECT name FROM sqlite_master WHERE type = 'table' AND name = 'Storage';";
constexpr const char* storageCreate =
    "CREATE TABLE IF NOT EXISTS Storage ( id TEXT UNIQUE ON CONFLICT REPLACE, modDate INT, playDate INT, "
    "protect INT, duration TEXT, format TEXT, aspect TEXT, frameRate REAL, sampleRate INT, available INT, "
    "transferInProgress INT);\n";
// 1 :id, 2 :mdat
constexpr const char* storageInsertEmpty =
    "INSERT OR IGNORE INTO Storage VALUES (:id, :mdat, 0, 0, 0, 'n/a', 'n/a', .0, 0, 1, 1);\n";
// 1 :mdat, 2 :dur, 3 :fmt, 4 :asp, 5 :fps, 6 :bps, 7 :id
constexpr const char* storageInsertIdInfo =
    "UPDATE Storage SET modDate = :mdat, duration = :dur, format = :fmt, aspect = :asp, frameRate = :fps, "
    "sampleRate = :bps, available = 1, transferInProgress = 0 WHERE id = :id;\n";
// 1 :id
constexpr const char* storageSetUnavaliable = "UPDATE Storage SET available = 0 WHERE id = :id;\n";
// 1 :id
constexpr const char* storageRemove = "DELETE FROM Storage WHERE id = :id;\n";
// 1 :id
constexpr const char* storageLookup =
    "SELECT protect, modDate, duration, format, aspect, frameRate, sampleRate FROM Storage WHERE id = :id;\n";

constexpr const char* storageBegin = "BEGIN\n";
// The bulk insert takes the write lock up front, so that it never waits for
// another writer while holding a read lock that writer waits for.
constexpr const char* storageBeginWrite = "BEGIN IMMEDIATE\n";
constexpr const char* storageCommit = "COMMIT\n";
constexpr const char* storageRollback = "ROLLBACK\n";

constexpr const char* cleanupCreateList = "CREATE TEMP TABLE idList(id TEXT);\n";
// 1 :id
constexpr const char* cleanupInsertId = "INSERT INTO idList VALUES (:id);\n";
constexpr const char* cleanupDelete = "DELETE FROM Storage WHERE id NOT IN idList;\n";
constexpr const char* cleanupDropList = "DROP TABLE idList;\n";
