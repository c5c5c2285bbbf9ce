// How well the simulated board keeps time, and how fast it can go.
//
//   simboard_clock [SECONDS [LOAD_THREADS]]
//
// 1. Real time: a channel-like loop on a 1080i25 output with frame log and
//    preview for SECONDS (default 10) while LOAD_THREADS threads (default
//    twice the cores) spin. Reports periods, repeats, underruns, whether the
//    on-air times are exactly one period apart, and how late after its on-air
//    time each period's work (picture measures, log record) was done.
// 2. Free running: the same device with no pacing and no sleeps: pictures
//    a second through select, DQBUF, a 4 MB copy, QBUF and writei.
#include "board/SimBoard.h"
#include "fixtures/DeviceLoop.h"
#include "fixtures/FrameLog.h"
#include "fixtures/TempDir.h"
#include "fixtures/TestDevice.h"
#include "shell/Log.h"

#include <errno.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace {

uint64_t NowNs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000000000ull + uint64_t(ts.tv_nsec);
}

SimBoardConfig Hd(const TempDir& dir, SimBoardConfig::Clock clock)
{
    SimBoardConfig c;
    c.outputs = 1;
    c.inputs = 0;
    c.width = 1920;
    c.height = 1080;
    c.field = V4L2_FIELD_INTERLACED;
    c.clock = clock;
    if (clock == SimBoardConfig::Clock::RealTime) {
        c.frameLog = dir / "frames";
        c.preview = dir / "preview";
    }
    return c;
}

double Percentile(std::vector<uint64_t> v, double p)
{
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return double(v[std::min(v.size() - 1, size_t(p * double(v.size())))]) / 1e6;
}

void RealTime(double seconds, unsigned loadThreads)
{
    TempDir dir;
    auto board = std::make_shared<SimBoard>(Hd(dir, SimBoardConfig::Clock::RealTime));
    ScopedBoard scope(board);
    std::mutex m;
    std::vector<uint64_t> late;
    board->SetTap(0, [&](const SimBoard::ShownFrame& f) {
        const uint64_t now = NowNs();
        std::lock_guard<std::mutex> lk(m);
        late.push_back(now - f.timeNs);
    });

    std::atomic<bool> spin{true};
    std::vector<std::thread> load;
    for (unsigned i = 0; i < loadThreads; ++i)
        load.emplace_back([&] {
            volatile uint64_t x = 0;
            while (spin.load(std::memory_order_relaxed)) x = x + 1;
        });

    uint64_t periods = 0, repeats = 0, underruns = 0;
    {
        TestDevice dev;
        if (!dev.OpenDevice("/dev/video0", false)) {
            fprintf(stderr, "cannot open the simulated output\n");
            exit(1);
        }
        DeviceLoop loop(dev);
        if (!loop.Start()) exit(1);
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        loop.Stop();
        const SimBoard::NodeStats st = board->Stats(0);
        periods = st.periods;
        repeats = st.repeats;
        underruns = st.audioUnderruns;
    }
    spin = false;
    for (auto& t : load) t.join();
    board->SetTap(0, nullptr);

    std::vector<FrameRecord> log = ReadFrameLog(dir / "frames/video0.frames");
    size_t uneven = 0;
    for (size_t i = 1; i < log.size(); ++i) uneven += log[i].time - log[i - 1].time != 40000000u;
    printf("real time, 1080i25, %.0f s, %u load threads:\n", seconds, loadThreads);
    printf("  periods %llu, repeats %llu, audio underruns %llu, log records %zu, uneven on-air gaps %zu\n",
           (unsigned long long)periods, (unsigned long long)repeats, (unsigned long long)underruns, log.size(),
           uneven);
    printf("  period work done after on-air time: p50 %.2f ms, p99 %.2f ms, max %.2f ms\n", Percentile(late, 0.5),
           Percentile(late, 0.99), Percentile(late, 1.0));
}

void FreeRunning(unsigned frames)
{
    TempDir dir;
    auto board = std::make_shared<SimBoard>(Hd(dir, SimBoardConfig::Clock::FreeRunning));
    ScopedBoard scope(board);
    TestDevice dev;
    if (!dev.OpenDevice("/dev/video0", false)) exit(1);
    std::vector<SvBuffer> bufs;
    std::vector<uint8_t> picture(dev.PictureBytes(), 0x80);
    std::vector<uint8_t> audio(dev.AudioBytesPerFrame(), 0);
    if (dev.PrepareDevice(bufs, unsigned(picture.size())) == 0) exit(1);
    const uint64_t start = NowNs();
    unsigned done = 0;
    while (done < frames) {
        v4l2_buffer buf;
        if (dev.WaitAndDequeue(buf, 2000) <= 0) continue;
        dev.QueuePicture(buf, bufs, picture.data(), picture.size());
        dev.WriteAudioFrame(audio.data());
        ++done;
    }
    const double secs = double(NowNs() - start) / 1e9;
    dev.CleanDevice(bufs);
    printf("free running, 1080i: %u pictures in %.2f s = %.0f pictures a second\n", frames, secs,
           double(frames) / secs);
}

}  // namespace

int main(int argc, char** argv)
{
    const double seconds = argc > 1 ? atof(argv[1]) : 10.0;
    const unsigned load = argc > 2 ? unsigned(atoi(argv[2])) : 2 * std::thread::hardware_concurrency();
    // The devices' debug lines would drown the report.
    TempDir logs;
    logDirectory = logs.Path();
    if (!freopen("/dev/null", "w", stderr)) return 1;
    RealTime(seconds, load);
    FreeRunning(500);
    return 0;
}
