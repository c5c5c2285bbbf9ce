// Storage benchmark: a media folder of many small real clips (copies of one
// tiny MXF made with the ffmpeg program), catalogued by the storage watcher.
//
// Prints:
//   - the first scan with its database update (the watcher's construction);
//   - the first run's probing: files per second, from the first to the last
//     added report (each report follows its file's probe and database write);
//   - a restart over the unchanged folder that restores every clip from the
//     database without probing: wall time from constructing the watcher until
//     every ID is reported added, and the same without the inspector's fixed
//     5-second size check;
//   - the mediainfo program over the same files: one invocation over the
//     whole folder, and one invocation per file over a sample, and the ratio
//     of the watcher's probe rate to each.
//
// Usage: storage_bench [clip count, default 10000] [work folder, default a new one under /tmp]
// The log goes to <work>/Logs as in production; its echo on standard error is
// discarded so that the figures stay readable.
#include "server/VDCPServer.h"
#include "shell/Log.h"
#include "storage/StorageWatcher.h"

#include <MediaInfo/MediaInfo.h>
#include <boost/filesystem.hpp>

#include <locale.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

namespace fs = boost::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

double Seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

// Counts the added reports and notes when the first and the last came.
class CountingServer : public VDCPServer {
public:
    explicit CountingServer(size_t expected) : expected(expected) {}
    ~CountingServer() override
    {
        delete sWatcher;
        sWatcher = nullptr;
    }
    void ReportIdAddedList(std::vector<VdcpId>& list) override
    {
        std::lock_guard<std::mutex> lk(lock);
        auto now = Clock::now();
        if (count == 0) first = now;
        last = now;
        count += list.size();
        if (count >= expected) done.notify_all();
    }
    void ReportIdDeletedList(std::vector<VdcpId>&) override {}
    void WaitAll()
    {
        std::unique_lock<std::mutex> lk(lock);
        done.wait(lk, [this] { return count >= expected; });
    }
    Clock::time_point first, last;

private:
    size_t expected;
    size_t count = 0;
    std::mutex lock;   // guards count, first, last
    std::condition_variable done;
};

bool Run(const std::string& cmd)
{
    return std::system(cmd.c_str()) == 0;
}

}  // namespace

int main(int argc, char** argv)
{
    const size_t count = argc > 1 ? size_t(std::atol(argv[1])) : 10000;
    std::string work;
    if (argc > 2) {
        work = argv[2];
        fs::create_directories(work);
    } else {
        char tmpl[] = "/tmp/zz-storage-bench-XXXXXX";
        if (!mkdtemp(tmpl)) return 1;
        work = tmpl;
    }
    const std::string media = work + "/media", db = work + "/db", clip = work + "/clip.mxf";
    fs::create_directories(media);
    fs::create_directories(db);
    fs::remove(db + "/Storage.db");

    printf("storage_bench: %zu clips in %s\n", count, media.c_str());
    if (!fs::exists(clip) &&
        !Run("ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=64x36:rate=25 "
             "-f lavfi -i sine=frequency=1000:sample_rate=48000 -t 0.2 -c:v mpeg2video -c:a pcm_s16le -f mxf '" +
             clip + "'")) {
        fprintf(stderr, "cannot make the clip with ffmpeg\n");
        return 1;
    }
    for (size_t i = 0; i < count; ++i) {
        char name[32];
        snprintf(name, sizeof(name), "/clip%05zu.mxf", i);
        if (!fs::exists(media + name)) fs::copy_file(clip, media + name);
    }
    printf("clip size: %ju bytes\n", uintmax_t(fs::file_size(clip)));
    fflush(stdout);

    logDirectory = work;
    if (!freopen("/dev/null", "w", stderr)) return 1;

    // First run: scan, database update, then every file settled and probed.
    double scan, probeRate;
    {
        CountingServer srv(count);
        auto t0 = Clock::now();
        srv.SetupStorage(db, media, ".mxf");
        scan = Seconds(Clock::now() - t0);
        srv.WaitAll();
        probeRate = count > 1 ? double(count - 1) / Seconds(srv.last - srv.first) : 0.0;
    }
    printf("first scan + database update: %.3f s\n", scan);
    printf("probe (MediaInfoLib + database write + report), first run: %.1f files/s\n", probeRate);
    fflush(stdout);

    // Restart: every clip restored from the database.
    double restartWall, restartLookup;
    {
        CountingServer srv(count);
        auto t0 = Clock::now();
        srv.SetupStorage(db, media, ".mxf");
        srv.WaitAll();
        restartWall = Seconds(srv.last - t0);
        restartLookup = Seconds(srv.last - srv.first);
    }
    printf("restart until every ID is reported added (wall, includes the 5 s size check): %.3f s\n", restartWall);
    printf("restart without the 5 s size check: %.3f s (of which database lookups and reports: %.3f s)\n",
           restartWall - 5.0, restartLookup);
    fflush(stdout);

    // The same probe in process, without database or catalogue, for reference.
    double libRate;
    {
        locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t(0));
        if (utf8) uselocale(utf8);
        auto t0 = Clock::now();
        for (fs::directory_iterator it(media); it != fs::directory_iterator(); ++it) {
            MediaInfoLib::MediaInfo mi;
            std::string p = it->path().string();
            if (mi.Open(std::wstring(p.begin(), p.end())) == 0) continue;
            mi.Get(MediaInfoLib::Stream_Video, 0, L"Duration/String4");
            mi.Get(MediaInfoLib::Stream_Video, 0, L"Format");
            mi.Get(MediaInfoLib::Stream_Video, 0, L"DisplayAspectRatio/String");
            mi.Get(MediaInfoLib::Stream_Video, 0, L"FrameRate");
            mi.Get(MediaInfoLib::Stream_Audio, 0, L"SamplingRate");
            mi.Close();
        }
        libRate = double(count) / Seconds(Clock::now() - t0);
    }
    printf("MediaInfoLib alone (same five values, no database): %.1f files/s\n", libRate);
    fflush(stdout);

    // The mediainfo program: once over the folder, and once per file over a sample.
    const std::string inform =
        "--Inform='Video;%Duration/String4%|%Format%|%DisplayAspectRatio/String%|%FrameRate%\\n'";
    auto t0 = Clock::now();
    Run("mediainfo " + inform + " '" + media + "' >/dev/null 2>&1");
    const double folderRate = double(count) / Seconds(Clock::now() - t0);
    const size_t sample = count < 200 ? count : 200;
    t0 = Clock::now();
    for (size_t i = 0; i < sample; ++i) {
        char name[32];
        snprintf(name, sizeof(name), "/clip%05zu.mxf", i);
        Run("mediainfo " + inform + " '" + media + name + "' >/dev/null 2>&1");
    }
    const double perFileRate = double(sample) / Seconds(Clock::now() - t0);
    printf("mediainfo program, one run over the folder: %.1f files/s\n", folderRate);
    printf("mediainfo program, one run per file (%zu files): %.1f files/s\n", sample, perFileRate);
    printf("ratio watcher probe rate / mediainfo over the folder: %.2f\n", probeRate / folderRate);
    printf("ratio watcher probe rate / mediainfo per file: %.2f\n", probeRate / perFileRate);

    if (argc <= 2) fs::remove_all(work);
    return 0;
}
