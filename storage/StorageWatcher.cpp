// StorageWatcher: construction and configuration, the ID catalogue, the
// queries and the folder events.
#include "storage/StorageWatcher.h"

#include "server/VDCPServer.h"
#include "shell/Log.h"
#include "storage/SqliteRetry.h"
#include "storage/StorageStatements.h"

#include <boost/filesystem.hpp>
#include <sqlite3.h>

#include <exception>

namespace fs = boost::filesystem;

namespace {

// IDs longer than this are not clips.
constexpr size_t kMaxIdLength = 79;

// Last-write time of a regular file; false when it is not one or has gone.
bool ClipFileTime(const fs::path& file, int64_t& modTime)
{
    boost::system::error_code ec;
    if (!fs::is_regular_file(file, ec) || ec) return false;
    std::time_t t = fs::last_write_time(file, ec);
    if (ec) return false;
    modTime = int64_t(t);
    return true;
}

}  // namespace

StorageWatcher::StorageWatcher(VDCPServer* srv, const std::string& databasePath, const std::string& media,
                               const std::string& extension)
    : setUnavailable(true), dbPath(databasePath), mediaPath(media), ext(extension), vdcpSrv(srv)
{
    MsgToLog(L_DEBUG, "Storage Watcher created.\n");
    isStorageVaild = ReadStorage();
    watchId = fWatch.addWatch(media, this, false);
    MsgToLog(L_DEBUG, "FIRST directory watch installed with watchId=%d isStorageVaild=%d.\n\n", int(watchId.load()),
             int(isStorageVaild));
    fWatch.watch();
    StartInspector();
}

StorageWatcher::StorageWatcher(VDCPServer* srv) : setUnavailable(false), watchId(0), vdcpSrv(srv)
{
    MsgToLog(L_DEBUG, "Storage Watcher created.\n");
}

StorageWatcher::~StorageWatcher()
{
    // Threads waiting for a database held by another process give up now.
    closing = true;
    {
        std::lock_guard<std::mutex> lk(pauseLock);
    }
    pauseWake.notify_all();

    // Returns only once no folder event is being handled.
    efsw::WatchID w = watchId.exchange(efsw::Errors::Unspecified);
    if (w >= 0) fWatch.removeWatch(w);
    if (mInspector) {
        MsgToLog(L_DEBUG, "Stopping Media Inspector...\n");
        StopInspector();
    }
    {
        std::lock_guard<std::recursive_mutex> lk(storageLock);
        if (db) sqlite3_close(db);
        db = nullptr;
    }
    MsgToLog(L_DEBUG, "Storage Watcher destroyed.\n");
}

// ---------------------------------------------------------------------------
// Configuration

void StorageWatcher::StartInspector()
{
    inspectorInProgress = true;
    mInspector = new std::thread(MediaInspector, this);
}

void StorageWatcher::StopInspector()
{
    inspectorInProgress = false;
    {
        std::lock_guard<std::mutex> lk(pauseLock);
    }
    pauseWake.notify_all();
    mInspector->join();
    delete mInspector;
    mInspector = nullptr;
}

void StorageWatcher::SetInspectorTimeout(int seconds)
{
    inspectorTimeout = seconds < 1 ? 1 : seconds;
    {
        std::lock_guard<std::mutex> lk(pauseLock);
    }
    pauseWake.notify_all();
}

bool StorageWatcher::SetDatabasePath(const std::string& path)
{
    boost::system::error_code ec;
    if (path.empty() || !fs::exists(path, ec)) return false;
    // The inspector takes storageLock during its passes: stop it first.
    if (mInspector) {
        MsgToLog(L_DEBUG, "Stopping Media Inspector...\n");
        StopInspector();
    }
    {
        std::lock_guard<std::recursive_mutex> lk(storageLock);
        dbPath = path;
        if (db) sqlite3_close_v2(db);
        db = nullptr;
        isStorageVaild = ReadStorage();
    }
    StartInspector();
    return isStorageVaild;
}

