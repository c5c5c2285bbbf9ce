// PlayHead: plays one clip file into one channel (SelvoDev). It has no clock:
// the channel's device thread pulls one picture (GetVideoFrame) and one
// frame's worth of audio (GetAudioFrame) per output frame. Behind that, per
// loaded clip, a read thread demuxes and cues, a video thread decodes
// pictures and an audio thread decodes up to four audio streams in lock step.
//
// Thread safety: every public operation may be called from any thread. The
// channel learns of a completed cue through ReportCueDone (on the clip's
// read thread, readLock not held) and of the end of a clip through
// ReportStreamClosed (on the thread inside GetVideoFrame, readLock held).
// Closing a clip waits for its read thread, so a channel must not Stop or
// reload a playhead while holding a lock its ReportCueDone takes.
//
// Lock order inside the media engine: readLock, then one queue's mutex
// (PacketQueue::mutex or FrameQueue::mutex, never two at once); logMtx last.
#pragma once

#include "media/Channel_Definitions.h"
#include "media/Decoder.h"
#include "media/FrameQueue.h"
#include "media/PacketQueue.h"
#include "media/VideoState.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
}

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

class SelvoDev;

class PlayHead {
public:
    enum PlayheadState {
        ph_NotCued = 0,
        ph_CueInProgress = 1,
        ph_Cued = 2,
        ph_Paused = 3,
        ph_Playback = 4,
    };

    PlayHead(SelvoDev* device, int index);
    ~PlayHead();
    PlayHead(const PlayHead&) = delete;
    PlayHead& operator=(const PlayHead&) = delete;

    PlayheadState State() const { return state.load(); }
    // True unless the head is paused or playing.
    bool ReadyToCue() const;
    // A clip is loaded and paused.
    bool IsPaused();

    // Starts cueing `filePath` from `startTc` for `durationTc` microseconds (0:
    // from the beginning / to the end). True when the read thread started.
    bool LoadFile(const std::string& filePath, int64_t startTc, int64_t durationTc);
    void SetToPlay();
    void SetToPause();
    // Closes the loaded clip; never reports.
    void Stop();
    // Seeks to `tc` microseconds; with reCue the clip is cued again there.
    bool GoToTime(int64_t tc, bool reCue);
    // Moves the end point to `microSec` microseconds.
    bool UpdateEndTime(int64_t microSec);
    // Seconds between the start and the end point; 0.0 without an end point.
    double Duration();

    // Writes the next picture (UYVY at the device's size, `pitch` bytes a line)
    // and returns its time in seconds, or -1.0 when no new picture was written.
    double GetVideoFrame(uint8_t* pixels, int pitch);
    // Fills `len` bytes of interleaved device-format audio (silence while
    // paused); `stream` may be null to consume without writing. Returns the
    // bytes produced; 0 (buffer untouched) for a clip without audio.
    int GetAudioFrame(uint8_t* stream, int len);

    void toggle_pause();
    void stream_toggle_pause();
    void toggle_mute();
    void step_to_next_frame();

    // ---- Pipeline building blocks: used by the playhead's own threads, public
    // so that the queue rules can be exercised on their own.
    static int packet_queue_init(PacketQueue* q);
    static void packet_queue_start(PacketQueue* q);
    static int packet_queue_put(PacketQueue* q, AVPacket* pkt);
    static int packet_queue_put_private(PacketQueue* q, AVPacket* pkt);
    static int packet_queue_put_nullpacket(PacketQueue* q, AVPacket* pkt, int stream_index);
    static int packet_queue_get(PacketQueue* q, AVPacket* pkt, int block, int* serial);
    static void packet_queue_flush(PacketQueue* q);
    static void packet_queue_abort(PacketQueue* q);
    static void packet_queue_destroy(PacketQueue* q);

    static int frame_queue_init(FrameQueue* f, PacketQueue* pktq, int max_size, int keep_last);
    static Frame* frame_queue_peek(FrameQueue* f);
    static Frame* frame_queue_peek_last(FrameQueue* f);
    static Frame* frame_queue_peek_writable(FrameQueue* f);
    static Frame* frame_queue_peek_readable(FrameQueue* f);
    static void frame_queue_push(FrameQueue* f);
    static void frame_queue_next(FrameQueue* f);
    static int frame_queue_nb_remaining(FrameQueue* f);
    static void frame_queue_signal(FrameQueue* f);
    static void frame_queue_unref_item(Frame* vp);
    static void frame_queue_destory(FrameQueue* f);

