// The catalogue and the media database, without waiting for the inspector:
// the ID rules at the scan and at folder events, the rows a scan writes, the
// cleanup, and the database held by another connection.
#include "StorageTestKit.h"
#include "fixtures/TempDir.h"

#include "shell/Log.h"
#include "storage/StorageWatcher.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <boost/filesystem.hpp>
#include <memory>
#include <set>
#include <thread>

namespace fs = boost::filesystem;

namespace {

std::set<std::string> Ids(StorageWatcher& sw)
{
    std::vector<VdcpId> list;
    sw.GetStorageContent(list);
    std::set<std::string> ids;
    for (const VdcpId& v : list) ids.insert(v.first);
    return ids;
}

// Clip names and what the catalogue makes of them ("" = not a clip).
struct NameCase {
    std::string name;
    std::string id;
};
std::vector<NameCase> NameCases()
{
    return {
        {"plain.mxf", "plain"},
        {"UPPER.MXF", ""},
        {"mixed.Mxf", ""},
        {".mxf", ""},
        {"double.mxf.mxf", "double.mxf"},
        {"notes.txt", ""},
        {"clip.mxf.part", ""},
        {"with space.mxf", "with space"},
        {std::string(79, 'a') + ".mxf", std::string(79, 'a')},
        {std::string(80, 'b') + ".mxf", ""},
        {"Caf\xc3\xa9.mxf", "Caf\xc3\xa9"},
    };
}

// Entries that are never clips whatever their names, plus a link to a clip.
void MakeOtherEntries(const std::string& dir)
{
    fs::create_directory(dir + "/folder.mxf");
    fs::create_directory(dir + "/sub");
    std::ofstream(dir + "/sub/inner.mxf") << "x";
    ASSERT_EQ(0, mkfifo((dir + "/pipe.mxf").c_str(), 0644));
    fs::create_symlink(dir + "/missing-target", dir + "/dangling.mxf");
}

std::set<std::string> ExpectedIds()
{
    std::set<std::string> ids;
    for (const NameCase& c : NameCases())
        if (!c.id.empty()) ids.insert(c.id);
    return ids;
}

}  // namespace

TEST(StorageCatalogue, IdRulesAtTheScan)
{
    TempDir media, db;
    for (const NameCase& c : NameCases()) std::ofstream(media / c.name) << "x";
    MakeOtherEntries(media.Path());
    StorageWatcher sw(nullptr, db.Path(), media.Path(), ".mxf");
    EXPECT_TRUE(sw.IsValid());
    EXPECT_EQ(ExpectedIds(), Ids(sw));
}

TEST(StorageCatalogue, IdRulesAtFolderEvents)
{
    TempDir media, db;
    StorageWatcher sw(nullptr, db.Path(), media.Path(), ".mxf");
    for (const NameCase& c : NameCases()) std::ofstream(media / c.name) << "x";
    MakeOtherEntries(media.Path());
    fs::create_symlink(media / "plain.mxf", media / "link.mxf");
    std::ofstream(media / "zz-last.mxf") << "x";
    // Events are handled in order: the last file catalogued means all were seen.
    ASSERT_TRUE(WaitFor([&] { return Ids(sw).count("zz-last") == 1; }));
    std::set<std::string> expected = ExpectedIds();
    expected.insert("link");
    expected.insert("zz-last");
    EXPECT_EQ(expected, Ids(sw));
}