bool StorageWatcher::SetNewStorage(const std::string& newMediaPath, const std::string& newExt)
{
    MsgToLog(L_DEBUG, "Setting new Storage location: %s for files %s.\n", newMediaPath.c_str(), newExt.c_str());
    if (newMediaPath.empty()) return false;

    // The old watch goes before storageLock is taken: removing it waits for an
    // event in progress, and the event's handler takes storageLock.
    efsw::WatchID old = watchId.exchange(efsw::Errors::Unspecified);
    if (old >= 0) {
        fWatch.removeWatch(old);
        MsgToLog(L_DEBUG, "Previous folder watch removed.\n");
    }
    std::vector<VdcpId> oldList;
    bool scanned;
    {
        std::lock_guard<std::recursive_mutex> lk(storageLock);
        mediaPath = newMediaPath;
        ext = newExt;
        CopyStorage(oldList);
        scanned = ReadStorage();
    }

    // The scan emptied the catalogue even when the new folder cannot be read,
    // so the old IDs are gone either way.
    if (vdcpSrv) vdcpSrv->ReportIdDeletedList(oldList);
    bool result = false;
    if (scanned) {
        std::vector<VdcpId> newList;
        GetStorageContent(newList);
        if (vdcpSrv) vdcpSrv->ReportIdAddedList(newList);
        efsw::WatchID w = fWatch.addWatch(newMediaPath, this, false);
        watchId = w;
        result = w >= 0;
        if (!result)
            MsgToLog(L_ERROR, "Error installing new watch for directory: %s, error=%d.\n\n", newMediaPath.c_str(),
                     int(w));
        if (result)
            MsgToLog(L_DEBUG, "New directory watch installed with ID=%d.\n", int(w));
        else
            MsgToLog(L_DEBUG, "Error installing new watch, err=%d.\n", int(w));
    }
    isStorageVaild = result;
    return result;
}

// ---------------------------------------------------------------------------
// Catalogue

bool StorageWatcher::CheckRemoveExt(std::string& name)
{
    std::lock_guard<std::recursive_mutex> lk(storageLock);
    if (name.size() <= ext.size() || name.compare(name.size() - ext.size(), ext.size(), ext) != 0) return false;
    name.erase(name.size() - ext.size());
    return true;
}

bool StorageWatcher::NameToId(const std::string& name, std::string& id)
{
    std::string cut = name;
    if (!CheckRemoveExt(cut) || cut.size() > kMaxIdLength) return false;
    id = cut;
    return true;
}

bool StorageWatcher::FindIdIndexByName(const std::string& name, size_t& index)
{
    std::lock_guard<std::recursive_mutex> lk(storageLock);
    for (size_t i = 0; i < fileNames.size(); ++i)
        if (fileNames[i].first == name) {
            index = i;
            return true;
        }
    return false;
}

bool StorageWatcher::FindIdIndexByName(const VdcpId& id, size_t& index)
{
    return FindIdIndexByName(id.first, index);
}

void StorageWatcher::CopyStorage(std::vector<VdcpId>& list)
{
    std::lock_guard<std::recursive_mutex> lk(storageLock);
    list = fileNames;
}

bool StorageWatcher::ReadStorage()
{
    std::lock_guard<std::recursive_mutex> lk(storageLock);
    if (mediaPath.empty()) {
        MsgToLog(L_ERROR, "Media Directory path is empty.\n");
        return false;
    }
    MsgToLog(L_DEBUG, "Reading directory: %s\n", mediaPath.c_str());
    fileNames.clear();
    fileData.clear();

    boost::system::error_code ec;
    fs::directory_iterator it;
    if (fs::is_directory(mediaPath, ec)) it = fs::directory_iterator(mediaPath, ec);
    else ec = boost::system::errc::make_error_code(boost::system::errc::not_a_directory);
    if (ec) {
        MsgToLog(L_ERROR, "Cannot read Media Directory contents at: %s\n", mediaPath.c_str());
        return false;
    }
    for (; it != fs::directory_iterator(); it.increment(ec)) {
        if (ec) break;
        std::string id;
        int64_t modTime;
        // Entries that vanish or are not regular files (folders, FIFOs,
        // broken links) are not clips.
        if (!NameToId(it->path().filename().string(), id) || !ClipFileTime(it->path(), modTime)) continue;
        fileNames.emplace_back(id, modTime);
        fileData.emplace_back();
    }
    if (ec) MsgToLog(L_WARN, "Reading directory %s stopped early: %s\n", mediaPath.c_str(), ec.message().c_str());
    UpdateDatabase();
    return true;
}

