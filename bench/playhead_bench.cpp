// Playhead throughput: one 1080-line 25 fps MXF clip (MPEG-2 4:2:2 long GOP
// at 50 Mb/s, four mono PCM tracks) played through one playhead into an
// output of the simulated board on its free-running clock, as a channel's
// device loop does it (picture, queue, audio, PCM write). Prints frames per
// second, CPU milliseconds per frame and peak memory; then times the ffmpeg
// program doing the same decode and bicubic scale to UYVY on the same file,
// and prints the ratio of the CPU per frame. Last, the cue latency (LoadFile
// to ReportCueDone) at the first frame and 10 seconds in.
//
// Usage: playhead_bench [clip.mxf]   (default: made once with the ffmpeg
// program into bench-cache/ under the working directory)

#include "board/SimBoard.h"
#include "channels/SelvoDev.h"
#include "media/PlayHead.h"
#include "shell/Log.h"

#include <linux/videodev2.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kClipSeconds = 20;
constexpr int kFrames = kClipSeconds * 25;

class BenchDevice : public SelvoDev {
public:
    void ReportCueDone(int) override
    {
        std::lock_guard<std::mutex> lk(mx);
        cues++;
        cv.notify_all();
    }
    void ReportStreamClosed(int) override { closed = true; }
    bool WaitCue(int n)
    {
        std::unique_lock<std::mutex> lk(mx);
        return cv.wait_for(lk, std::chrono::seconds(60), [&] { return cues >= n; });
    }
    std::mutex mx;   // guards cues
    std::condition_variable cv;
    int cues = 0;
    std::atomic<bool> closed{false};
};

