// PacketQueue: demuxed packets from a clip's read thread to one decoder.
// Internal to the media engine; its operations are PlayHead's packet_queue_*.
//
// One producer (the read thread) and one consumer (the decoder). The
// counters are atomics so that the read thread's read-ahead test and the
// decoder's empty test may read them without the queue's mutex; they are
// only changed under it.
#pragma once

#include "media/Channel_Definitions.h"

extern "C" {
#include <libavutil/fifo.h>
}

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

typedef struct tag_PacketQueue {
    AVFifo* pkt_list = nullptr;              // MyAVPacketList entries
    std::atomic<int> nb_packets{0};          // entries queued
    std::atomic<int> size{0};                // packet bytes queued plus 16 per entry
    std::atomic<int64_t> duration{0};        // sum of packet durations, stream time base
    std::atomic<int> abort_request{1};       // 1 until started, and after an abort
    std::atomic<int> serial{0};              // generation of the queued packets
    // Guards pkt_list and every change of the fields above; taken after the
    // playhead's readLock, never together with another queue's mutex.
    std::mutex* mutex = nullptr;
    std::condition_variable* cond = nullptr; // a packet arrived, or the queue was aborted
} PacketQueue;
