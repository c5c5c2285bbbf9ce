// StorageWatcher: the media inspector thread. In passes inspectorTimeout
// seconds apart it holds back files that are still being written until two
// size readings 5 seconds apart agree, takes the stored facts of unchanged
// files from the media database, probes the others with MediaInfo, stores the
// results, and reports each settled ID to the server. With nothing in
// transfer, a pass also rescans the folder for changes the watch missed.
#include "storage/StorageWatcher.h"

#include "server/VDCPServer.h"
#include "shell/Log.h"
#include "storage/SqliteRetry.h"
#include "storage/StorageStatements.h"

#include <MediaInfo/MediaInfo.h>
#include <boost/filesystem.hpp>
#include <sqlite3.h>

#include <locale.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <new>
#include <unordered_set>

namespace fs = boost::filesystem;

namespace {

// Marks the inspector's own thread, whose database waits end when it is told to stop.
thread_local bool onInspectorThread = false;

// A file counts as complete when two size readings this far apart agree.
constexpr int kTransferCheckSeconds = 5;
// InspectorPause: the pass period, inspectorTimeout.
constexpr int kPassPeriod = -1;
// Probe results are cut to this many bytes.
constexpr size_t kResultBytes = 256;
// After a failed attempt, the inspector tries to open the database again this much later.
constexpr std::chrono::seconds kDatabaseRetry{60};

// Sizes of `dir`/name; a size that cannot be read is the largest value.
void GetFileSizes(const std::string& dir, const std::vector<std::string>& fileList, std::vector<uintmax_t>& sizes)
{
    sizes.clear();
    for (const std::string& name : fileList) {
        boost::system::error_code ec;
        uintmax_t size = fs::file_size(fs::path(dir) / name, ec);
        sizes.push_back(ec ? UINTMAX_MAX : size);
    }
}

std::string Narrow(const MediaInfoLib::String& text)
{
    char buf[kResultBytes + 1] = {0};
    size_t n = wcstombs(buf, text.c_str(), kResultBytes);
    if (n == size_t(-1)) return std::string();
    return std::string(buf, n);
}

std::string ColumnText(sqlite3_stmt* stmt, int col)
{
    const unsigned char* t = sqlite3_column_text(stmt, col);
    return t ? reinterpret_cast<const char*>(t) : std::string();
}

}  // namespace

void StorageWatcher::MediaInspector(StorageWatcher* sw)
{
    onInspectorThread = true;
    // File names and MediaInfo's texts are UTF-8 whatever the process locale;
    // the conversions to and from wide text follow this thread's locale.
    locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t(0));
    locale_t previous = utf8 ? uselocale(utf8) : locale_t(0);

    while (sw->inspectorInProgress) {
        try {
            sw->MediaInspectorLocal();
            continue;
        } catch (const std::exception& e) {
            MsgToLog(L_DEBUG, "\n!!!!! C++ Exception in StorageWatcher::MediaInspector  what='%s' !!!!!\n\n", e.what());
        } catch (...) {
            MsgToLog(L_DEBUG, "\n!!!!! Unknown exception in StorageWatcher::MediaInspector !!!!!\n\n");
        }
        // A fault that recurs at once must not spin the thread and flood the log.
        sw->InspectorPause(kPassPeriod);
    }

    if (utf8) {
        uselocale(previous);
        freelocale(utf8);
    }
}

bool StorageWatcher::InspectorPause(int seconds)
{
    const auto start = std::chrono::steady_clock::now();
    std::unique_lock<std::mutex> lk(pauseLock);
    for (;;) {
        if (!inspectorInProgress) return false;
        // The pass period is read again on every wake: SetInspectorTimeout
        // may shorten a pause already under way.
        const int limit = seconds < 0 ? inspectorTimeout.load() : seconds;
        const auto deadline = start + std::chrono::seconds(limit);
        if (std::chrono::steady_clock::now() >= deadline) return true;
        pauseWake.wait_until(lk, deadline);
    }
}

bool StorageWatcher::RetryAbandoned() const
{
    return closing || (onInspectorThread && !inspectorInProgress);
}

bool StorageWatcher::RetryPause(int seconds)
{
    std::unique_lock<std::mutex> lk(pauseLock);
    pauseWake.wait_for(lk, std::chrono::seconds(seconds), [this] { return RetryAbandoned(); });
    return !RetryAbandoned();
}

void StorageWatcher::ReportAdded(VdcpId& id)
{
    if (vdcpSrv) vdcpSrv->ReportIdAdded(id);
}

