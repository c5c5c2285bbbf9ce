#include "board/SimFrameLog.h"

#include "shell/Log.h"

#include <errno.h>

#include <cmath>
#include <cstring>

namespace {
constexpr uint64_t kFlushIntervalNs = 1000000000ull;

void PutLE(uint8_t* p, uint64_t v, int bytes)
{
    for (int i = 0; i < bytes; ++i) p[i] = uint8_t(v >> (8 * i));
}
}  // namespace

SimFrameLog::~SimFrameLog() { Close(); }

bool SimFrameLog::Open(const std::string& p)
{
    Close();
    path = p;
    file = fopen(path.c_str(), "wb");
    if (!file) {
        MsgToLog(L_ERROR, "SimBoard: cannot create frame log %s: %s\n", path.c_str(), strerror(errno));
        return false;
    }
    setvbuf(file, buffer, _IOFBF, sizeof(buffer));
    flushedOnce = false;
    return true;
}

void SimFrameLog::Fail(const char* what)
{
    MsgToLog(L_ERROR, "SimBoard: cannot %s frame log %s: %s; the log stops here.\n", what, path.c_str(),
             strerror(errno));
    fclose(file);
    file = nullptr;
}

void SimFrameLog::Append(uint64_t period, uint64_t timeNs, uint32_t flags, const float rms[4],
                         const uint8_t thumb[kThumbWidth * kThumbHeight])
{
    if (!file) return;
    uint8_t rec[kRecordBytes];
    PutLE(rec, period, 8);
    PutLE(rec + 8, timeNs, 8);
    PutLE(rec + 16, flags, 4);
    PutLE(rec + 20, 0, 4);
    for (int c = 0; c < 4; ++c) {
        uint32_t bits;
        memcpy(&bits, &rms[c], 4);
        PutLE(rec + 24 + 4 * c, bits, 4);
    }
    memcpy(rec + 40, thumb, kThumbWidth * kThumbHeight);
    if (fwrite(rec, sizeof(rec), 1, file) != 1) {
        Fail("write");
        return;
    }
    if (!flushedOnce || timeNs - lastFlushNs >= kFlushIntervalNs) {
        if (fflush(file) != 0) {
            Fail("write");
            return;
        }
        lastFlushNs = timeNs;
        flushedOnce = true;
    }
}

void SimFrameLog::Close()
{
    if (!file) return;
    if (fflush(file) != 0) {
        Fail("write");
        return;
    }
    if (fclose(file) != 0)
        MsgToLog(L_ERROR, "SimBoard: cannot close frame log %s: %s\n", path.c_str(), strerror(errno));
    file = nullptr;
}

void SimFrameLog::Thumbnail(const uint8_t* uyvy, int width, int lines, uint8_t thumb[kThumbWidth * kThumbHeight])
{
    memset(thumb, 0, kThumbWidth * kThumbHeight);
    if (!uyvy || width <= 0 || lines <= 0) return;
    const size_t pitch = size_t(width) * 2;
    int x0[kThumbWidth + 1];
    for (int c = 0; c <= kThumbWidth; ++c) x0[c] = int(int64_t(c) * width / kThumbWidth);
    for (int r = 0; r < kThumbHeight; ++r) {
        const int y0 = int(int64_t(r) * lines / kThumbHeight);
        const int y1 = int(int64_t(r + 1) * lines / kThumbHeight);
        uint64_t sums[kThumbWidth] = {};
        for (int y = y0; y < y1; ++y) {
            const uint8_t* luma = uyvy + size_t(y) * pitch + 1;
            for (int c = 0; c < kThumbWidth; ++c) {
                uint32_t s = 0;
                for (int x = x0[c]; x < x0[c + 1]; ++x) s += luma[2 * x];
                sums[c] += s;
            }
        }
        for (int c = 0; c < kThumbWidth; ++c) {
            const uint64_t count = uint64_t(y1 - y0) * uint64_t(x0[c + 1] - x0[c]);
            thumb[r * kThumbWidth + c] = count ? uint8_t((sums[c] + count / 2) / count) : 0;
        }
    }
}

void SimFrameLog::Rms(const int32_t* audio, size_t frames, unsigned channels, float rms[4])
{
    for (int c = 0; c < 4; ++c) rms[c] = 0.0f;
    if (!audio || frames == 0) return;
    for (unsigned c = 0; c < 4 && c < channels; ++c) {
        double sum = 0.0;
        for (size_t i = 0; i < frames; ++i) {
            const double v = double(audio[i * channels + c]) / 2147483648.0;
            sum += v * v;
        }
        rms[c] = float(std::sqrt(sum / double(frames)));
    }
}
