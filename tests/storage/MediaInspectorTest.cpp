// The media inspector on real clips: settling, probing, restoring from the
// database, and the catalogue's answers to the server along the way. These
// tests wait for the inspector's own 5-second size checks.
#include "StorageTestKit.h"
#include "fixtures/TempDir.h"

#include "storage/StorageWatcher.h"

#include <gtest/gtest.h>

#include <atomic>
#include <boost/filesystem.hpp>
#include <fstream>
#include <set>
#include <thread>

namespace fs = boost::filesystem;

namespace {

constexpr cTime kOneSecond = 0x00000100;   // 00:00:01:00

// The ID status word as GetIdFlags writes it (low byte first).
int Flags(StorageWatcher* sw, const std::string& id)
{
    BYTE f[2] = {0, 0};
    if (sw->GetIdFlags(id, f) != 2) return -1;
    return f[0] | (f[1] << 8);
}

constexpr int kInTransfer = id_InDisk | id_TransferInProgress | id_NotReadyToPlay | id_NotReadyToTransfer |
                            id_NotReadyToArchive;

cTime Duration(StorageWatcher* sw, const std::string& id)
{
    cTime t = 0;
    return sw->GetIdSize(id, t) ? t : 0;
}

std::set<std::string> Processed(StorageWatcher* sw)
{
    std::vector<VdcpId> list;
    sw->GetProcessedContent(list);
    std::set<std::string> ids;
    for (const VdcpId& v : list) ids.insert(v.first);
    return ids;
}

// A storage set-up with the short pass period the tests use.
void StartStorage(RecordingServer& srv, const std::string& db, const std::string& media)
{
    srv.SetupStorage(db, media, ".mxf");
    srv.Watcher()->SetInspectorTimeout(1);
}

}  // namespace