void StorageWatcher::MediaInspectorLocal()
{
    MsgToLog(L_DEBUG, "Media Inspector started.\n");
    // Without the database the inspector still settles, probes and reports
    // from memory, and tries to open it again now and then.
    auto nextDatabaseTry = std::chrono::steady_clock::now();
    if (!OpenDatabase()) nextDatabaseTry += kDatabaseRetry;

    for (;;) {
        if (!inspectorInProgress) {
            MsgToLog(L_DEBUG, "Media Inspector terminated.\n");
            return;
        }
        std::string folder, extension;
        {
            std::lock_guard<std::recursive_mutex> lk(storageLock);
            folder = mediaPath;
            extension = ext;
        }
        boost::system::error_code ec;
        if (folder.empty() || !fs::is_directory(folder, ec)) {
            InspectorPause(kPassPeriod);
            continue;
        }

        std::vector<std::string> idList;
        GetTransferInProgress(idList);
        std::vector<VdcpId> inspectorList;
        if (!idList.empty()) {
            std::vector<std::string> fNamesList;
            for (const std::string& id : idList) fNamesList.push_back(id + extension);
            std::vector<uintmax_t> szInitial, szNext;
            GetFileSizes(folder, fNamesList, szInitial);
            if (!inspectorInProgress || !InspectorPause(kTransferCheckSeconds) || !inspectorInProgress) {
                MsgToLog(L_DEBUG, "Media Inspector terminated.\n");
                return;
            }
            GetFileSizes(folder, fNamesList, szNext);
            for (size_t i = 0; i < idList.size(); ++i) {
                if (szInitial[i] != szNext[i]) continue;   // still growing: measured again next pass
                boost::system::error_code tec;
                std::time_t t = fs::last_write_time(fs::path(folder) / fNamesList[i], tec);
                inspectorList.emplace_back(idList[i], tec ? int64_t(-1) : int64_t(t));
            }
            if (!inspectorInProgress) {
                MsgToLog(L_DEBUG, "Media Inspector terminated.\n");
                return;
            }
        }

        GetNotUpdated(inspectorList);
        if (!inspectorList.empty()) {
            bool open;
            {
                std::lock_guard<std::recursive_mutex> lk(storageLock);
                open = db != nullptr;
            }
            if (!open && std::chrono::steady_clock::now() >= nextDatabaseTry && !OpenDatabase())
                nextDatabaseTry = std::chrono::steady_clock::now() + kDatabaseRetry;
            LookUpStoredFacts(inspectorList);
        }
        if (!inspectorInProgress) {
            MsgToLog(L_DEBUG, "Media Inspector terminated.\n");
            return;
        }
        if (!inspectorList.empty()) ProbeFiles(inspectorList, folder, extension);
        InspectorPause(kPassPeriod);
    }
}

void StorageWatcher::GetTransferInProgress(std::vector<std::string>& list)
{
    std::string folder, extension;
    {
        std::lock_guard<std::recursive_mutex> lk(storageLock);
        for (size_t i = 0; i < fileNames.size(); ++i)
            if (fileData[i].transferInProgress) list.push_back(fileNames[i].first);
        folder = mediaPath;
        extension = ext;
    }
    if (!list.empty()) return;

    // Nothing in transfer: bring the catalogue in line with the folder. The
    // catalogue is copied before the folder is read, so that a clip that the
    // watch catalogues meanwhile is never taken for a removed one. A folder
    // that cannot be read completely changes nothing: a passing read error
    // must not withdraw clips that are still there.
    std::vector<std::string> oldIds;
    {
        std::lock_guard<std::recursive_mutex> lk(storageLock);
        for (const VdcpId& v : fileNames) oldIds.push_back(v.first);
    }
    std::vector<std::string> newIds;
    boost::system::error_code ec;
    if (!fs::is_directory(folder, ec)) return;
    fs::directory_iterator it(folder, ec);
    for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
        std::string id;
        boost::system::error_code sec;
        if (fs::is_regular_file(it->path(), sec) && NameToId(it->path().filename().string(), id))
            newIds.push_back(id);
    }
    if (ec) return;

    const std::unordered_set<std::string> inFolder(newIds.begin(), newIds.end());
    const std::unordered_set<std::string> catalogued(oldIds.begin(), oldIds.end());
    for (const std::string& id : newIds) {
        size_t index;
        if (catalogued.count(id) || FindIdIndexByName(id, index)) continue;
        MsgToLog(L_DEBUG, "StorageWatcher detect new file %s.\n", id.c_str());
        std::time_t t = fs::last_write_time(fs::path(folder) / (id + extension), ec);
        if (ec) continue;   // gone again
        VdcpId entry(id, int64_t(t));
        AddToStorage(entry);
    }
    for (const std::string& id : oldIds) {
        boost::system::error_code sec;
        if (inFolder.count(id) || fs::is_regular_file(fs::path(folder) / (id + extension), sec)) continue;
        MsgToLog(L_DEBUG, "StorageWatcher detect removed file %s.\n", id.c_str());
        VdcpId entry(id, 0);
        RemoveFromStorage(entry);
    }
}

