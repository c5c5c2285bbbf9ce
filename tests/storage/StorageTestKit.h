// Helpers for the storage tests: tiny real clips made once with the ffmpeg
// program, a server that records the storage reports, database and log
// readers, and condition waits.
#pragma once

#include "server/VDCPServer.h"
#include "vdcp/VDCP_Definitions.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

// A one-second 64x36 MPEG-2 clip at 25 fps with 48 kHz PCM audio (MXF OP1a).
const std::string& VideoClip();
// A one-second 48 kHz PCM MXF without any video stream.
const std::string& AudioOnlyClip();

void CopyFileTo(const std::string& from, const std::string& to);
std::string FileBytes(const std::string& path);
// Sets a file's last-write time.
void SetFileTime(const std::string& path, int64_t modTime);
int64_t FileTime(const std::string& path);

// Polls `cond` every 20 ms until it holds or `limit` has passed.
bool WaitFor(const std::function<bool()>& cond, std::chrono::milliseconds limit = std::chrono::seconds(60));

// A server that records what storage reports instead of passing it to ports.
class RecordingServer : public VDCPServer {
public:
    ~RecordingServer() override;
    void ReportIdAddedList(std::vector<VdcpId>& list) override;
    void ReportIdDeletedList(std::vector<VdcpId>& list) override;

    // Times each ID was reported.
    int AddedCount(const std::string& id);
    int DeletedCount(const std::string& id);
    std::vector<std::string> Deleted();
    std::vector<std::string> Added();
    bool WaitAdded(const std::string& id, int times = 1);
    bool WaitDeleted(const std::string& id, int times = 1);
    StorageWatcher* Watcher() { return sWatcher; }
    // Called (under the recorder's lock) with every added report.
    std::function<void(const VdcpId&)> onAdded;

private:
    std::mutex lock;   // guards added, deleted
    std::condition_variable changed;
    std::vector<std::string> added;
    std::vector<std::string> deleted;
};

// One row of table Storage.
struct StorageRow {
    int64_t modDate = 0;
    int protect = 0;
    std::string duration, format, aspect;
    double frameRate = 0;
    int sampleRate = 0;
    int available = 0;
    int transferInProgress = 0;
};
// Every row of dbFolder/Storage.db, by ID (empty when it cannot be read).
std::map<std::string, StorageRow> ReadRows(const std::string& dbFolder);
// Runs SQL on dbFolder/Storage.db; true on success.
bool ExecSql(const std::string& dbFolder, const std::string& sql);

// Sends the process's log to `dir`/Logs; LogText reads back everything written there.
void LogInto(const std::string& dir);
std::string LogText(const std::string& dir);
int CountOf(const std::string& text, const std::string& needle);
