// SelvoDev: the base of every channel that drives one video channel of the
// board: a V4L2 node (output for playout, capture for recording) and the
// ALSA PCM device of the same board channel. It opens and configures both,
// maps, queues and streams the video buffers, and closes everything again;
// the derived class runs the device thread that moves the frames.
//
// Device media layout: pictures are packed UYVY 4:2:2, 2 * fWidth bytes a
// line, fHeight lines when isProgressive, else 2 * fHeight lines; audio is
// samplesPerFrame interleaved sample frames of sampleSize bytes (sChannels
// channels, audioFormat, sampleRate) per picture.
//
// No lock: OpenDevice/CloseDevice run while no device thread runs;
// PrepareDevice/CleanDevice run on the device thread. The fields set by
// OpenDevice are read by the device and playhead threads while open.
#pragma once

#include <alsa/asoundlib.h>
#include <linux/videodev2.h>

extern "C" {
#include <libavutil/samplefmt.h>
}

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// One memory-mapped streaming buffer of the video device.
struct SvBuffer {
    int index;       // V4L2 buffer index
    void* start;     // start of the mapping
    size_t length;   // length of the mapping, as the device reported it
};

class SelvoDev {
public:
    SelvoDev();
    virtual ~SelvoDev();

    // A playhead of this channel finished cueing (called on its read thread).
    virtual void ReportCueDone(int headIndex) = 0;
    // A playhead closed its stream at the end of the clip or its mark-out
    // (called on the thread that called GetVideoFrame).
    virtual void ReportStreamClosed(int headIndex) = 0;

    bool OpenDevice(const char* name, bool isInput);
    bool AudioSetup();
    // Every buffer it lists holds at least imgBuffSize bytes.
    size_t PrepareDevice(std::vector<SvBuffer>& bufList, unsigned int imgBuffSize);
    bool CleanDevice(std::vector<SvBuffer>& bufList);
    void CloseDevice();

    // The device thread's three steps, shared by every loop that drives the
    // device (call them on the device thread only).
    //
    // Waits up to `timeoutMs` for a buffer the device gives back (select for
    // reading on an input, for writing on an output) and dequeues it into
    // `buf`. 1: dequeued; 0: the wait timed out; -1: select was interrupted or
    // VIDIOC_DQBUF failed, errno tells why (EAGAIN: none ready yet). A select
    // failure other than EINTR still tries the dequeue, as a device may answer
    // it all the same.
    int WaitAndDequeue(v4l2_buffer& buf, int timeoutMs);
    // Queues a dequeued buffer again. With a picture, first copies `bytes` of
    // it into the buffer's mapping (when its index is one of `bufList`) and
    // sets bytes used. False when VIDIOC_QBUF fails (errno set).
    bool QueuePicture(v4l2_buffer& buf, const std::vector<SvBuffer>& bufList, const uint8_t* picture, size_t bytes);
    // Writes one frame of audio (samplesPerFrame sample frames). After an
    // underrun (-EPIPE) the PCM is prepared again and the frame written once
    // more, so the sound comes back. Returns what the last writei returned.
    snd_pcm_sframes_t WriteAudioFrame(const void* audio);

    bool isOpened = false;
    std::string vidDevName;
    uint8_t portNum = 0;
    bool isInput = false;
    int portDesc = -1;
    int bufType = -1;
    bool streamOn = false;
    snd_pcm_t* audioDev = nullptr;
    snd_pcm_hw_params_t* audioHwParams = nullptr;
    snd_pcm_status_t* audioStatus = nullptr;
    AVSampleFormat audioFormat = AV_SAMPLE_FMT_NONE;
    int64_t sampleRate = 48000;
    snd_pcm_uframes_t samplesPerFrame = 1920;
    unsigned int sampleSize = 8;
    unsigned int sChannels = 4;
    bool isProgressive = false;
    bool upperFiledFirst = true;
    int64_t fWidth = 1920;
    int64_t fHeight = 1080;
    double frameRate = 25.0;

    // Picture lines in the device layout (fHeight, or twice that).
    int64_t PictureLines() const { return isProgressive ? fHeight : 2 * fHeight; }
    // Bytes of one picture / of one frame of audio in the device layout.
    size_t PictureBytes() const { return size_t(2 * fWidth * PictureLines()); }
    size_t AudioBytesPerFrame() const { return size_t(samplesPerFrame) * sampleSize; }
};
