// Timecode and BCD conversions, error-text helpers and the V4L2 helpers used
// wherever a video node is probed or driven. None of them log.
#pragma once

#include <cstdint>

typedef uint8_t BYTE;
typedef uint64_t DWORD;   // as an address: IPv4, network byte order, low 32 bits
typedef int SOCKET;       // -1: none
// Four BCD bytes, most significant first: hours, minutes, seconds, frames.
// 0 stands both for "no timecode" and for a failed conversion.
typedef uint32_t cTime;

int BCDToInt(BYTE val);                 // -1 when either nibble is above 9
BYTE IntToBCD(int val);                 // 0xFF outside 0..99
int CTimeToFrames(cTime time, int framesPerSecond);
cTime FramesToCTime(int frames, int framesPerSecond);   // a rate of 0 or less gives 0
int64_t cTimeToMicroseconds(cTime t, double frameRate);
cTime CharToCTime(const char* str);
cTime VdcpTimeToCTime(BYTE* vdcpTc);    // wire order: frames, seconds, minutes, hours

// Heap copy (free with free); null for a null or empty source.
char* CopyParam(const char* source);
// Replaces *dest (freed) by a heap copy of the formatted text (truncated to
// 1023 characters); null for an empty text. Null dest: nothing.
void CreateErrorMsg(char** dest, const char* msg, ...) __attribute__((format(printf, 2, 3)));

// The V4L2 helpers go through the current Board.
int xioctl(int fd, unsigned long request, void* arg);   // retried on EINTR
int open_dev(const char* name_dev);                     // -1 unless a character device that opens
bool query_dev_caps(int dev, int reqCaps);
