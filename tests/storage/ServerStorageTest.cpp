// The server's storage facade, and the whole program keeping its catalogue.
#include "StorageTestKit.h"
#include "fixtures/ServerProcess.h"
#include "fixtures/TempDir.h"

#include "storage/StorageWatcher.h"

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>
#include <fstream>
#include <set>

namespace fs = boost::filesystem;

namespace {

std::set<std::string> IdSet(const std::vector<VdcpId>& list)
{
    std::set<std::string> ids;
    for (const VdcpId& v : list) ids.insert(v.first);
    return ids;
}

}  // namespace

TEST(ServerStorage, QueriesWithoutAWatcherAnswerEmpty)
{
    VDCPServer srv;
    std::string id = "any";
    std::vector<VdcpId> list{{"stale", 1}};
    EXPECT_EQ(0u, srv.QueryIdListSize());
    srv.QueryIdList(list);
    EXPECT_TRUE(list.empty());
    list = {{"stale", 1}};
    srv.QueryProcessedIdList(list);
    EXPECT_TRUE(list.empty());
    BYTE flags[2] = {0xAA, 0xAA};
    EXPECT_EQ(0, srv.QueryIdFlags(id, flags));
    EXPECT_EQ(0xAA, flags[0]);
    BYTE bcd[4] = {0xAA, 0xAA, 0xAA, 0xAA};
    EXPECT_FALSE(srv.QueryIdSizeBCD(id, bcd));
    EXPECT_EQ(0xAA, bcd[0]);
    cTime t = 5;
    EXPECT_FALSE(srv.QueryIdSize(id, t));
    std::string path = "kept";
    EXPECT_FALSE(srv.QueryMediaPath(id, path));
}

TEST(ServerStorage, SetupStorageCreatesTheWatcherThenMovesItsDatabaseAndFolder)
{
    TempDir media1, media2, db1, db2, base;
    std::ofstream(media1 / "a.mxf") << "x";
    std::ofstream(media1 / "b.mxf") << "x";
    std::ofstream(media2 / "c.mxf") << "x";
    RecordingServer srv;

    ASSERT_TRUE(srv.SetupStorage(db1.Path(), media1.Path(), ".mxf"));
    EXPECT_EQ(2u, srv.QueryIdListSize());
    std::vector<VdcpId> list;
    srv.QueryIdList(list);
    EXPECT_EQ((std::set<std::string>{"a", "b"}), IdSet(list));
    std::string id = "a", path;
    EXPECT_TRUE(srv.QueryMediaPath(id, path));
    EXPECT_EQ(media1 / "a.mxf", path);
    BYTE flags[2];
    EXPECT_EQ(2, srv.QueryIdFlags(id, flags));
    EXPECT_EQ(2u, ReadRows(db1.Path()).size());

    // A new database folder: the folder is scanned into it.
    EXPECT_TRUE(srv.SetupStorage(db2.Path(), "", ""));
    EXPECT_EQ(2u, ReadRows(db2.Path()).size());
    EXPECT_FALSE(srv.Watcher()->SetDatabasePath(base / "missing"));

    // A new media folder: the old IDs are reported deleted, the new ones added.
    EXPECT_TRUE(srv.SetupStorage("", media2.Path(), ".mxf"));
    EXPECT_EQ(1, srv.DeletedCount("a"));
    EXPECT_EQ(1, srv.DeletedCount("b"));
    EXPECT_EQ(1, srv.AddedCount("c"));
    id = "c";
    EXPECT_TRUE(srv.QueryMediaPath(id, path));
    EXPECT_EQ(media2 / "c.mxf", path);
    // Events now come from the new folder.
    std::ofstream(media2 / "d.mxf") << "x";
    ASSERT_TRUE(WaitFor([&] { return srv.QueryIdListSize() == 2; }));

    // A folder that does not exist empties the catalogue, and says so.
    EXPECT_FALSE(srv.SetupStorage("", base / "missing", ".mxf"));
    EXPECT_EQ(1, srv.DeletedCount("c"));
    EXPECT_EQ(1, srv.DeletedCount("d"));
    EXPECT_EQ(0u, srv.QueryIdListSize());
}

TEST(ServerStorage, TheRunningServerCataloguesItsFolderAndStopsCleanly)
{
    TempDir work;
    const std::string media = work / "media", db = work / "db";
    fs::create_directory(media);
    CopyFileTo(VideoClip(), media + "/clip.mxf");
    const int port = FreeLoopbackPort();
    std::ofstream(work / "config.yaml") << "log-files-path: " << work.Path() << "\n"
                                        << "storage:\n  path: " << media << "\n  extension: .mxf\n"
                                        << "database:\n  path: " << db << "\n"
                                        << "interfaces:\n  - type: tcpip\n    ip: 127.0.0.1\n    port: " << port
                                        << "\n    protocol: vdcp\n"
                                        << "board:\n  type: simulated\n  outputs: 1\n  inputs: 0\n";
    ServerProcess server(work.Path(), work / "config.yaml");
    ASSERT_TRUE(server.Start());
    ASSERT_TRUE(server.WaitForStdout("Number of Network Servers: 1", std::chrono::seconds(30))) << server.Stdout();

    ASSERT_TRUE(WaitFor([&] {
        auto rows = ReadRows(db);
        return rows.count("clip") && rows["clip"].transferInProgress == 0;
    }));
    EXPECT_EQ("00:00:01:00", ReadRows(db)["clip"].duration);

    server.Interrupt();
    int status = -1;
    ASSERT_TRUE(server.Wait(std::chrono::seconds(30), status));
    EXPECT_EQ(0, status);
    EXPECT_NE(std::string::npos, server.Stderr().find("Storage Watcher destroyed."));
}
