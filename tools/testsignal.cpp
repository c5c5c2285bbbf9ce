// testsignal: bars and tone on one output of the video board.
//
//   testsignal CONFIG DEVICE SECONDS
//
// Loads the configuration file, installs the board it names (its "board"
// mapping; absent or type "linux": the Linux board), opens DEVICE as an output
// exactly as a channel does and plays 100 % colour bars (white, yellow, cyan,
// green, magenta, red, blue, black; equal widths, full height) with a 1 kHz
// sine at -20 dBFS (peak 0.1 of full scale) on all four audio channels,
// continuous across frames, for SECONDS seconds of frames as the device paces
// them. Then it prints the frame periods shown and the repeats counted (the
// simulated board counts them; on the Linux board it prints the pictures it
// queued) and exits 0. Errors exit 1 with a message on standard error.
//
// Colour: BT.709 from 720 lines up, BT.601 below, studio range.
#include "board/Board.h"
#include "board/SimBoard.h"
#include "board/SimBoardConfig.h"
#include "channels/SelvoDev.h"
#include "shell/Log.h"

#include <yaml-cpp/yaml.h>

#include <errno.h>
#include <linux/videodev2.h>
#include <sys/select.h>
#include <sys/stat.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

// Select timeouts in a row after which the device counts as stalled.
constexpr int kMaxSilentSelects = 3;

class BarsDevice : public SelvoDev {
public:
    void ReportCueDone(int) override {}
    void ReportStreamClosed(int) override {}
};

// One UYVY line of the eight bars; every line of the picture is the same.
std::vector<uint8_t> BarsLine(int width, int lines)
{
    static const double kRgb[8][3] = {{1, 1, 1}, {1, 1, 0}, {0, 1, 1}, {0, 1, 0},
                                      {1, 0, 1}, {1, 0, 0}, {0, 0, 1}, {0, 0, 0}};
    const bool hd = lines >= 720;
    const double kr = hd ? 0.2126 : 0.299;
    const double kb = hd ? 0.0722 : 0.114;
    uint8_t y[8], cb[8], cr[8];
    for (int i = 0; i < 8; ++i) {
        const double r = kRgb[i][0], g = kRgb[i][1], b = kRgb[i][2];
        const double luma = kr * r + (1.0 - kr - kb) * g + kb * b;
        y[i] = uint8_t(std::lround(16.0 + 219.0 * luma));
        cb[i] = uint8_t(std::lround(128.0 + 224.0 * (b - luma) / (2.0 * (1.0 - kb))));
        cr[i] = uint8_t(std::lround(128.0 + 224.0 * (r - luma) / (2.0 * (1.0 - kr))));
    }
    std::vector<uint8_t> line(size_t(2) * size_t(width));
    for (int x = 0; x + 1 < width; x += 2) {
        // Each pixel pair takes the colour of the bar its first pixel lies in.
        const int bar = int(int64_t(x) * 8 / width);
        const int bar2 = int(int64_t(x + 1) * 8 / width);
        uint8_t* p = &line[size_t(2) * size_t(x)];
        p[0] = cb[bar];
        p[1] = y[bar];
        p[2] = cr[bar];
        p[3] = y[bar2];
    }
    if (width % 2) {
        line[size_t(2) * size_t(width - 1)] = 128;
        line[size_t(2) * size_t(width - 1) + 1] = y[7];
    }
    return line;
}

// One frame of tone, continuing the phase from the frames before; false for
// a sample format the tool does not write.
bool FillTone(uint8_t* out, size_t frames, unsigned channels, AVSampleFormat fmt, uint64_t firstFrame, int64_t rate)
{
    for (size_t i = 0; i < frames; ++i) {
        const uint64_t n = (firstFrame + i) % uint64_t(rate);   // 1 kHz repeats every second exactly
        const double v = 0.1 * std::sin(2.0 * M_PI * 1000.0 * double(n) / double(rate));
        for (unsigned c = 0; c < channels; ++c) {
            const size_t at = i * channels + c;
            switch (fmt) {
            case AV_SAMPLE_FMT_S32: {
                const int32_t s = int32_t(std::lround(v * 2147483647.0));
                memcpy(out + at * 4, &s, 4);
                break;
            }
            case AV_SAMPLE_FMT_S16: {
                const int16_t s = int16_t(std::lround(v * 32767.0));
                memcpy(out + at * 2, &s, 2);
                break;
            }
            case AV_SAMPLE_FMT_FLT: {
                const float s = float(v);
                memcpy(out + at * 4, &s, 4);
                break;
            }
            case AV_SAMPLE_FMT_DBL: memcpy(out + at * 8, &v, 8); break;
            case AV_SAMPLE_FMT_U8: out[at] = uint8_t(std::lround(128.0 + v * 127.0)); break;
            default: return false;
            }
        }
    }
    return true;
}

