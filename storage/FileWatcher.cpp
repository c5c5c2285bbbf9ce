#include "storage/FileWatcher.h"

#include "shell/Log.h"

#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <exception>

namespace efsw {

namespace {

constexpr uint32_t kWatchMask = IN_CREATE | IN_DELETE | IN_CLOSE_WRITE | IN_MOVED_FROM | IN_MOVED_TO |
                                IN_ONLYDIR | IN_EXCL_UNLINK;

// The kernel queues both halves of a rename in one go, so a move whose second
// half is not in the queue by then came from or went to an unwatched place.
constexpr std::chrono::milliseconds kMovePairWindow{50};

}  // namespace

FileWatcher::FileWatcher()
{
    inotifyFd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (inotifyFd < 0)
        MsgToLog(L_ERROR, "Folder watch unavailable: inotify_init1 failed: %s\n", strerror(errno));
    wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeFd < 0) MsgToLog(L_ERROR, "Folder watch unavailable: eventfd failed: %s\n", strerror(errno));
}

FileWatcher::~FileWatcher()
{
    stopping = true;
    if (wakeFd >= 0) {
        uint64_t one = 1;
        ssize_t n = write(wakeFd, &one, sizeof(one));
        (void)n;   // an eventfd counter cannot overflow from one write
    }
    if (eventThread.joinable()) eventThread.join();
    if (inotifyFd >= 0) close(inotifyFd);
    if (wakeFd >= 0) close(wakeFd);
}

WatchID FileWatcher::addWatch(const std::string& directory, FileWatchListener* watcher)
{
    return addWatch(directory, watcher, false);
}

