// The inotify folder watch: which kernel events become which actions, in
// order, and the lifetime guarantees of removeWatch and the destructor.
#include "StorageTestKit.h"
#include "fixtures/TempDir.h"

#include "storage/FileWatcher.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <thread>

namespace {

struct Event {
    efsw::WatchID watch;
    std::string name;
    efsw::Action action;
    std::string oldName;
};

class Recorder : public efsw::FileWatchListener {
public:
    void handleFileAction(efsw::WatchID watchid, const std::string&, const std::string& filename,
                          efsw::Action action, std::string oldFilename) override
    {
        if (onEvent) onEvent(filename);
        std::lock_guard<std::mutex> lk(lock);
        events.push_back(Event{watchid, filename, action, oldFilename});
    }
    std::vector<Event> Events()
    {
        std::lock_guard<std::mutex> lk(lock);
        return events;
    }
    // Waits for an event on `name`; the watch delivers in order, so every
    // earlier event has been delivered too.
    bool WaitFor(const std::string& name)
    {
        return ::WaitFor([&] {
            for (const Event& e : Events())
                if (e.name == name) return true;
            return false;
        });
    }
    std::function<void(const std::string&)> onEvent;

private:
    std::mutex lock;
    std::vector<Event> events;
};

void Touch(const std::string& path, const std::string& text = "data")
{
    std::ofstream(path, std::ios::binary) << text;
}

std::vector<Event> For(const std::vector<Event>& all, const std::string& name)
{
    std::vector<Event> out;
    for (const Event& e : all)
        if (e.name == name || e.oldName == name) out.push_back(e);
    return out;
}

}  // namespace

TEST(FileWatcher, CreateWriteCloseAndDeleteReportAddModifiedDelete)
{
    TempDir dir;
    Recorder rec;
    efsw::FileWatcher fw;
    efsw::WatchID id = fw.addWatch(dir.Path(), &rec, false);
    ASSERT_GE(id, 0);
    fw.watch();

    {
        // Many writes, one close: one Modified.
        std::ofstream out(dir / "a.mxf", std::ios::binary);
        for (int i = 0; i < 50; ++i) out << std::string(1000, 'x') << std::flush;
    }
    std::remove((dir / "a.mxf").c_str());
    Touch(dir / "end");
    ASSERT_TRUE(rec.WaitFor("end"));

    std::vector<Event> a = For(rec.Events(), "a.mxf");
    ASSERT_EQ(3u, a.size());
    EXPECT_EQ(efsw::Actions::Add, a[0].action);
    EXPECT_EQ(efsw::Actions::Modified, a[1].action);
    EXPECT_EQ(efsw::Actions::Delete, a[2].action);
    for (const Event& e : a) EXPECT_EQ(id, e.watch);
}

TEST(FileWatcher, RenamesPairIntoMovedAndMovesAcrossTheFolderEdgeAreAddOrDelete)
{
    TempDir dir, other, outside;
    Touch(dir / "old.mxf");
    Touch(dir / "leaving.mxf");
    Touch(dir / "crossing.mxf");
    Touch(outside / "arriving.mxf");
    Recorder rec;
    efsw::FileWatcher fw;
    efsw::WatchID id = fw.addWatch(dir.Path(), &rec, false);
    efsw::WatchID otherId = fw.addWatch(other.Path(), &rec, false);
    ASSERT_GE(id, 0);
    ASSERT_GE(otherId, 0);
    ASSERT_NE(id, otherId);
    fw.watch();

    ASSERT_EQ(0, std::rename((dir / "old.mxf").c_str(), (dir / "new.mxf").c_str()));
    ASSERT_EQ(0, std::rename((dir / "leaving.mxf").c_str(), (outside / "leaving.mxf").c_str()));
    ASSERT_EQ(0, std::rename((outside / "arriving.mxf").c_str(), (dir / "arriving.mxf").c_str()));
    ASSERT_EQ(0, std::rename((dir / "crossing.mxf").c_str(), (other / "crossing.mxf").c_str()));
    Touch(dir / "end");
    ASSERT_TRUE(rec.WaitFor("end"));

    std::vector<Event> all = rec.Events();
    ASSERT_GE(all.size(), 6u);   // then the end marker's Modified
    struct Expected {
        efsw::WatchID watch;
        const char* name;
        efsw::Action action;
        const char* oldName;
    } expected[] = {
        {id, "new.mxf", efsw::Actions::Moved, "old.mxf"},
        {id, "leaving.mxf", efsw::Actions::Delete, ""},
        {id, "arriving.mxf", efsw::Actions::Add, ""},
        {id, "crossing.mxf", efsw::Actions::Delete, ""},
        {otherId, "crossing.mxf", efsw::Actions::Add, ""},
        {id, "end", efsw::Actions::Add, ""},
    };
    for (size_t i = 0; i < 6; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(expected[i].watch, all[i].watch);
        EXPECT_EQ(expected[i].name, all[i].name);
        EXPECT_EQ(expected[i].action, all[i].action);
        EXPECT_EQ(expected[i].oldName, all[i].oldName);
    }
}

