// Small plain records of the playhead's pipeline: one packet-queue entry, the
// audio format of a conversion end, and one decoded picture or sample frame.
// Internal to the media engine; the queues that hold them have headers of
// their own (PacketQueue.h, FrameQueue.h).
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/rational.h>
#include <libavutil/samplefmt.h>
}

#include <cstdint>

// One entry of a packet queue. Copied byte-wise through the queue's FIFO, so
// it stays a trivially copyable record.
typedef struct tag_MyAVPacketList {
    AVPacket* pkt;   // owned by the entry while it is queued
    int serial;      // the queue's generation when the packet was added
} MyAVPacketList;

// The format at one end of an audio conversion.
typedef struct tag_AudioParams {
    int freq = 0;                                 // Hz
    int channels = 0;
    int64_t channel_layout = 0;                   // FFmpeg channel mask
    enum AVSampleFormat fmt = AV_SAMPLE_FMT_NONE;
    int frame_size = 0;                           // bytes of one sample frame over all channels
    int bytes_per_sec = 0;
} AudioParams;

// One entry of a frame queue.
typedef struct tag_Frame {
    AVFrame* frame = nullptr;   // owned; decoded picture or sample frame
    AVSubtitle sub{};           // stays empty: subtitles are never decoded
    int serial = 0;             // packet-queue serial of the packet it came from
    double pts = 0.0;           // seconds; NaN when the frame has none
    double duration = 0.0;      // seconds
    int64_t pos = -1;           // byte position of the source packet
    int width = 0;
    int height = 0;
    int format = -1;
    AVRational sar{0, 1};
    int uploaded = 0;           // delivered to the device, or dropped while cueing
    int flip_v = 0;             // the delivered picture's first line stride was negative
} Frame;