WatchID FileWatcher::addWatch(const std::string& directory, FileWatchListener* watcher, bool recursive)
{
    if (recursive || !watcher || inotifyFd < 0) return Errors::Unspecified;
    struct stat st;
    if (directory.empty() || stat(directory.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return Errors::FileNotFound;
    if (access(directory.c_str(), R_OK | X_OK) != 0) return Errors::FileNotReadable;

    std::lock_guard<std::mutex> lk(watchLock);
    int wd = inotify_add_watch(inotifyFd, directory.c_str(), kWatchMask);
    if (wd < 0) {
        switch (errno) {
        case ENOENT:
        case ENOTDIR: return Errors::FileNotFound;
        case EACCES: return Errors::FileNotReadable;
        default: return Errors::Unspecified;
        }
    }
    // inotify hands out one descriptor per folder; a second watch on the same
    // folder (under any spelling of its path) gets the existing one back.
    for (const auto& w : watches)
        if (w.second.wd == wd) return Errors::FileRepeated;
    WatchID id = nextId++;
    watches[id] = Watch{id, wd, directory, watcher};
    return id;
}

void FileWatcher::removeWatch(const std::string& directory)
{
    WatchID id = -1;
    {
        std::lock_guard<std::mutex> lk(watchLock);
        for (const auto& w : watches)
            if (w.second.dir == directory) id = w.first;
    }
    if (id >= 0) removeWatch(id);
}

void FileWatcher::removeWatch(WatchID watchid)
{
    // Waits for a callback in progress; from inside a callback the recursive
    // lock lets a listener remove its own watch.
    std::lock_guard<std::recursive_mutex> dl(dispatchLock);
    std::lock_guard<std::mutex> lk(watchLock);
    auto it = watches.find(watchid);
    if (it == watches.end()) return;
    inotify_rm_watch(inotifyFd, it->second.wd);
    watches.erase(it);
}

std::vector<std::string> FileWatcher::directories()
{
    std::lock_guard<std::mutex> lk(watchLock);
    std::vector<std::string> list;
    for (const auto& w : watches) list.push_back(w.second.dir);
    return list;
}

void FileWatcher::watch()
{
    if (inotifyFd < 0 || wakeFd < 0) return;
    std::call_once(started, [this] { eventThread = std::thread(&FileWatcher::EventThread, this); });
}

void FileWatcher::EventThread()
{
    int timeout = -1;
    while (!stopping) {
        pollfd fds[2] = {{inotifyFd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
        int r = poll(fds, 2, timeout);
        if (stopping) break;
        if (r < 0 && errno != EINTR) {
            MsgToLog(L_ERROR, "Folder watch: poll failed: %s\n", strerror(errno));
            break;
        }
        try {
            ReadEvents();
            timeout = DeliverEvents();
        } catch (const std::exception& e) {
            // The event that failed is gone; the ones queued behind it go on at once.
            MsgToLog(L_DEBUG, "\n!!!!! C++ Exception in FileWatcher::EventThread, what='%s' !!!!!\n\n", e.what());
            timeout = 0;
        } catch (...) {
            MsgToLog(L_DEBUG, "\n!!!!! Unknown exception in FileWatcher::EventThread !!!!!\n\n");
            timeout = 0;
        }
    }
}

void FileWatcher::ReadEvents()
{
    alignas(inotify_event) char buf[64 * 1024];
    for (;;) {
        ssize_t n = read(inotifyFd, buf, sizeof(buf));
        if (n <= 0) return;   // EAGAIN: drained
        auto now = std::chrono::steady_clock::now();
        for (char* p = buf; p < buf + n;) {
            const inotify_event* ev = reinterpret_cast<const inotify_event*>(p);
            p += sizeof(inotify_event) + ev->len;
            if (ev->mask & IN_Q_OVERFLOW) {
                MsgToLog(L_WARN, "Folder watch: kernel event queue overflowed, events were lost.\n");
                continue;
            }
            queue.push_back(RawEvent{ev->wd, ev->mask, ev->cookie, ev->len ? std::string(ev->name) : std::string(),
                                     now});
        }
    }
}

int FileWatcher::DeliverEvents()
{
    while (!queue.empty() && !stopping) {
        RawEvent ev = queue.front();
        if (ev.mask & IN_MOVED_FROM) {
            auto to = queue.end();
            for (auto it = queue.begin() + 1; it != queue.end(); ++it)
                if ((it->mask & IN_MOVED_TO) && it->cookie == ev.cookie) {
                    to = it;
                    break;
                }
            if (to != queue.end()) {
                RawEvent dst = *to;
                queue.erase(to);
                queue.pop_front();
                if (dst.wd == ev.wd) {
                    Deliver(ev.wd, Actions::Moved, dst.name, ev.name);
                } else {
                    Deliver(ev.wd, Actions::Delete, ev.name, "");
                    Deliver(dst.wd, Actions::Add, dst.name, "");
                }
                continue;
            }
            auto age = std::chrono::steady_clock::now() - ev.seen;
            if (age < kMovePairWindow) {
                auto left = std::chrono::duration_cast<std::chrono::milliseconds>(kMovePairWindow - age).count();
                return int(left) + 1;
            }
            queue.pop_front();
            Deliver(ev.wd, Actions::Delete, ev.name, "");
            continue;
        }
        queue.pop_front();
        if (ev.mask & IN_IGNORED)
            DropWatch(ev.wd);   // the kernel ended the watch: its folder was deleted or unmounted
        else if (ev.mask & IN_CREATE)
            Deliver(ev.wd, Actions::Add, ev.name, "");
        else if (ev.mask & IN_DELETE)
            Deliver(ev.wd, Actions::Delete, ev.name, "");
        else if (ev.mask & IN_CLOSE_WRITE)
            Deliver(ev.wd, Actions::Modified, ev.name, "");
        else if (ev.mask & IN_MOVED_TO)
            Deliver(ev.wd, Actions::Add, ev.name, "");
    }
    return -1;
}

void FileWatcher::Deliver(int wd, Action action, const std::string& name, const std::string& oldName)
{
    std::lock_guard<std::recursive_mutex> dl(dispatchLock);
    Watch w;
    {
        std::lock_guard<std::mutex> lk(watchLock);
        auto it = watches.begin();
        while (it != watches.end() && it->second.wd != wd) ++it;
        if (it == watches.end()) return;   // removed meanwhile
        w = it->second;
    }
    w.listener->handleFileAction(w.id, w.dir, name, action, oldName);
}

void FileWatcher::DropWatch(int wd)
{
    std::lock_guard<std::mutex> lk(watchLock);
    for (auto it = watches.begin(); it != watches.end(); ++it)
        if (it->second.wd == wd) {
            MsgToLog(L_WARN, "Folder watch on %s ended: the folder was removed or unmounted.\n",
                     it->second.dir.c_str());
            watches.erase(it);
            return;
        }
}

}  // namespace efsw