bool StorageWatcher::AddToStorage(VdcpId& id)
{
    std::lock_guard<std::recursive_mutex> lk(storageLock);
    size_t index;
    if (FindIdIndexByName(id, index)) {
        MsgToLog(L_ERROR, "ID: %s is already in MediaDB. Could not add.\n", id.first.c_str());
        return false;
    }
    fileNames.push_back(id);
    fileData.emplace_back();
    if (OpenDatabase()) {
        sqlite3_stmt* stmt = nullptr;
        const auto pause = [this](int s) { return RetryPause(s); };
        int rc = SqlitePrepareWithTimeout(db, storageInsertEmpty, &stmt, 1, pause);
        if (rc == SQLITE_OK) {
            sqlite3_bind_text(stmt, 1, id.first.data(), int(id.first.size()), SQLITE_TRANSIENT);
            sqlite3_bind_int64(stmt, 2, id.second);
            rc = SqliteStepWithTimeout(stmt, 1, pause);
        }
        if (rc != SQLITE_DONE)
            MsgToLog(L_WARN, "ID: %s added only to memory. Cannot add to MediaDB because of error: %s\n",
                     id.first.c_str(), sqlite3_errmsg(db));
        sqlite3_finalize(stmt);
    }
    MsgToLog(L_DEBUG, "ID: %s added to MediaDB.\n", id.first.c_str());
    return true;
}

bool StorageWatcher::RemoveFromStorage(VdcpId& id)
{
    VdcpId gone;
    {
        std::lock_guard<std::recursive_mutex> lk(storageLock);
        size_t index;
        if (!FindIdIndexByName(id, index)) {
            MsgToLog(L_ERROR, "ID: %s is not in MediaDB. Could not remove.\n", id.first.c_str());
            return false;
        }
        gone = fileNames[index];
        fileNames.erase(fileNames.begin() + long(index));
        fileData.erase(fileData.begin() + long(index));
        if (OpenDatabase()) {
            sqlite3_stmt* stmt = nullptr;
            const auto pause = [this](int s) { return RetryPause(s); };
            int rc = SqlitePrepareWithTimeout(db, setUnavailable ? storageSetUnavaliable : storageRemove, &stmt, 1,
                                              pause);
            if (rc == SQLITE_OK) {
                sqlite3_bind_text(stmt, 1, gone.first.data(), int(gone.first.size()), SQLITE_TRANSIENT);
                rc = SqliteStepWithTimeout(stmt, 1, pause);
            }
            if (rc != SQLITE_DONE)
                MsgToLog(L_WARN, "ID: %s removed only from memory. Cannot remove from MediaDB because of error: %s\n",
                         gone.first.c_str(), sqlite3_errmsg(db));
            sqlite3_finalize(stmt);
        }
    }
    if (vdcpSrv) vdcpSrv->ReportIdDeleted(gone);
    MsgToLog(L_DEBUG, "ID: %s removed from MediaDB.\n", gone.first.c_str());
    return true;
}

void StorageWatcher::MarkRewritten(const std::string& id, int64_t modTime)
{
    bool announced = false;
    VdcpId gone;
    {
        std::lock_guard<std::recursive_mutex> lk(storageLock);
        size_t i;
        if (!FindIdIndexByName(id, i)) return;
        fileNames[i].second = modTime;
        // Only an ID the clients were told about is withdrawn; a file still
        // arriving (its writer closing it after the create) just stays in transfer.
        announced = fileData[i].transferInProgress == 0;
        fileData[i].transferInProgress = 1;
        gone = fileNames[i];
    }
    if (announced && vdcpSrv) vdcpSrv->ReportIdDeleted(gone);
}

void StorageWatcher::FileArrived(const std::string& id, const std::string& file, bool addIfNew)
{
    int64_t modTime = 0;
    if (!ClipFileTime(file, modTime)) {
        // Gone again, or not a file: the inspector's rescan settles it.
        MsgToLog(L_DEBUG, "Storage Watcher skips %s: not a readable clip file.\n", file.c_str());
        return;
    }
    size_t index;
    if (FindIdIndexByName(id, index)) {
        MarkRewritten(id, modTime);
    } else if (addIfNew) {
        VdcpId entry(id, modTime);
        AddToStorage(entry);
    }
}

// ---------------------------------------------------------------------------
// Folder events (the folder watch's thread)