double CpuSeconds(const rusage& r)
{
    return double(r.ru_utime.tv_sec + r.ru_stime.tv_sec) + double(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
}

int Run(const std::vector<std::string>& args, rusage* usage)
{
    pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        std::vector<char*> argv;
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    if (wait4(pid, &status, 0, usage) < 0) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string MakeClip()
{
    std::filesystem::create_directories("bench-cache");
    std::string path = "bench-cache/hd422_25i_4mono_" + std::to_string(kClipSeconds) + "s.mxf";
    if (std::filesystem::exists(path)) return path;
    std::string tmp = path + ".tmp";
    std::string t = std::to_string(kClipSeconds);
    std::vector<std::string> args = {"ffmpeg", "-hide_banner", "-loglevel", "error", "-y",
                                     "-f", "lavfi", "-i", "testsrc2=size=1920x1080:rate=25"};
    for (int i = 0; i < 4; i++) {
        args.insert(args.end(), {"-f", "lavfi", "-i", "sine=frequency=" + std::to_string(400 + 200 * i) +
                                                          ":sample_rate=48000"});
    }
    args.insert(args.end(), {"-t", t, "-map", "0:v"});
    for (int i = 1; i <= 4; i++) args.insert(args.end(), {"-map", std::to_string(i) + ":a"});
    args.insert(args.end(), {"-c:v", "mpeg2video", "-pix_fmt", "yuv422p", "-b:v", "50M", "-maxrate", "50M",
                             "-bufsize", "17825792", "-g", "12", "-bf", "2", "-flags", "+ildct+ilme", "-top", "1",
                             "-c:a", "pcm_s24le", "-f", "mxf", tmp});
    rusage ru{};
    printf("making %s with the ffmpeg program ...\n", path.c_str());
    fflush(stdout);
    if (Run(args, &ru) != 0) return "";
    std::filesystem::rename(tmp, path);
    return path;
}

}  // namespace

int main(int argc, char** argv)
{
    std::string clip = argc > 1 ? argv[1] : MakeClip();
    if (clip.empty()) {
        fprintf(stderr, "cannot make the clip\n");
        return 1;
    }
    // Only the figures go to the terminal: the log goes to a folder of its own.
    std::filesystem::create_directories("bench-log");
    logDirectory = std::filesystem::absolute("bench-log").string();
    if (!freopen("/dev/null", "w", stderr)) return 1;

    SimBoardConfig cfg;
    cfg.outputs = 1;
    cfg.inputs = 0;
    cfg.width = 1920;
    cfg.height = 1080;
    cfg.field = V4L2_FIELD_INTERLACED;
    cfg.clock = SimBoardConfig::Clock::FreeRunning;
    auto board = std::make_shared<SimBoard>(cfg);
    ScopedBoard scope(board);

    BenchDevice dev;
    if (!dev.OpenDevice("/dev/video0", false)) {
        printf("cannot open the simulated output\n");
        return 1;
    }
    const size_t pictureBytes = dev.PictureBytes();
    const size_t audioBytes = dev.AudioBytesPerFrame();
    std::vector<uint8_t> picture(pictureBytes), audio(audioBytes);
    std::vector<SvBuffer> buffers;
    if (!dev.PrepareDevice(buffers, unsigned(pictureBytes))) {
        printf("cannot prepare the simulated output\n");
        return 1;
    }

    // ---- playback through the device loop
    int frames = 0;
    double wall = 0, cpu = 0;
    {
        PlayHead head(&dev, 0);
        head.LoadFile(clip, 0, 0);
        if (!dev.WaitCue(1)) {
            printf("the clip did not cue\n");
            return 1;
        }
        rusage r0{}, r1{};
        getrusage(RUSAGE_SELF, &r0);
        auto t0 = Clock::now();
        head.SetToPlay();
        while (!dev.closed) {
            v4l2_buffer buf;
            if (dev.WaitAndDequeue(buf, 2000) <= 0) continue;
            // Free-running output: wait for the next picture instead of repeating one.
            double pts;
            while ((pts = head.GetVideoFrame(picture.data(), int(2 * dev.fWidth))) < 0 && !dev.closed)
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            if (pts >= 0) frames++;
            dev.QueuePicture(buf, buffers, pts >= 0 ? picture.data() : nullptr, pictureBytes);
            if (pts < 0) break;
            head.GetAudioFrame(audio.data(), int(audioBytes));
            dev.WriteAudioFrame(audio.data());
        }
        wall = std::chrono::duration<double>(Clock::now() - t0).count();
        getrusage(RUSAGE_SELF, &r1);
        cpu = CpuSeconds(r1) - CpuSeconds(r0);
    }
    dev.CleanDevice(buffers);
    rusage self{};
    getrusage(RUSAGE_SELF, &self);

    printf("\nclip: %s (1920x1080 MPEG-2 4:2:2 50 Mb/s long GOP, 4 mono PCM, %d frames)\n", clip.c_str(), kFrames);
    printf("playhead, free-running simulated output 1920x1080 UYVY, 4 ch S32:\n");
    printf("  frames delivered      %d\n", frames);
    printf("  frames per second     %.1f\n", frames / wall);
    printf("  CPU per frame         %.2f ms (all threads of the process)\n", frames ? cpu * 1000 / frames : 0.0);
    printf("  peak memory           %.1f MiB (ru_maxrss)\n", double(self.ru_maxrss) / 1024);

    // ---- the ffmpeg program on the same decode and scale
    rusage child{};
    auto f0 = Clock::now();
    int rc = Run({"ffmpeg", "-hide_banner", "-loglevel", "error", "-threads", "auto", "-i", clip, "-an", "-vf",
                  "scale=1920:1080:flags=bicubic", "-pix_fmt", "uyvy422", "-f", "null", "-"},
                 &child);
    double fwall = std::chrono::duration<double>(Clock::now() - f0).count();
    double fcpu = CpuSeconds(child);
    printf("ffmpeg -threads auto, same decode + bicubic scale to UYVY (video only):\n");
    if (rc != 0) {
        printf("  failed (exit %d)\n", rc);
    } else {
        printf("  frames per second     %.1f\n", kFrames / fwall);
        printf("  CPU per frame         %.2f ms\n", fcpu * 1000 / kFrames);
        printf("  peak memory           %.1f MiB\n", double(child.ru_maxrss) / 1024);
        if (frames) printf("ratio playhead / ffmpeg CPU per frame: %.2f\n", (cpu / frames) / (fcpu / kFrames));
    }

    // ---- cue latency
    printf("cue latency (LoadFile to ReportCueDone):\n");
    for (int64_t start : {int64_t(0), int64_t(10000000)}) {
        std::vector<double> ms;
        for (int i = 0; i < 5; i++) {
            PlayHead head(&dev, 1);
            int before;
            {
                std::lock_guard<std::mutex> lk(dev.mx);
                before = dev.cues;
            }
            auto c0 = Clock::now();
            head.LoadFile(clip, start, 0);
            if (!dev.WaitCue(before + 1)) break;
            ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - c0).count());
        }
        std::sort(ms.begin(), ms.end());
        if (ms.empty()) {
            printf("  start %2lld s: no cue\n", (long long)(start / 1000000));
            continue;
        }
        printf("  start %2lld s: median %.1f ms (min %.1f, max %.1f, %zu runs)\n", (long long)(start / 1000000),
               ms[ms.size() / 2], ms.front(), ms.back(), ms.size());
    }
    return 0;
}