TEST(MediaInspector, ProbesNewClipsOnceAndARestartTakesTheirFactsFromTheDatabase)
{
    TempDir media, db, logs;
    LogInto(logs.Path());
    const std::string cafe = "Caf\xc3\xa9";
    CopyFileTo(VideoClip(), media / "clip.mxf");
    CopyFileTo(VideoClip(), media / (cafe + ".mxf"));
    CopyFileTo(AudioOnlyClip(), media / "audio.mxf");
    {
        RecordingServer srv;
        StartStorage(srv, db.Path(), media.Path());
        StorageWatcher* sw = srv.Watcher();
        ASSERT_TRUE(srv.WaitAdded("clip"));
        ASSERT_TRUE(srv.WaitAdded(cafe));
        ASSERT_TRUE(srv.WaitAdded("audio"));

        EXPECT_EQ(id_InDisk, Flags(sw, "clip"));
        EXPECT_EQ(kOneSecond, Duration(sw, "clip"));
        BYTE bcd[4] = {0, 0, 0, 0};
        ASSERT_TRUE(sw->GetIdSizeBCD("clip", bcd));
        EXPECT_EQ(0x00, bcd[0]);   // frames first
        EXPECT_EQ(0x01, bcd[1]);
        EXPECT_EQ(kOneSecond, Duration(sw, cafe));
        // No video: processed, but not ready to play.
        EXPECT_EQ(id_InDisk | id_NotReadyToPlay, Flags(sw, "audio"));
        EXPECT_EQ((std::set<std::string>{"clip", cafe}), Processed(sw));

        auto rows = ReadRows(db.Path());
        const StorageRow& clip = rows["clip"];
        EXPECT_EQ(FileTime(media / "clip.mxf"), clip.modDate);
        EXPECT_EQ("00:00:01:00", clip.duration);
        EXPECT_EQ("MPEG Video", clip.format);
        EXPECT_EQ("16:9", clip.aspect);
        EXPECT_DOUBLE_EQ(25.0, clip.frameRate);
        EXPECT_EQ(48000, clip.sampleRate);
        EXPECT_EQ(1, clip.available);
        EXPECT_EQ(0, clip.transferInProgress);
        EXPECT_EQ(0, rows["audio"].transferInProgress);
        EXPECT_EQ(48000, rows["audio"].sampleRate);

        // The clip without a duration is probed again in later passes; the
        // protection set from outside comes into the catalogue and survives
        // those probes.
        ASSERT_TRUE(ExecSql(db.Path(), "UPDATE Storage SET protect = 1 WHERE id = 'audio';"));
        const int probed = CountOf(LogText(logs.Path()), "Media Inspector: analyzing audio ...");
        ASSERT_TRUE(WaitFor([&] {
            return (Flags(sw, "audio") & id_DeleteProtect) &&
                   CountOf(LogText(logs.Path()), "Media Inspector: analyzing audio ...") >= probed + 2;
        }));
        EXPECT_EQ(1, ReadRows(db.Path())["audio"].protect);
        EXPECT_EQ(id_InDisk | id_NotReadyToPlay | id_DeleteProtect, Flags(sw, "audio"));
        // ... but it is announced only once.
        EXPECT_EQ(1, srv.AddedCount("audio"));
        EXPECT_EQ(1, srv.AddedCount("clip"));
    }

    // A duration only the database knows proves that the restart looked it up
    // instead of probing the unchanged file.
    ASSERT_TRUE(ExecSql(db.Path(), "UPDATE Storage SET duration = '00:00:07:00' WHERE id = 'clip';"));
    const size_t logBefore = LogText(logs.Path()).size();
    {
        RecordingServer srv;
        StartStorage(srv, db.Path(), media.Path());
        StorageWatcher* sw = srv.Watcher();
        EXPECT_EQ(kInTransfer, Flags(sw, "clip"));
        ASSERT_TRUE(srv.WaitAdded("clip"));
        ASSERT_TRUE(srv.WaitAdded(cafe));
        EXPECT_EQ(cTime(0x00000700), Duration(sw, "clip"));
        EXPECT_EQ(id_InDisk, Flags(sw, "clip"));
        const std::string log = LogText(logs.Path()).substr(logBefore);
        EXPECT_EQ(0, CountOf(log, "analyzing clip ..."));
        EXPECT_EQ(0, CountOf(log, "analyzing " + cafe + " ..."));
        EXPECT_EQ(1, srv.AddedCount("clip"));
    }
}