// The board of the configuration (null for the Linux board); the log goes
// where the server's goes.
std::shared_ptr<SimBoard> LoadBoard(const std::string& path)
{
    YAML::Node config = YAML::LoadFile(path);
    if (config["log-files-path"]) {
        const std::string logPath = config["log-files-path"].as<std::string>();
        struct stat st;
        if (stat(logPath.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) logDirectory = logPath;
    }
    YAML::Node boardNode = config["board"];
    if (!boardNode) return nullptr;
    const std::string type = boardNode["type"] ? boardNode["type"].as<std::string>() : "linux";
    if (type == "linux") return nullptr;
    if (type != "simulated") throw std::invalid_argument("unknown board type \"" + type + "\"");
    return std::make_shared<SimBoard>(SimBoardConfig::FromYaml(boardNode));
}

int Run(const char* configPath, const char* device, double seconds)
{
    std::shared_ptr<SimBoard> sim;
    try {
        sim = LoadBoard(configPath);
    } catch (const std::exception& e) {
        fprintf(stderr, "testsignal: cannot load configuration from %s: %s\n", configPath, e.what());
        return 1;
    }
    if (sim) Board::Install(sim);

    int result = 0;
    {
        BarsDevice dev;
        if (!dev.OpenDevice(device, false)) {
            fprintf(stderr, "testsignal: cannot open output device %s (see the log)\n", device);
            result = 1;
        } else {
            const size_t pictureBytes = dev.PictureBytes();
            const std::vector<uint8_t> line = BarsLine(int(dev.fWidth), int(dev.PictureLines()));
            std::vector<uint8_t> picture(pictureBytes);
            for (int64_t y = 0; y < dev.PictureLines(); ++y)
                memcpy(&picture[size_t(y) * line.size()], line.data(), line.size());
            std::vector<uint8_t> audio(dev.AudioBytesPerFrame());
            if (audio.empty() || dev.audioFormat == AV_SAMPLE_FMT_NONE)
                fprintf(stderr, "testsignal: the audio format of %s is not supported; playing bars only\n", device);

            printf("testsignal: %s %lldx%lld%s %.3f fps, audio %u channels, %lu sample frames a picture\n", device,
                   (long long)dev.fWidth, (long long)dev.fHeight, dev.isProgressive ? "" : " (fields)",
                   dev.frameRate, dev.sChannels, (unsigned long)dev.samplesPerFrame);
            fflush(stdout);

            std::vector<SvBuffer> bufs;
            if (dev.PrepareDevice(bufs, unsigned(pictureBytes)) == 0) {
                fprintf(stderr, "testsignal: cannot stream on %s (see the log)\n", device);
                result = 1;
            } else {
                // Paced by the device: one picture for every buffer it gives back.
                const uint64_t frames = uint64_t(std::llround(seconds * dev.frameRate));
                uint64_t queued = 0, toneFrame = 0;
                int silentSelects = 0;
                while (queued < frames) {
                    v4l2_buffer buf;
                    const int r = dev.WaitAndDequeue(buf, 2000);
                    if (r == 0 && ++silentSelects >= kMaxSilentSelects) {
                        fprintf(stderr, "testsignal: %s gives no buffer back\n", device);
                        result = 1;
                        break;
                    }
                    if (r <= 0) {
                        if (r < 0 && errno != EAGAIN && errno != EINTR)
                            MsgToLog(L_ERROR, "testsignal: VIDIOC_DQBUF error: %i\n", errno);
                        if (r < 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
                        continue;
                    }
                    silentSelects = 0;
                    if (!dev.QueuePicture(buf, bufs, picture.data(), pictureBytes))
                        MsgToLog(L_ERROR, "testsignal: VIDIOC_QBUF error: %i\n", errno);
                    ++queued;
                    if (!audio.empty() && FillTone(audio.data(), dev.samplesPerFrame, dev.sChannels,
                                                   dev.audioFormat, toneFrame, dev.sampleRate)) {
                        const snd_pcm_sframes_t w = dev.WriteAudioFrame(audio.data());
                        // The tone goes on from what the device took.
                        if (w > 0) toneFrame += uint64_t(w);
                    }
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
                }
                dev.CleanDevice(bufs);
                if (sim) {
                    int node = -1;
                    for (int n = 0; n < sim->Config().outputs; ++n)
                        if (sim->OutputNode(n) == device) node = n;
                    const SimBoard::NodeStats st = sim->Stats(node);
                    printf("periods shown: %llu\nrepeats: %llu\n", (unsigned long long)st.periods,
                           (unsigned long long)st.repeats);
                } else {
                    printf("pictures queued: %llu\n", (unsigned long long)queued);
                }
            }
        }
    }
    if (sim) Board::Install(nullptr);
    return result;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 4) {
        fprintf(stderr, "usage: testsignal CONFIG DEVICE SECONDS\n");
        return 2;
    }
    char* end = nullptr;
    const double seconds = strtod(argv[3], &end);
    if (!end || *end != '\0' || !(seconds > 0.0) || seconds > 86400.0) {
        fprintf(stderr, "testsignal: SECONDS must be a number above 0, not \"%s\"\n", argv[3]);
        return 2;
    }
    return Run(argv[1], argv[2], seconds);
}
