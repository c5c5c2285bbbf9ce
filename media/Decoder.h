// Decoder: one FFmpeg codec fed from one packet queue, run by its own thread
// (video) or by the clip's shared audio thread. Internal to the media engine;
// its operations are PlayHead's decoder_*.
#pragma once

#include "media/PacketQueue.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <thread>

typedef struct tag_Decoder {
    AVPacket* pkt = nullptr;            // owned; the packet being fed
    PacketQueue* queue = nullptr;
    AVCodecContext* avctx = nullptr;    // owned
    int pkt_serial = -1;                // serial of the packet last taken
    std::atomic<int> finished{0};       // serial whose end of stream the codec delivered; 0 while decoding
    int packet_pending = 0;
    std::condition_variable* empty_queue_cond = nullptr;  // woken when the queue runs empty
    int64_t start_pts = 0;
    AVRational start_pts_tb{0, 1};
    int64_t next_pts = 0;               // continuation of audio timestamps
    AVRational next_pts_tb{0, 1};
    std::thread* decoder_tid = nullptr; // owned
    // Set when the thread decoding this stream has returned, so that
    // delivery stops waiting for frames that will never come.
    std::atomic<bool> exited{false};
} Decoder;