TEST(StorageCatalogue, ScanWritesOneRowPerClipAndCataloguesItInTransfer)
{
    TempDir media, db, logs;
    LogInto(logs.Path());
    const int64_t times[] = {1600000000, 1600000100, 4200000000};   // the last beyond 32 bits
    const char* names[] = {"a", "b", "c"};
    for (int i = 0; i < 3; ++i) {
        std::ofstream(media / (std::string(names[i]) + ".mxf")) << "x";
        SetFileTime(media / (std::string(names[i]) + ".mxf"), times[i]);
    }
    std::ofstream(media / "notes.txt") << "x";
    {
        StorageWatcher sw(nullptr, db.Path(), media.Path(), ".mxf");
        BYTE flags[2] = {0, 0};
        EXPECT_EQ(2, sw.GetIdFlags("a", flags));
        EXPECT_EQ(0x41, flags[0]);   // in disk, transfer in progress
        EXPECT_EQ(0x07, flags[1]);   // not ready to play, transfer, archive
        std::vector<VdcpId> processed{{"stale", 1}};
        sw.GetProcessedContent(processed);
        EXPECT_TRUE(processed.empty());
        BYTE bcd[4] = {9, 9, 9, 9};
        EXPECT_FALSE(sw.GetIdSizeBCD("a", bcd));
        EXPECT_EQ(9, bcd[0]);
        std::string path;
        EXPECT_TRUE(sw.GetIdPath("a", path));
        EXPECT_EQ((fs::path(media.Path()) / "a.mxf").string(), path);
        EXPECT_FALSE(sw.GetIdPath("nothere", path));
        EXPECT_EQ((fs::path(media.Path()) / "nothere.mxf").string(), path);
        BYTE untouched[2] = {0xAA, 0xAA};
        EXPECT_EQ(0, sw.GetIdFlags("nothere", untouched));
        EXPECT_EQ(0xAA, untouched[0]);
        EXPECT_EQ(3u, sw.GetStorageContentSize());
    }
    auto rows = ReadRows(db.Path());
    ASSERT_EQ(3u, rows.size());
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(names[i]);
        const StorageRow& r = rows[names[i]];
        EXPECT_EQ(times[i], r.modDate);
        EXPECT_EQ(0, r.protect);
        EXPECT_EQ("0", r.duration);
        EXPECT_EQ("n/a", r.format);
        EXPECT_EQ("n/a", r.aspect);
        EXPECT_EQ(0.0, r.frameRate);
        EXPECT_EQ(0, r.sampleRate);
        EXPECT_EQ(1, r.available);
        EXPECT_EQ(1, r.transferInProgress);
    }
    std::string log = LogText(logs.Path());
    EXPECT_EQ(1, CountOf(log, "MediaDB has been created.\n"));
    EXPECT_EQ(1, CountOf(log, "3 MediaDB records updated.\n"));
    // Stopped before or during its first size wait: nothing was probed.
    EXPECT_EQ(0, CountOf(log, "Media Inspector: analyzing"));
}

TEST(StorageCatalogue, TheScanAddsMissingRowsAndLeavesExistingOnesAlone)
{
    TempDir media, db;
    std::ofstream(media / "a.mxf") << "x";
    std::ofstream(media / "b.mxf") << "x";
    // A database file without the Storage table gets one.
    ASSERT_TRUE(ExecSql(db.Path(), "CREATE TABLE Other(x INT);"));
    { StorageWatcher sw(nullptr, db.Path(), media.Path(), ".mxf"); }
    ASSERT_EQ(2u, ReadRows(db.Path()).size());

    ASSERT_TRUE(ExecSql(db.Path(), "UPDATE Storage SET modDate = 123, available = 0, protect = 1, "
                                   "duration = '00:00:09:00' WHERE id = 'a';"));
    std::ofstream(media / "c.mxf") << "x";
    { StorageWatcher sw(nullptr, db.Path(), media.Path(), ".mxf"); }
    auto rows = ReadRows(db.Path());
    ASSERT_EQ(3u, rows.size());
    EXPECT_EQ(123, rows["a"].modDate);
    EXPECT_EQ(0, rows["a"].available);
    EXPECT_EQ(1, rows["a"].protect);
    EXPECT_EQ("00:00:09:00", rows["a"].duration);
    EXPECT_EQ(1, rows["c"].transferInProgress);
}