    static int decoder_init(Decoder* d, AVCodecContext* avctx, PacketQueue* queue,
                            std::condition_variable* empty_queue_cond);
    static int decoder_start(Decoder* d, int (*fn)(void*), const char* thread_name, void* arg);
    int decoder_decode_frame(Decoder* d, AVFrame* frame, AVSubtitle* sub);
    static void decoder_abort(Decoder* d, FrameQueue* fq);
    static void decoder_destroy(Decoder* d);

private:
    using ReadLock = std::unique_lock<std::recursive_mutex>;

    // ---- pipeline (PlayHeadPipeline.cpp)
    bool stream_open(const char* filename, const AVInputFormat* iformat);
    void stream_close();
    int stream_component_open(int stream_index);
    void stream_component_close(int stream_index);
    static int read_thread(void* arg);
    static int video_thread(void* arg);
    static int audio_thread(void* arg);
    static int subtitle_thread(void* arg);
    int read_thread_local();
    int video_thread_local();
    int audio_thread_local();
    int subtitle_thread_local();
    static int decode_interrupt_callback(void* ctx);
    int audio_queue_size();
    bool audio_streams_finished();
    int put_audio_stream_packet(int stream_index, AVPacket* pkt);
    static int is_realtime(AVFormatContext* s);
    static AVDictionary** setup_find_stream_info_opts(AVFormatContext* s, AVDictionary* codec_opts);
    static AVDictionary* filter_codec_opts(AVDictionary* opts, enum AVCodecID codec_id, AVFormatContext* s,
                                           AVStream* st, const AVCodec* codec);
    // Opens every selected audio stream; a stream that cannot be opened is
    // dropped from the selection.
    void open_audio_streams();
    // Queues end-of-stream packets into every open packet queue.
    void queue_end_packets(AVPacket* pkt);
    // The cue checks, run under readLock. True when the cue completed.
    bool cue_checks();
    bool cue_video_ready();
    bool cue_audio_ready();
    // Waits `ms` on continue_read_thread (woken early by a starving decoder).
    void read_wait(std::mutex& waitMutex, int ms);
    // Takes readLock; on the clip's own read thread it gives up (false) once
    // the clip is being closed, because stream_close holds readLock while it
    // joins that thread.
    bool lock_read(ReadLock& lk);
    // True on the read thread of this playhead's loaded clip.
    bool on_read_thread() const;

    // ---- delivery (PlayHead.cpp)
    double video_upload(uint8_t* pixels, int pitch);
    int audio_decode_frame();
    // Next frame of an audio sample queue with the current serial, waited
    // for at most until `deadline`; null when none can come in time.
    Frame* audio_slot_frame(int slot, std::chrono::steady_clock::time_point deadline);
    Frame* audio_set_entry(std::chrono::steady_clock::time_point deadline);
    int audio_convert_slot(int slot, AVFrame* frame);
    bool video_ended();
    bool audio_slot_ended(int slot);

    // Settings and state, in the order of the playhead's design. The flags
    // read across threads are atomics; the rest is guarded by readLock or
    // belongs to the read thread, as noted in VideoState.h.
    SelvoDev* svDev;
    int playHeadIndex;
    int video_disable = 0;
    int audio_disable = 0;
    int subtitle_disable = 1;
    int mix_audio = 1;
    VideoState* is = nullptr;
    AVDictionary* format_opts = nullptr;
    AVDictionary* codec_opts = nullptr;
    const char** wanted_stream_spec = nullptr;   // AVMEDIA_TYPE_NB entries, all null
    int64_t start_time = AV_NOPTS_VALUE;
    int64_t duration = AV_NOPTS_VALUE;
    int genpts = 0;
    int fast = 0;
    int lowres = 0;
    int decoder_reorder_pts = -1;
    int autoexit = 1;
    int loop = 1;
    int infinite_buffer = -1;
    const char* audio_codec_name = nullptr;
    const char* subtitle_codec_name = nullptr;
    const char* video_codec_name = nullptr;
    int find_stream_info = 1;
    std::atomic<PlayheadState> state{ph_NotCued};
    std::atomic<bool> waitForCue{false};   // cleared only by the read thread
    bool videoReady = false;
    bool audioReady = false;
    double start_pts = 0.0;
    double end_pts = -1.0;
    // Serialises delivery, transport, seeking, the cue checks and teardown:
    // guards `is` (the pointer and the clip's consumer side), start_pts,
    // end_pts, waitForCue, videoReady, audioReady. Recursive because
    // GetVideoFrame closes the clip and the channel's ReportStreamClosed may
    // call back. The read thread only ever try-locks it, so that it can give
    // up when its clip is being closed.
    std::recursive_mutex readLock;
};