void StorageWatcher::GetNotUpdated(std::vector<VdcpId>& list)
{
    std::lock_guard<std::recursive_mutex> lk(storageLock);
    for (size_t i = 0; i < fileNames.size(); ++i) {
        const VdcpIdExt& d = fileData[i];
        if (d.available && !d.transferInProgress && d.duration == 0) list.push_back(fileNames[i]);
    }
}

void StorageWatcher::LookUpStoredFacts(std::vector<VdcpId>& inspectorList)
{
    sqlite3* conn;
    {
        std::lock_guard<std::recursive_mutex> lk(storageLock);
        conn = db;
    }
    if (!conn) return;
    sqlite3_stmt* stmt = nullptr;
    const auto pause = [this](int s) { return RetryPause(s); };
    if (SqlitePrepareWithTimeout(conn, storageLookup, &stmt, 1, pause) != SQLITE_OK) {
        sqlite3_finalize(stmt);
        return;
    }

    std::vector<VdcpId> toProbe;
    size_t i = 0;
    for (; i < inspectorList.size() && inspectorInProgress; ++i) {
        VdcpId& entry = inspectorList[i];
        sqlite3_reset(stmt);
        sqlite3_bind_text(stmt, 1, entry.first.data(), int(entry.first.size()), SQLITE_TRANSIENT);
        if (SqliteStepWithTimeout(stmt, 1, pause) != SQLITE_ROW) {
            toProbe.push_back(entry);
            continue;
        }
        const int protect = sqlite3_column_int(stmt, 0);
        const int64_t modDate = sqlite3_column_int64(stmt, 1);

        if (modDate != entry.second) {
            // Changed since it was probed: only the protection carries over.
            std::lock_guard<std::recursive_mutex> lk(storageLock);
            size_t k;
            if (FindIdIndexByName(entry, k)) fileData[k].protect = protect;
            toProbe.push_back(entry);
            continue;
        }

        VdcpIdExt rec;
        rec.protect = protect;
        rec.transferInProgress = 0;
        rec.duration = CharToCTime(ColumnText(stmt, 2).c_str());
        rec.format = ColumnText(stmt, 3);
        rec.aspect = ColumnText(stmt, 4);
        rec.frameRate = sqlite3_column_double(stmt, 5);
        rec.sampleRate = sqlite3_column_int(stmt, 6);

        if (rec.duration == 0) {
            // Probed again below in this pass, which settles and reports it.
            std::lock_guard<std::recursive_mutex> lk(storageLock);
            size_t k;
            if (FindIdIndexByName(entry, k)) {
                fileNames[k] = entry;
                fileData[k].protect = protect;
            }
            toProbe.push_back(entry);
            continue;
        }
        bool announce = false;
        {
            std::lock_guard<std::recursive_mutex> lk(storageLock);
            size_t k;
            if (FindIdIndexByName(entry, k)) {
                const VdcpIdExt& was = fileData[k];
                announce = was.transferInProgress != 0 || was.duration != rec.duration;
                fileNames[k] = entry;
                fileData[k] = rec;
            }
        }
        if (announce) ReportAdded(entry);
    }
    // Entries not reached before a stop stay pending.
    toProbe.insert(toProbe.end(), inspectorList.begin() + long(i), inspectorList.end());
    sqlite3_finalize(stmt);
    inspectorList.swap(toProbe);
}

