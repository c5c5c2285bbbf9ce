// VideoState: everything of one loaded clip. Created by PlayHead::stream_open,
// freed by PlayHead::stream_close. Internal to the media engine.
//
// Who touches what:
//   - the read thread owns ic, eof, last_paused, the chosen streams and the
//     packet queues' producer side;
//   - delivery (GetVideoFrame/GetAudioFrame, under the playhead's readLock)
//     owns the consumer side of the frame queues, the audio_buf* block, the
//     per-slot conversion buffers, swr_ctx, audio_src and img_convert_ctx;
//   - the read thread's seek and cue checks also take readLock before they
//     touch frame queues or the audio block;
//   - the flags marked atomic are read across threads without a lock.
#pragma once

#include "media/Channel_Definitions.h"
#include "media/Decoder.h"
#include "media/FrameQueue.h"
#include "media/PacketQueue.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <thread>

constexpr int MAX_AUDIO_STREAMS = 4;

typedef struct tag_VideoState {
    std::thread* read_tid = nullptr;
    const AVInputFormat* iformat = nullptr;
    std::atomic<int> abort_request{0};
    // Set once the read thread has chosen and opened the streams (or failed
    // to): until then an empty picture queue is not the end of the clip.
    std::atomic<bool> setup_done{false};
    int force_refresh = 0;
    // The last GetVideoFrame found no picture ready while playing (the decoder
    // fell behind): the next audio frame is held as well, as silence, so that
    // sound stays in step with the pictures.
    int video_held = 0;
    std::atomic<int> paused{0};
    int last_paused = 0;
    int queue_attachments_req = 0;
    std::atomic<int> seek_req{0};
    int seek_flags = 0;
    int64_t seek_pos = 0;
    int64_t seek_rel = 0;
    AVFormatContext* ic = nullptr;
    int realtime = 0;

    FrameQueue pictq;
    FrameQueue subpq;
    FrameQueue resSampQ;
    bool resSampQInited = false;   // resSampQ was set up as the separate set queue

    Decoder viddec;
    Decoder subdec;

    int curStreamIndex = 0;
    int nb_audStreams = 0;
    int audStreamsId[MAX_AUDIO_STREAMS] = {-1, -1, -1, -1};
    AVStream** audStreams = nullptr;
    Decoder** audDecoders = nullptr;
    PacketQueue** audQueues = nullptr;
    FrameQueue** audSmpQueues = nullptr;
    uint8_t** audio_bufs = nullptr;            // each slot's current samples
    unsigned int* audio_buf_sizes = nullptr;   // their byte count
    int* audio_buf_indices = nullptr;          // 1: audio_bufs[k] is the slot's own buffer; 0: borrowed from a frame
    uint8_t** audio_own_bufs = nullptr;        // each slot's conversion buffer, reused block to block
    unsigned int* audio_own_sizes = nullptr;   // their allocated sizes
    std::thread* audio_thread = nullptr;

    uint8_t* audio_buf = nullptr;      // bytes being delivered
    unsigned int audio_buf_size = 0;
    int audio_buf_index = 0;
    uint8_t* mix_buf = nullptr;        // the mixing buffer of a clip with several slots
    unsigned int mix_buf_alloc = 0;
    int muted = 0;

    AudioParams audio_src;
    AudioParams audio_tgt;
    SwrContext* swr_ctx = nullptr;

    int subtitle_stream = -1;
    AVStream* subtitle_st = nullptr;
    PacketQueue subtitleq;

    int video_stream = -1;
    AVStream* video_st = nullptr;
    PacketQueue videoq;

    SwsContext* img_convert_ctx = nullptr;
    // Lines of vertical blanking coded above the picture (IMX/D-10 clips),
    // left out when the picture is scaled for the device.
    int vbi_lines = 0;

    int eof = 0;
    char* filename = nullptr;
    int step = 0;
    std::condition_variable* continue_read_thread = nullptr;
} VideoState;
