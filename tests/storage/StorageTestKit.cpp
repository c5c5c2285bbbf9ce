#include "StorageTestKit.h"

#include "shell/Log.h"
#include "storage/StorageWatcher.h"

#include <boost/filesystem.hpp>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace fs = boost::filesystem;

namespace {

// Clips are made once into the test working folder and reused by every test
// process; each is written under a private name and renamed into place.
std::string MakeClip(const std::string& name, const std::string& ffmpegArgs)
{
    fs::path dir = fs::current_path() / "storage-media";
    fs::path clip = dir / name;
    boost::system::error_code ec;
    if (fs::exists(clip, ec)) return clip.string();
    fs::create_directories(dir, ec);
    fs::path part = dir / (name + "." + std::to_string(getpid()) + ".part");
    std::string cmd = "ffmpeg -nostdin -v error -y " + ffmpegArgs + " '" + part.string() + "'";
    if (std::system(cmd.c_str()) != 0 || !fs::exists(part, ec))
        throw std::runtime_error("cannot make test clip with: " + cmd);
    fs::rename(part, clip);
    return clip.string();
}

}  // namespace

const std::string& VideoClip()
{
    static const std::string path = MakeClip(
        "video.mxf",
        "-f lavfi -i testsrc=size=64x36:rate=25 -f lavfi -i sine=frequency=1000:sample_rate=48000 -t 1 "
        "-c:v mpeg2video -c:a pcm_s16le -f mxf");
    return path;
}

const std::string& AudioOnlyClip()
{
    static const std::string path =
        MakeClip("audio.mxf", "-f lavfi -i sine=frequency=1000:sample_rate=48000 -t 1 -c:a pcm_s16le -f mxf_opatom");
    return path;
}

void CopyFileTo(const std::string& from, const std::string& to)
{
    fs::copy_file(from, to, fs::copy_option::overwrite_if_exists);
}

std::string FileBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void SetFileTime(const std::string& path, int64_t modTime)
{
    fs::last_write_time(path, std::time_t(modTime));
}

int64_t FileTime(const std::string& path)
{
    return int64_t(fs::last_write_time(path));
}

bool WaitFor(const std::function<bool()>& cond, std::chrono::milliseconds limit)
{
    auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (cond()) return true;
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

// ---------------------------------------------------------------------------

RecordingServer::~RecordingServer()
{
    // The watcher's threads report into this object: end them while it is whole.
    delete sWatcher;
    sWatcher = nullptr;
}

void RecordingServer::ReportIdAddedList(std::vector<VdcpId>& list)
{
    std::lock_guard<std::mutex> lk(lock);
    for (const VdcpId& id : list) {
        added.push_back(id.first);
        if (onAdded) onAdded(id);
    }
    changed.notify_all();
}

void RecordingServer::ReportIdDeletedList(std::vector<VdcpId>& list)
{
    std::lock_guard<std::mutex> lk(lock);
    for (const VdcpId& id : list) deleted.push_back(id.first);
    changed.notify_all();
}

int RecordingServer::AddedCount(const std::string& id)
{
    std::lock_guard<std::mutex> lk(lock);
    return int(std::count(added.begin(), added.end(), id));
}

int RecordingServer::DeletedCount(const std::string& id)
{
    std::lock_guard<std::mutex> lk(lock);
    return int(std::count(deleted.begin(), deleted.end(), id));
}

std::vector<std::string> RecordingServer::Deleted()
{
    std::lock_guard<std::mutex> lk(lock);
    return deleted;
}

std::vector<std::string> RecordingServer::Added()
{
    std::lock_guard<std::mutex> lk(lock);
    return added;
}

bool RecordingServer::WaitAdded(const std::string& id, int times)
{
    std::unique_lock<std::mutex> lk(lock);
    return changed.wait_for(lk, std::chrono::seconds(60),
                            [&] { return std::count(added.begin(), added.end(), id) >= times; });
}

bool RecordingServer::WaitDeleted(const std::string& id, int times)
{
    std::unique_lock<std::mutex> lk(lock);
    return changed.wait_for(lk, std::chrono::seconds(60),
                            [&] { return std::count(deleted.begin(), deleted.end(), id) >= times; });
}

// ---------------------------------------------------------------------------

std::map<std::string, StorageRow> ReadRows(const std::string& dbFolder)
{
    std::map<std::string, StorageRow> rows;
    sqlite3* db = nullptr;
    std::string file = dbFolder + "/Storage.db";
    if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        return rows;
    }
    sqlite3_busy_timeout(db, 30000);
    sqlite3_stmt* st = nullptr;
    const char* sql = "SELECT id, modDate, protect, duration, format, aspect, frameRate, sampleRate, available, "
                      "transferInProgress FROM Storage;";
    if (sqlite3_prepare_v2(db, sql, -1, &st, nullptr) == SQLITE_OK) {
        auto text = [st](int c) {
            const unsigned char* t = sqlite3_column_text(st, c);
            return t ? std::string(reinterpret_cast<const char*>(t)) : std::string();
        };
        while (sqlite3_step(st) == SQLITE_ROW) {
            StorageRow r;
            r.modDate = sqlite3_column_int64(st, 1);
            r.protect = sqlite3_column_int(st, 2);
            r.duration = text(3);
            r.format = text(4);
            r.aspect = text(5);
            r.frameRate = sqlite3_column_double(st, 6);
            r.sampleRate = sqlite3_column_int(st, 7);
            r.available = sqlite3_column_int(st, 8);
            r.transferInProgress = sqlite3_column_int(st, 9);
            rows[text(0)] = r;
        }
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
    return rows;
}

bool ExecSql(const std::string& dbFolder, const std::string& sql)
{
    sqlite3* db = nullptr;
    std::string file = dbFolder + "/Storage.db";
    bool ok = sqlite3_open(file.c_str(), &db) == SQLITE_OK;
    if (ok) {
        sqlite3_busy_timeout(db, 30000);
        ok = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
    }
    sqlite3_close(db);
    return ok;
}

void LogInto(const std::string& dir)
{
    logDirectory = dir;
}

std::string LogText(const std::string& dir)
{
    std::string all;
    boost::system::error_code ec;
    for (fs::directory_iterator it(fs::path(dir) / "Logs", ec); !ec && it != fs::directory_iterator(); ++it)
        all += FileBytes(it->path().string());
    return all;
}

int CountOf(const std::string& text, const std::string& needle)
{
    int n = 0;
    for (size_t p = text.find(needle); p != std::string::npos; p = text.find(needle, p + needle.size())) ++n;
    return n;
}
