// StorageWatcher: the server's catalogue of clips. It scans the media folder,
// keeps the clip IDs and what is known of each in memory, records them in the
// media database ("Storage.db"), follows the folder through a folder watch,
// and runs the media inspector thread that settles and probes new files.
//
// A clip is a regular file directly inside the media folder whose name ends
// with the storage extension (case-sensitive) and is longer than it; its ID is
// the name without the extension, at most 79 characters.
//
// Code lives in three files: StorageWatcher.cpp (construction, configuration,
// catalogue, queries, folder events), StorageDatabase.cpp (the media
// database), MediaInspector.cpp (the inspector thread).
//
// Threads that enter: the thread that constructs or reconfigures the watcher,
// the folder watch's event thread (handleFileAction), the inspector thread,
// and any command thread through the queries. All public methods are safe to
// call from any thread.
//
// Locks, in the order in which they are taken:
//   storageLock -> pauseLock -> logMtx
// The folder watch's own dispatch lock comes before storageLock: a callback
// runs under it and takes storageLock, so fWatch.removeWatch is never called
// with storageLock held. Reports to the server (which take the server's port
// lock and the ports' ID-list locks) are made only without storageLock held.
#pragma once

#include "storage/FileWatchListener.h"
#include "storage/FileWatcher.h"
#include "shell/Utility.h"
#include "vdcp/VDCP_Definitions.h"

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct sqlite3;
class VDCPServer;

class StorageWatcher : public efsw::FileWatchListener {
public:
    // The server's constructor: scans `mediaPath`, records it in the database
    // under `dbPath`, installs the folder watch and starts the inspector.
    StorageWatcher(VDCPServer* vdcpSrv, const std::string& dbPath, const std::string& mediaPath,
                   const std::string& ext);
    // An empty catalogue that deletes rows of removed IDs; scans nothing and
    // starts nothing.
    explicit StorageWatcher(VDCPServer* vdcpSrv);
    ~StorageWatcher() override;
    StorageWatcher(const StorageWatcher&) = delete;
    StorageWatcher& operator=(const StorageWatcher&) = delete;

    void handleFileAction(efsw::WatchID watchid, const std::string& dir, const std::string& filename,
                          efsw::Action action, std::string oldFilename = "") override;

    // ---- configuration ----
    bool SetDatabasePath(const std::string& path);
    bool SetNewStorage(const std::string& mediaPath, const std::string& ext);
    bool IsValid() const { return isStorageVaild; }
    // Seconds between inspector passes (5 unless changed; at least 1).
    void SetInspectorTimeout(int seconds);

    // ---- queries ----
    size_t GetStorageContentSize();
    void GetStorageContent(std::vector<VdcpId>& list);
    // The IDs that are settled, probed with a duration, and present.
    void GetProcessedContent(std::vector<VdcpId>& list);
    // Writes the ID status word (low byte first) and returns 2; 0 for an unknown ID.
    int GetIdFlags(const std::string& id, BYTE* flags);
    // Duration in the VDCP byte order (frames, seconds, minutes, hours).
    bool GetIdSizeBCD(const std::string& id, BYTE* bcd);
    bool GetIdSize(const std::string& id, cTime& tc);
    // The file path of `id` (also for an unknown ID); true when the file exists.
    bool GetIdPath(const std::string& id, std::string& path);

    // ---- catalogue ----
    bool AddToStorage(VdcpId& id);
    bool RemoveFromStorage(VdcpId& id);
    bool ReadStorage();
    void CopyStorage(std::vector<VdcpId>& list);
    bool FindIdIndexByName(const std::string& name, size_t& index);
    bool FindIdIndexByName(const VdcpId& id, size_t& index);
    // True when `name` ends with the storage extension and is longer than it;
    // the extension is then cut off `name`.
    bool CheckRemoveExt(std::string& name);

    // ---- media database ----
    bool OpenDatabase();
    bool UpdateDatabase();
    bool CleanupDatabase();

private:
    // Media inspector (MediaInspector.cpp).
    static void MediaInspector(StorageWatcher* sw);
    void MediaInspectorLocal();
    void GetTransferInProgress(std::vector<std::string>& list);
    void GetNotUpdated(std::vector<VdcpId>& list);
    void LookUpStoredFacts(std::vector<VdcpId>& inspectorList);
    void ProbeFiles(std::vector<VdcpId>& inspectorList, const std::string& folder, const std::string& extension);
    void StartInspector();
    void StopInspector();
    // Sleeps up to `seconds` (negative: the pass period); false at once when
    // the inspector is told to stop.
    bool InspectorPause(int seconds);
    // Between database retries: false when the waiting thread should give up
    // (the watcher is closing, or the inspector is told to stop).
    bool RetryPause(int seconds);
    bool RetryAbandoned() const;
    void ReportAdded(VdcpId& id);

    // The ID rules: `name` is a clip file name; `id` receives its ID.
    bool NameToId(const std::string& name, std::string& id);
    // A catalogued clip file was written again: it goes back into transfer.
    void MarkRewritten(const std::string& id, int64_t modTime);
    // A clip file appeared or was written: a catalogued ID goes back into
    // transfer; an unknown one is catalogued when `addIfNew`.
    void FileArrived(const std::string& id, const std::string& file, bool addIfNew);

    bool isStorageVaild = false;   // written by the configuring thread only
    bool setUnavailable = false;
    std::atomic<bool> inspectorInProgress{false};
    std::thread* mInspector = nullptr;   // owned; started and joined by the configuring thread
    std::atomic<int> inspectorTimeout{5};

    // Guards fileNames, fileData, mediaPath, ext, dbPath, the opening and
    // closing of db, and the database work of the bulk and per-ID writes.
    // Recursive: a scan updates the database and a reconfiguration scans, on
    // the lock already held.
    std::recursive_mutex storageLock;
    sqlite3* db = nullptr;
    std::string dbPath;
    std::string mediaPath;
    std::string ext;
    std::vector<VdcpId> fileNames;
    std::vector<VdcpIdExt> fileData;

    // Wakes the inspector's sleeps and the database retry pauses on a stop;
    // guards nothing else.
    std::mutex pauseLock;
    std::condition_variable pauseWake;
    std::atomic<bool> closing{false};   // the destructor has begun

    efsw::FileWatcher fWatch;
    std::atomic<efsw::WatchID> watchId{efsw::Errors::Unspecified};
    VDCPServer* vdcpSrv = nullptr;
};