TEST(StorageCatalogue, CleanupDropsRowsOfUncataloguedIdsButNeverForAnEmptyFolder)
{
    TempDir media, empty, db;
    std::ofstream(media / "a.mxf") << "x";
    std::ofstream(media / "b.mxf") << "x";
    { StorageWatcher sw(nullptr, db.Path(), media.Path(), ".mxf"); }
    ASSERT_TRUE(ExecSql(db.Path(), "INSERT INTO Storage VALUES ('ghost', 1, 0, 1, '0', 'n/a', 'n/a', 0, 0, 1, 1);"));
    {
        StorageWatcher sw(nullptr, db.Path(), empty.Path(), ".mxf");
        EXPECT_TRUE(sw.CleanupDatabase());
    }
    EXPECT_EQ(3u, ReadRows(db.Path()).size());
    {
        StorageWatcher sw(nullptr, db.Path(), media.Path(), ".mxf");
        EXPECT_TRUE(sw.CleanupDatabase());
        EXPECT_TRUE(sw.CleanupDatabase());   // the temporary list is gone after each run
    }
    auto rows = ReadRows(db.Path());
    EXPECT_EQ(2u, rows.size());
    EXPECT_EQ(0u, rows.count("ghost"));
}

TEST(StorageCatalogue, RemovalKeepsTheRowMarkedUnavailable)
{
    TempDir media, db;
    std::ofstream(media / "a.mxf") << "x";
    std::ofstream(media / "b.mxf") << "x";
    StorageWatcher sw(nullptr, db.Path(), media.Path(), ".mxf");
    fs::remove(media / "a.mxf");
    ASSERT_TRUE(WaitFor([&] { return Ids(sw).count("a") == 0; }));
    auto rows = ReadRows(db.Path());
    ASSERT_EQ(1u, rows.count("a"));
    EXPECT_EQ(0, rows["a"].available);
    EXPECT_EQ(1, rows["b"].available);
}

TEST(StorageCatalogue, FilesThatVanishAtOnceNeverStopTheWatch)
{
    TempDir media, db;
    StorageWatcher sw(nullptr, db.Path(), media.Path(), ".mxf");
    for (int i = 0; i < 200; ++i) {
        std::string p = media / ("flash" + std::to_string(i) + ".mxf");
        std::ofstream(p) << "x";
        fs::remove(p);
    }
    std::ofstream(media / "stays.mxf") << "x";
    ASSERT_TRUE(WaitFor([&] { return Ids(sw).count("stays") == 1; }));
    EXPECT_EQ(std::set<std::string>{"stays"}, Ids(sw));
}

TEST(StorageCatalogue, ADatabaseHeldByAnotherConnectionMakesWritersWaitAndTeardownDoesNotHang)
{
    TempDir media, db, logs;
    LogInto(logs.Path());
    std::ofstream(media / "a.mxf") << "x";
    { StorageWatcher first(nullptr, db.Path(), media.Path(), ".mxf"); }
    std::ofstream(media / "b.mxf") << "x";

    sqlite3* other = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open((db / "Storage.db").c_str(), &other));
    ASSERT_EQ(SQLITE_OK, sqlite3_exec(other, "BEGIN EXCLUSIVE;", nullptr, nullptr, nullptr));

    std::unique_ptr<StorageWatcher> sw;
    std::atomic<bool> constructed{false};
    std::thread starter([&] {
        sw.reset(new StorageWatcher(nullptr, db.Path(), media.Path(), ".mxf"));
        constructed = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_FALSE(constructed) << "the scan's database update did not wait for the lock";
    ASSERT_EQ(SQLITE_OK, sqlite3_exec(other, "COMMIT;", nullptr, nullptr, nullptr));
    starter.join();
    EXPECT_EQ(2u, ReadRows(db.Path()).size());

    // A write on the watch's thread waits again; tearing down must not.
    ASSERT_EQ(SQLITE_OK, sqlite3_exec(other, "BEGIN EXCLUSIVE;", nullptr, nullptr, nullptr));
    std::ofstream(media / "c.mxf") << "x";
    ASSERT_TRUE(WaitFor([&] { return LogText(logs.Path()).find("action=1") != std::string::npos; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    sw.reset();
    EXPECT_NE(std::string::npos,
              LogText(logs.Path()).find("ID: c added only to memory. Cannot add to MediaDB because of error:"));
    ASSERT_EQ(SQLITE_OK, sqlite3_exec(other, "COMMIT;", nullptr, nullptr, nullptr));
    sqlite3_close(other);
    EXPECT_EQ(0u, ReadRows(db.Path()).count("c"));
}
