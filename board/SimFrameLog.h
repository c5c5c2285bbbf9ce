// SimFrameLog: the simulated board's as-run record of one output, and the
// picture and sound measures it holds. Internal to board/.
//
// One 616-byte little-endian record per frame period:
//   0 u64 period since streaming started     8 u64 CLOCK_MONOTONIC on-air time, ns
//  16 u32 flags (bit 0 repeat, bit 1 audio not on air)   20 u32 reserved, 0
//  24 f32 x 4 RMS of audio channels 0..3 (0.0 .. 1.0 of full scale)
//  40 u8 x 576 mean luma of each cell of a 32 x 18 grid, row by row
//
// Used by one clock thread at a time; no lock. Appends go to a user-space
// buffer, so a record costs a copy; the file is written at least once a
// second (of on-air time) and at Close.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

class SimFrameLog {
public:
    static constexpr size_t kRecordBytes = 616;
    static constexpr int kThumbWidth = 32;
    static constexpr int kThumbHeight = 18;
    static constexpr uint32_t kFlagRepeat = 1u << 0;
    static constexpr uint32_t kFlagAudioOff = 1u << 1;

    SimFrameLog() = default;
    ~SimFrameLog();
    SimFrameLog(const SimFrameLog&) = delete;
    SimFrameLog& operator=(const SimFrameLog&) = delete;

    // Creates (or empties) the file; false, logged, when it cannot.
    bool Open(const std::string& path);
    void Append(uint64_t period, uint64_t timeNs, uint32_t flags, const float rms[4],
                const uint8_t thumb[kThumbWidth * kThumbHeight]);
    // Writes what is buffered and closes the file.
    void Close();

    // Mean luma (rounded) of each cell of the grid over a UYVY picture.
    static void Thumbnail(const uint8_t* uyvy, int width, int lines, uint8_t thumb[kThumbWidth * kThumbHeight]);
    // RMS of each of the first four channels of interleaved S32 audio.
    static void Rms(const int32_t* audio, size_t frames, unsigned channels, float rms[4]);

private:
    void Fail(const char* what);

    FILE* file = nullptr;
    std::string path;
    char buffer[64 * 1024];
    uint64_t lastFlushNs = 0;
    bool flushedOnce = false;
};