TEST(MediaInspector, AGrowingFileIsProbedOnlyOnceTwoReadingsAgree)
{
    TempDir media, db;
    RecordingServer srv;
    std::atomic<bool> writing{true};
    std::atomic<bool> reportedWhileWriting{false};
    srv.onAdded = [&](const VdcpId& id) {
        if (id.first == "grow" && writing) reportedWhileWriting = true;
    };
    StartStorage(srv, db.Path(), media.Path());

    // Growth well inside each 5-second size check, for longer than one check.
    const std::string bytes = FileBytes(VideoClip());
    {
        std::ofstream out(media / "grow.mxf", std::ios::binary);
        const size_t steps = 40;
        for (size_t i = 0; i < steps; ++i) {
            size_t from = bytes.size() * i / steps, to = bytes.size() * (i + 1) / steps;
            out.write(bytes.data() + from, long(to - from));
            out.flush();
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
    }
    writing = false;
    EXPECT_EQ(kInTransfer, Flags(srv.Watcher(), "grow"));
    ASSERT_TRUE(srv.WaitAdded("grow"));
    EXPECT_FALSE(reportedWhileWriting);
    EXPECT_EQ(kOneSecond, Duration(srv.Watcher(), "grow"));
    // Written from scratch and closed: never reported as deleted.
    EXPECT_EQ(0, srv.DeletedCount("grow"));
}

TEST(MediaInspector, RenamesAndRewritesOfProcessedClips)
{
    TempDir media, db;
    CopyFileTo(VideoClip(), media / "a.mxf");
    CopyFileTo(VideoClip(), media / "r.mxf");
    RecordingServer srv;
    StartStorage(srv, db.Path(), media.Path());
    StorageWatcher* sw = srv.Watcher();
    ASSERT_TRUE(srv.WaitAdded("a"));
    ASSERT_TRUE(srv.WaitAdded("r"));

    // Renamed inside the folder: the old ID goes, the new one starts over.
    fs::rename(media / "a.mxf", media / "b.mxf");
    ASSERT_TRUE(srv.WaitDeleted("a"));
    EXPECT_EQ(-1, Flags(sw, "a"));
    EXPECT_TRUE(WaitFor([&] { return Flags(sw, "b") == kInTransfer; }));
    ASSERT_TRUE(srv.WaitAdded("b"));
    EXPECT_EQ(id_InDisk, Flags(sw, "b"));

    // Renamed to a name that is no clip: the ID goes.
    fs::rename(media / "b.mxf", media / "b.mxf.old");
    ASSERT_TRUE(srv.WaitDeleted("b"));
    EXPECT_EQ(-1, Flags(sw, "b"));

    // Rewritten in place: withdrawn, in transfer, then back.
    {
        const std::string bytes = FileBytes(VideoClip());
        std::ofstream out(media / "r.mxf", std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), long(bytes.size()));
    }
    ASSERT_TRUE(srv.WaitDeleted("r"));
    EXPECT_EQ(kInTransfer, Flags(sw, "r"));
    ASSERT_TRUE(srv.WaitAdded("r", 2));
    EXPECT_EQ(id_InDisk, Flags(sw, "r"));
    EXPECT_EQ(1, srv.DeletedCount("r"));
    EXPECT_EQ((std::set<std::string>{"r"}), Processed(sw));

    // A file written elsewhere and renamed over the clip replaces it the same way.
    CopyFileTo(VideoClip(), media / "incoming.part");
    fs::rename(media / "incoming.part", media / "r.mxf");
    ASSERT_TRUE(srv.WaitDeleted("r", 2));
    ASSERT_TRUE(srv.WaitAdded("r", 3));
    EXPECT_EQ(id_InDisk, Flags(sw, "r"));
}

TEST(MediaInspector, AFolderMissingAtStartIsPickedUpAndTheRescanCatchesSilentDeletions)
{
    TempDir base, db;
    const std::string media = base / "media";
    RecordingServer srv;
    EXPECT_FALSE(srv.SetupStorage(db.Path(), media, ".mxf"));
    srv.Watcher()->SetInspectorTimeout(1);
    EXPECT_EQ(0u, srv.QueryIdListSize());

    // No watch on a folder that did not exist: only the rescan sees it.
    fs::create_directory(media);
    CopyFileTo(VideoClip(), media + "/late.mxf");
    ASSERT_TRUE(srv.WaitAdded("late"));
    EXPECT_EQ(kOneSecond, Duration(srv.Watcher(), "late"));

    fs::remove(media + "/late.mxf");
    ASSERT_TRUE(srv.WaitDeleted("late"));
    EXPECT_EQ(0u, srv.QueryIdListSize());
}

TEST(MediaInspector, AnUnreadableDatabaseLeavesTheCatalogueWorkingFromMemory)
{
    TempDir media, db, logs;
    LogInto(logs.Path());
    const std::string junk(4096, 'j');
    std::ofstream(db / "Storage.db", std::ios::binary) << junk;
    CopyFileTo(VideoClip(), media / "clip.mxf");

    RecordingServer srv;
    StartStorage(srv, db.Path(), media.Path());
    ASSERT_TRUE(srv.WaitAdded("clip"));
    EXPECT_EQ(kOneSecond, Duration(srv.Watcher(), "clip"));
    EXPECT_NE(std::string::npos, LogText(logs.Path()).find("Cannot open or create MediaDB at: " + db.Path()));
    EXPECT_EQ(junk, FileBytes(db / "Storage.db"));
}