void StorageWatcher::ProbeFiles(std::vector<VdcpId>& inspectorList, const std::string& folder,
                                const std::string& extension)
{
    sqlite3* conn;
    {
        std::lock_guard<std::recursive_mutex> lk(storageLock);
        conn = db;
    }
    const auto pause = [this](int s) { return RetryPause(s); };
    sqlite3_stmt* stmt = nullptr;
    if (conn && SqlitePrepareWithTimeout(conn, storageInsertIdInfo, &stmt, 1, pause) != SQLITE_OK) {
        sqlite3_finalize(stmt);
        stmt = nullptr;
    }

    while (!inspectorList.empty()) {
        VdcpId entry = inspectorList.back();
        inspectorList.pop_back();
        if (stmt) {
            sqlite3_reset(stmt);
            sqlite3_bind_int64(stmt, 1, entry.second);
            sqlite3_bind_text(stmt, 7, entry.first.data(), int(entry.first.size()), SQLITE_TRANSIENT);
        }

        const std::string path = (fs::path(folder) / (entry.first + extension)).string();
        VdcpIdExt rec;
        std::string dur = notAvail, fmt = notAvail, asp = notAvail;
        bool opened = false;
        const size_t wideLength = mbstowcs(nullptr, path.c_str(), 0);
        if (wideLength == size_t(-1)) {
            MsgToLog(L_ERROR, "Media Inspector: cannot convert file path: %s\n", path.c_str());
        } else {
            std::wstring widePath;
            bool haveBuffer = true;
            try {
                widePath.assign(wideLength + 1, L'\0');
            } catch (const std::bad_alloc&) {
                MsgToLog(L_ERROR, "Media Inspector: OUT OF MEMORY when converting file path: %s\n", path.c_str());
                haveBuffer = false;
            }
            if (haveBuffer) {
                mbstowcs(&widePath[0], path.c_str(), wideLength + 1);
                widePath.resize(wideLength);
                MediaInfoLib::MediaInfo mi;
                if (mi.Open(widePath) == 0) {
                    MsgToLog(L_ERROR, "Media Inspector: Cannot analyze ID: %s\n", entry.first.c_str());
                } else {
                    opened = true;
                    MsgToLog(L_DEBUG, "Media Inspector: analyzing %s ...\n", entry.first.c_str());
                    dur = Narrow(mi.Get(MediaInfoLib::Stream_Video, 0, L"Duration/String4"));
                    fmt = Narrow(mi.Get(MediaInfoLib::Stream_Video, 0, L"Format"));
                    asp = Narrow(mi.Get(MediaInfoLib::Stream_Video, 0, L"DisplayAspectRatio/String"));
                    const std::string fps = Narrow(mi.Get(MediaInfoLib::Stream_Video, 0, L"FrameRate"));
                    const std::string bps = Narrow(mi.Get(MediaInfoLib::Stream_Audio, 0, L"SamplingRate"));
                    rec.duration = CharToCTime(dur.c_str());
                    rec.format = fmt;
                    rec.aspect = asp;
                    rec.frameRate = atof(fps.c_str());
                    rec.sampleRate = atoi(bps.c_str());
                    mi.Close();
                }
            }
        }
        if (!opened) {
            dur = fmt = asp = notAvail;
            rec.duration = 0;
            rec.format = rec.aspect = notAvail;
            rec.frameRate = 0.0;
            rec.sampleRate = 0;
        }
        rec.transferInProgress = 0;

        bool catalogued = false, announce = false;
        {
            std::lock_guard<std::recursive_mutex> lk(storageLock);
            size_t k;
            if (FindIdIndexByName(entry, k)) {
                catalogued = true;
                const VdcpIdExt& was = fileData[k];
                // Announced when it settles, and again only when its facts change:
                // a clip without a duration is probed every pass, not re-announced.
                announce = was.transferInProgress != 0 || was.duration != rec.duration;
                rec.protect = was.protect;
                fileData[k] = rec;
            }
        }
        // An ID that left the catalogue meanwhile is neither written back
        // (its row was removed or marked unavailable) nor reported.
        if (catalogued) {
            int rc = SQLITE_MISUSE;
            if (stmt) {
                sqlite3_bind_text(stmt, 2, dur.data(), int(dur.size()), SQLITE_TRANSIENT);
                sqlite3_bind_text(stmt, 3, fmt.data(), int(fmt.size()), SQLITE_TRANSIENT);
                sqlite3_bind_text(stmt, 4, asp.data(), int(asp.size()), SQLITE_TRANSIENT);
                sqlite3_bind_double(stmt, 5, rec.frameRate);
                sqlite3_bind_int(stmt, 6, rec.sampleRate);
                rc = SqliteStepWithTimeout(stmt, 1, pause);
            }
            if (rc != SQLITE_DONE)
                MsgToLog(L_ERROR, "Media Inspector: cannot write results to MediaDB because of error: %s\n",
                         conn ? sqlite3_errmsg(conn) : "MediaDB is not open");
            if (announce) ReportAdded(entry);
        }
        if (!inspectorInProgress) break;
    }
    inspectorList.clear();
    sqlite3_finalize(stmt);
}
