// FrameQueue: decoded pictures or sample frames from a decoder thread to
// delivery. A ring of at most FRAME_QUEUE_SIZE entries; with keep_last the
// entry at rindex is the frame last handed out, kept referenced until the
// next advance. Internal to the media engine; its operations are PlayHead's
// frame_queue_*.
//
// One producer (writes at windex) and one consumer (advances rindex); the
// consumer side is serialised by the playhead's readLock.
#pragma once

#include "media/Channel_Definitions.h"
#include "media/PacketQueue.h"

#include <condition_variable>
#include <mutex>

constexpr int FRAME_QUEUE_SIZE = 50;

typedef struct tag_FrameQueue {
    Frame queue[FRAME_QUEUE_SIZE];
    int rindex = 0;
    int windex = 0;
    int size = 0;           // filled entries, the kept last one included
    int max_size = 0;
    int keep_last = 0;
    int rindex_shown = 0;   // 1 once the entry at rindex was handed out
    // Guards rindex, windex, size and rindex_shown; taken after readLock.
    std::mutex* mutex = nullptr;
    std::condition_variable* cond = nullptr;  // an entry was pushed or released
    PacketQueue* pktq = nullptr;  // its abort flag also ends waits on this queue
} FrameQueue;