void StorageWatcher::handleFileAction(efsw::WatchID watchid, const std::string& dir, const std::string& filename,
                                      efsw::Action action, std::string oldFilename)
{
    try {
        MsgToLog(L_DEBUG, "Storage Watcher CALLBACK id=%d action=%d \n\n", int(watchid), int(action));
        if (watchid != watchId) return;
        std::string id;
        const bool isClipName = NameToId(filename, id);
        const fs::path file = fs::path(dir) / filename;

        switch (action) {
        case efsw::Actions::Add:
        case efsw::Actions::Modified: {
            if (isClipName) FileArrived(id, file.string(), action == efsw::Actions::Add);
            return;
        }
        case efsw::Actions::Delete: {
            if (!isClipName) return;
            VdcpId entry(id, 0);
            RemoveFromStorage(entry);
            return;
        }
        case efsw::Actions::Moved: {
            // Only a clip name can name a catalogued ID: any other old name
            // (a temporary file being renamed into place) removes nothing.
            std::string oldId;
            if (NameToId(oldFilename, oldId)) {
                VdcpId entry(oldId, 0);
                RemoveFromStorage(entry);
            }
            // Renamed over an existing clip: its content is new.
            if (isClipName) FileArrived(id, file.string(), true);
            return;
        }
        default: return;
        }
    } catch (const std::exception& e) {
        MsgToLog(L_DEBUG, "\n!!!!! C++ Exception in StorageWatcher::handleFileAction, what='%s' !!!!!\n\n", e.what());
    } catch (...) {
        MsgToLog(L_DEBUG, "\n!!!!! Unknown exception in StorageWatcher::handleFileAction !!!!!\n\n");
    }
}

// ---------------------------------------------------------------------------
// Queries

size_t StorageWatcher::GetStorageContentSize()
{
    std::lock_guard<std::recursive_mutex> lk(storageLock);
    return fileNames.size();
}

void StorageWatcher::GetStorageContent(std::vector<VdcpId>& list)
{
    CopyStorage(list);
}

void StorageWatcher::GetProcessedContent(std::vector<VdcpId>& list)
{
    list.clear();
    std::lock_guard<std::recursive_mutex> lk(storageLock);
    for (size_t i = 0; i < fileNames.size(); ++i) {
        const VdcpIdExt& d = fileData[i];
        if (d.transferInProgress == 0 && d.duration != 0 && d.available != 0) list.push_back(fileNames[i]);
    }
}

int StorageWatcher::GetIdFlags(const std::string& id, BYTE* flags)
{
    std::lock_guard<std::recursive_mutex> lk(storageLock);
    size_t i;
    if (!FindIdIndexByName(id, i)) return 0;
    const VdcpIdExt& d = fileData[i];
    uint16_t status = 0;
    if (d.protect != 0) status |= id_DeleteProtect;
    if (d.available != 0) status |= id_InDisk;
    if (d.transferInProgress != 0)
        status |= id_TransferInProgress | id_NotReadyToPlay | id_NotReadyToTransfer | id_NotReadyToArchive;
    if (d.duration == 0) status |= id_NotReadyToPlay;
    flags[0] = BYTE(status & 0xFF);
    flags[1] = BYTE(status >> 8);
    return 2;
}

bool StorageWatcher::GetIdSizeBCD(const std::string& id, BYTE* bcd)
{
    cTime tc;
    if (!GetIdSize(id, tc)) return false;
    for (int b = 0; b < 4; ++b) bcd[b] = BYTE((tc >> (8 * b)) & 0xFF);
    return true;
}

bool StorageWatcher::GetIdSize(const std::string& id, cTime& tc)
{
    std::lock_guard<std::recursive_mutex> lk(storageLock);
    size_t i;
    if (!FindIdIndexByName(id, i) || fileData[i].duration == 0) return false;
    tc = fileData[i].duration;
    return true;
}

bool StorageWatcher::GetIdPath(const std::string& id, std::string& path)
{
    bool found;
    fs::path file;
    {
        std::lock_guard<std::recursive_mutex> lk(storageLock);
        size_t i;
        found = FindIdIndexByName(id, i);
        file = fs::path(mediaPath) / ((found ? fileNames[i].first : id) + ext);
    }
    path = file.string();
    if (!found) return false;
    boost::system::error_code ec;
    return fs::exists(file, ec);
}
