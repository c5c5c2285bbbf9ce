// Folder watch over Linux inotify, offering the part of the efsw library's
// FileWatcher interface that the storage watcher uses: non-recursive watches
// on folders, delivered to a FileWatchListener on one event thread.
//
// How kernel events become actions:
//   IN_CREATE                      -> Add
//   IN_DELETE                      -> Delete
//   IN_CLOSE_WRITE                 -> Modified (once per writer, when it closes
//                                     the file; not for every write)
//   IN_MOVED_FROM + IN_MOVED_TO    -> Moved, when both carry the same cookie and
//                                     the same watch; across two watches: Delete
//                                     in the one and Add in the other
//   IN_MOVED_FROM alone            -> Delete (moved out of the folder)
//   IN_MOVED_TO alone              -> Add (moved in from elsewhere)
// A file created and then written therefore reports Add, then Modified when
// the writer closes it. Listeners that care (the storage watcher does) tell a
// fresh file from a rewritten one by their own state.
//
// Thread safety: every public method may be called from any thread, also from
// inside a listener callback. When removeWatch returns, no callback of that
// watch is running or will run, so a listener may be destroyed right after.
// Consequently removeWatch must not be called while holding a lock that the
// listener's callback takes.
#pragma once

#include "storage/FileWatchListener.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace efsw {

class FileWatcher {
public:
    FileWatcher();
    // Stops and joins the event thread (after any callback in progress) and
    // closes the inotify instance.
    ~FileWatcher();
    FileWatcher(const FileWatcher&) = delete;
    FileWatcher& operator=(const FileWatcher&) = delete;

    // Watches `directory` (non-recursive). Returns the new watch's ID, or a
    // negative Errors value. Recursive watches are not offered: they give
    // Errors::Unspecified.
    WatchID addWatch(const std::string& directory, FileWatchListener* watcher);
    WatchID addWatch(const std::string& directory, FileWatchListener* watcher, bool recursive);
    // Unknown IDs and folders are ignored.
    void removeWatch(const std::string& directory);
    void removeWatch(WatchID watchid);
    // Starts delivering events on the watcher's own thread; later calls do nothing.
    void watch();
    // The folders currently watched.
    std::vector<std::string> directories();

private:
    struct Watch {
        WatchID id;
        int wd;
        std::string dir;
        FileWatchListener* listener;
    };
    struct RawEvent {
        int wd;
        uint32_t mask;
        uint32_t cookie;
        std::string name;
        std::chrono::steady_clock::time_point seen;
    };

    void EventThread();
    void ReadEvents();
    // Delivers queued events in order; an unpaired IN_MOVED_FROM younger than
    // the pairing window holds the queue back. Returns the poll timeout in ms
    // (-1: nothing held back).
    int DeliverEvents();
    void Deliver(int wd, Action action, const std::string& name, const std::string& oldName);
    void DropWatch(int wd);

    int inotifyFd = -1;
    int wakeFd = -1;   // eventfd: wakes the event thread to stop
    std::atomic<bool> stopping{false};
    std::thread eventThread;   // owned: started by watch(), joined by the destructor
    std::once_flag started;

    // Lock order: dispatchLock, then watchLock.
    std::recursive_mutex dispatchLock;   // held around each callback; removeWatch takes it to wait one out
    std::mutex watchLock;                // guards watches and nextId
    std::map<WatchID, Watch> watches;
    WatchID nextId = 1;

    std::deque<RawEvent> queue;   // touched only by the event thread
};

}  // namespace efsw
