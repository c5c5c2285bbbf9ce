#include "shell/Utility.h"

#include "board/Board.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/stat.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int BCDToInt(BYTE val)
{
    int hi = val >> 4, lo = val & 0x0F;
    if (hi > 9 || lo > 9) return -1;
    return hi * 10 + lo;
}

BYTE IntToBCD(int val)
{
    if (val < 0 || val > 99) return 0xFF;
    return BYTE(((val / 10) << 4) | (val % 10));
}

int CTimeToFrames(cTime time, int framesPerSecond)
{
    // 32-bit signed arithmetic; invalid BCD units contribute -1 as they stand.
    int h = BCDToInt(BYTE(time >> 24));
    int m = BCDToInt(BYTE(time >> 16));
    int s = BCDToInt(BYTE(time >> 8));
    int f = BCDToInt(BYTE(time));
    return f + framesPerSecond * (s + 60 * m + 3600 * h);
}

cTime FramesToCTime(int frames, int framesPerSecond)
{
    if (framesPerSecond <= 0) return 0;
    int s = frames / framesPerSecond;
    int f = frames - s * framesPerSecond;
    int h = s / 3600;
    int m = (s % 3600) / 60;
    int sec = (s % 3600) % 60;
    return (cTime(IntToBCD(h)) << 24) | (cTime(IntToBCD(m)) << 16) | (cTime(IntToBCD(sec)) << 8) |
           cTime(IntToBCD(f));
}

int64_t cTimeToMicroseconds(cTime t, double frameRate)
{
    if (t == 0 || frameRate == 0.0) return 0;
    int seconds = BCDToInt(BYTE(t >> 8));
    if (seconds < 0 || seconds > 59) return 0;
    int minutes = BCDToInt(BYTE(t >> 16));
    if (minutes < 0 || minutes > 59) return 0;
    int hours = BCDToInt(BYTE(t >> 24));
    if (hours < 0) return 0;
    int frames = BCDToInt(BYTE(t));
    if (frames < 0 || !(double(frames) < frameRate)) return 0;
    int64_t whole = (int64_t(seconds) + 60 * int64_t(minutes) + 3600 * int64_t(hours)) * 1000000;
    return whole + int(double(frames) / frameRate * 1000000.0);
}

cTime CharToCTime(const char* str)
{
    if (!str || !*str) return 0;
    char* copy = strdup(str);
    if (!copy) return 0;
    cTime result = 0;
    int fields = 0;
    char* fieldStart = copy;
    for (char* p = copy;; ++p) {
        char c = *p;
        if (c == ':' || c == ';' || c == '\0') {
            *p = '\0';
            int v = atoi(fieldStart);
            if (v < 0 || v > 99) break;
            result = (result << 8) | IntToBCD(v);
            ++fields;
            if (fields == 4 || c == '\0') break;
            fieldStart = p + 1;
        }
    }
    free(copy);
    return fields == 4 ? result : 0;
}

cTime VdcpTimeToCTime(BYTE* vdcpTc)
{
    return cTime(vdcpTc[0]) | (cTime(vdcpTc[1]) << 8) | (cTime(vdcpTc[2]) << 16) | (cTime(vdcpTc[3]) << 24);
}

char* CopyParam(const char* source)
{
    if (!source || !*source) return nullptr;
    return strdup(source);
}

void CreateErrorMsg(char** dest, const char* msg, ...)
{
    if (!dest) return;
    free(*dest);
    *dest = nullptr;
    char buf[1024];
    va_list args;
    va_start(args, msg);
    vsnprintf(buf, sizeof(buf), msg, args);   // longer texts are truncated
    va_end(args);
    *dest = CopyParam(buf);
}

int xioctl(int fd, unsigned long request, void* arg)
{
    int r;
    do {
        r = Board::Current().Ioctl(fd, request, arg);
    } while (r == -1 && errno == EINTR);
    return r;
}

int open_dev(const char* name_dev)
{
    struct stat st;
    Board& board = Board::Current();
    if (board.Stat(name_dev, &st) != 0) return -1;
    if (!S_ISCHR(st.st_mode)) return -1;
    return board.Open(name_dev, O_RDWR | O_NONBLOCK);
}

bool query_dev_caps(int dev, int reqCaps)
{
    v4l2_capability cap;
    memset(&cap, 0, sizeof(cap));
    if (xioctl(dev, VIDIOC_QUERYCAP, &cap) == -1) return false;
    if (!(cap.capabilities & uint32_t(reqCaps))) return false;
    return (cap.capabilities & V4L2_CAP_STREAMING) != 0;
}