TEST(FileWatcher, AddWatchRefusesWhatItCannotWatch)
{
    TempDir dir;
    Recorder rec;
    efsw::FileWatcher fw;
    EXPECT_EQ(efsw::Errors::FileNotFound, fw.addWatch(dir / "missing", &rec, false));
    EXPECT_EQ(efsw::Errors::FileNotFound, fw.addWatch(dir.Write("plain", "x"), &rec, false));
    EXPECT_EQ(efsw::Errors::FileNotFound, fw.addWatch("", &rec, false));
    EXPECT_EQ(efsw::Errors::Unspecified, fw.addWatch(dir.Path(), &rec, true));
    ASSERT_GE(fw.addWatch(dir.Path(), &rec, false), 0);
    EXPECT_EQ(efsw::Errors::FileRepeated, fw.addWatch(dir.Path() + "/.", &rec, false));
    EXPECT_EQ(std::vector<std::string>{dir.Path()}, fw.directories());
}

TEST(FileWatcher, RemoveWatchWaitsForTheCallbackInProgressAndEndsTheEvents)
{
    TempDir dir, sentinel;
    Recorder rec;
    std::atomic<bool> entered{false}, release{false};
    rec.onEvent = [&](const std::string& name) {
        if (name != "slow") return;
        entered = true;
        while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    };
    efsw::FileWatcher fw;
    efsw::WatchID id = fw.addWatch(dir.Path(), &rec, false);
    ASSERT_GE(fw.addWatch(sentinel.Path(), &rec, false), 0);
    fw.watch();

    Touch(dir / "slow");
    ASSERT_TRUE(WaitFor([&] { return entered.load(); }));
    std::atomic<bool> removed{false};
    std::thread remover([&] {
        fw.removeWatch(id);
        removed = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(removed) << "removeWatch returned while a callback of its watch was running";
    release = true;
    remover.join();
    EXPECT_TRUE(removed);

    // Events are delivered in order: once the sentinel's arrives, anything of
    // the removed watch would have arrived before it.
    Touch(dir / "after");
    Touch(sentinel / "mark");
    ASSERT_TRUE(rec.WaitFor("mark"));
    EXPECT_TRUE(For(rec.Events(), "after").empty());
    fw.removeWatch(id);   // unknown by now: ignored
}

TEST(FileWatcher, DestructorEndsTheEventThreadWhetherIdleOrNeverStarted)
{
    TempDir dir;
    Recorder rec;
    {
        efsw::FileWatcher idle;
        ASSERT_GE(idle.addWatch(dir.Path(), &rec, false), 0);
        idle.watch();
        idle.watch();   // a second start does nothing
        Touch(dir / "one");
        ASSERT_TRUE(rec.WaitFor("one"));
    }
    {
        efsw::FileWatcher neverStarted;
        ASSERT_GE(neverStarted.addWatch(dir.Path(), &rec, false), 0);
    }
    {
        // Destroyed with an unpaired move still held back for pairing.
        efsw::FileWatcher pending;
        ASSERT_GE(pending.addWatch(dir.Path(), &rec, false), 0);
        pending.watch();
        TempDir outside;
        ASSERT_EQ(0, std::rename((dir / "one").c_str(), (outside / "one").c_str()));
    }
    SUCCEED();
}
