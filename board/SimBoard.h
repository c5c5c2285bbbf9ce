// SimBoard: a simulated video board that behaves like the real drivers as far
// as the server relies on them. Internal to board/ except for the public
// methods below, which tests and tools use to observe the board and to inject
// faults.
//
// Video nodes. /dev/video0 .. are the outputs, then the inputs. Every open
// gets a real descriptor of its own (a memfd), so descriptors never collide
// with other files of the process. REQBUFS sizes the memfd of the opener to
// hold the buffers (each at a page-aligned offset) and Mmap maps it, so the
// application's mappings are real shared memory that the board reads (output)
// and writes (capture) through a mapping of its own. Buffers are owned by the
// descriptor that requested them, as with videobuf2: other descriptors of the
// node get EBUSY for buffer calls.
//
// Formats. G_FMT reports UYVY at the configured width, height and field
// order; a buffer holds a picture in the layout the system builds for that
// field order (2 bytes a pixel, the height in lines for the whole-frame orders
// NONE, INTERLACED, SEQ_TB and SEQ_BT, twice the height for the others).
// G_PARM reports the time per frame as configured (1/25, 1001/30000, ...).
//
// Clocks. A streaming node has a clock thread owned by the board, started at
// STREAMON and joined at STREAMOFF, at close of the owning descriptor, or when
// the board goes. Frame period n starts at T0 + n * period on CLOCK_MONOTONIC,
// T0 being the STREAMON time: an absolute deadline, so the clock never
// drifts. A clock thread that wakes late runs every period that has passed,
// each with its own on-air time, as the hardware would have.
//  - Output: each period shows the next queued buffer and gives the
//    previously shown one back (DQBUF, select() for writing). A period with no
//    newly queued buffer shows the last picture again and counts a repeat.
//    With N buffers one is on air and up to N-1 wait, so an application that
//    stalls loses nothing for N-1 periods and then causes repeats.
//  - Capture: each period fills the next queued buffer with a moving test
//    picture (a luma ramp with a white bar that moves 8 pixels a period) and
//    gives it back (DQBUF, select() for reading); with no queued buffer the
//    period is dropped and counted.
//  - Free-running (clock: free-running): no pacing at all. An output shows a
//    buffer as soon as it is queued; a capture node fills one as soon as it is
//    queued. Meant for benchmarks; repeats are never counted.
//
// Audio. One sound card, index 1, named "SV7 Simulated Video Board"; card 0
// is an onboard card that is not the board's. PCM device N of the SV7 card
// is the audio of the video nodes whose number ends in digit N, playback for
// outputs and capture for inputs (the system derives hw:card,N from the last
// digit of the node name). Each PCM device has one substream per direction:
// a second open gets -EBUSY. When several nodes end in the same digit
// (/dev/video2 and /dev/video12) an open binds to the one opened most
// recently, which is the node a channel opens just before its PCM.
// The device offers interleaved access, 4 channels, 48000 Hz, S32_LE (24-bit
// converters in 32-bit containers, as SDI embedders deliver them); period
// size negotiation grants the requested size within 64..16384 frames (or what
// SetGrantedPeriodSize imposes); periods near 4 within 2..8.
// Writes and reads never block: the ring holds periods x period size frames;
// writei takes what fits and returns -EAGAIN when full. The PCM is clocked by
// its video node: each frame period of a running PCM consumes (playback) or
// produces (capture, a 1 kHz tone at -20 dBFS) one period. A playback PCM that
// has less than a period left when a period starts underruns: what is left
// plays, then the PCM stops in XRUN and writei returns -EPIPE until prepare,
// as with ALSA's default stop threshold. A capture PCM with no room overruns
// the same way. Capture starts with the first readi after prepare.
// Blocking mode is not modelled: every PCM handle behaves as non-blocking.
//
// Audio/video alignment. A prepared playback PCM does not start on its first
// write (ALSA's start threshold); it starts in the frame period in which the
// picture queued last before that first write goes on air. An application
// that writes each picture's audio right after queueing the picture (as the
// channels do) therefore has every picture's audio on air in the same frame
// period as the picture, from the first picture on and again after every
// underrun and prepare. With the four buffers queued at STREAMON, picture k
// written after the k-th DQBUF goes on air N-1 periods after it was queued.
//
// Outputs of an output node while streaming (both optional, from the config):
//  - frame-log: "<frame-log>/video<N>.frames", created at STREAMON, one
//    616-byte record per frame period (SimFrameLog), flushed at least once a
//    second and at STREAMOFF. Flags: bit 0 repeat; bit 1 audio not on air in
//    that period (PCM not running, or underrun).
//  - preview: "<preview>/video<N>.png", the picture on air once a second,
//    scaled down to at most 480 pixels wide (SimPreview).
//
// Locks, in the order they may be taken: a node's ctlMtx (serialises REQBUFS,
// STREAMON, STREAMOFF and teardown, held while a clock thread is joined), a
// node's tapMtx (held by the clock thread while the tap runs), a node's mtx
// (its queues, counters and the PCM bound to it), then either of the two
// leaves: boardMtx (the descriptor table, the PCM and parameter-object
// registries, the card and fault settings) and evMtx (select's wake-ups).
// Nothing is taken while a leaf is held. A clock thread never takes ctlMtx.
//
// All public methods are safe to call from any thread.
#pragma once

#include "board/Board.h"
#include "board/SimBoardConfig.h"
#include "board/SimFrameLog.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

class SimBoard : public Board {
public:
    explicit SimBoard(const SimBoardConfig& config);
    ~SimBoard() override;
    SimBoard(const SimBoard&) = delete;
    SimBoard& operator=(const SimBoard&) = delete;

    const SimBoardConfig& Config() const { return config; }

    // Node path of output `index` / input `index` ("/dev/video<N>").
    std::string OutputNode(int index) const;
    std::string InputNode(int index) const;
    int NodeCount() const { return int(nodes.size()); }

    // ---- observation (tests, tools) ----

    // One frame period of an output as it went on air. The pointers are valid
    // only during the tap call.
    struct ShownFrame {
        int node = -1;
        uint64_t period = 0;          // since STREAMON: 0, 1, 2, ...
        uint64_t timeNs = 0;          // CLOCK_MONOTONIC on-air time of the period
        bool repeat = false;          // no newly queued buffer: the last picture again
        bool audioOff = false;        // PCM not running or underrun in this period
        const uint8_t* picture = nullptr;   // UYVY, 2 * width bytes a line; null before any picture
        size_t pictureBytes = 0;
        int width = 0;
        int lines = 0;
        const int32_t* audio = nullptr;     // interleaved S32, `channels` per sample frame
        size_t audioFrames = 0;             // one period
        unsigned channels = 0;
        float rms[4] = {0, 0, 0, 0};        // 0.0 .. 1.0 of full scale
        uint8_t thumb[576] = {};            // mean luma of a 32 x 18 grid, row by row
    };
    // Called on the node's clock thread for every frame period; keep it short
    // and do not call the board from it. Replacing or clearing the tap waits
    // for a call in progress.
    using Tap = std::function<void(const ShownFrame&)>;
    void SetTap(int node, Tap tap);

    // Counters of a node's current (or last) streaming session, reset at STREAMON.
    struct NodeStats {
        bool streaming = false;
        uint64_t periods = 0;         // frame periods run
        uint64_t repeats = 0;         // output: periods with no newly queued buffer
        uint64_t audioUnderruns = 0;  // output: playback underruns
        uint64_t filled = 0;          // capture: buffers filled and given back
        uint64_t dropped = 0;         // capture: periods with no queued buffer
        unsigned buffers = 0;         // buffers granted at the last REQBUFS
    };
    NodeStats Stats(int node) const;
    // Waits until the node has run at least `periods` frame periods since its
    // STREAMON; false when `limit` passed first.
    bool WaitForPeriods(int node, uint64_t periods, std::chrono::milliseconds limit) const;

    // The PCM bound to a video node.
    struct PcmInfo {
        bool open = false;
        int device = -1;                        // N of hw:1,N
        snd_pcm_uframes_t requestedPeriodSize = 0;   // last value asked of SetPeriodSizeNear
        snd_pcm_uframes_t periodSize = 0;       // installed
        unsigned periods = 0;
        unsigned channels = 0;
        snd_pcm_state_t state = SND_PCM_STATE_OPEN;
    };
    PcmInfo PcmOf(int node) const;

    // Descriptors of this node that are open now.
    int OpenCount(int node) const;
    // Card index of the SV7 card.
    static constexpr int kSv7Card = 1;

    // ---- fault injection (tests) ----

    enum class VideoOp { GFmt, GParm, ReqBufs, QueryBuf, QBuf, DQBuf, StreamOn, StreamOff, Mmap, Select };
    // The `nth` call (1: the next one) of `op` on `node` and the `times - 1`
    // calls after it fail with `err`. QueryBuf counts calls, so failing at
    // index 2 of a fresh REQBUFS is nth = 3.
    void InjectFault(int node, VideoOp op, unsigned nth = 1, int err = EIO, unsigned times = 1);
    // REQBUFS on `node` grants at most `count` buffers (0: no limit).
    void GrantBuffers(int node, unsigned count);
    // A node that is removed fails stat() with ENOENT, as a missing device does.
    void RemoveNode(int nodeNumber);

    enum class PcmOp { Open, HwParams, Prepare };
    // Every call of `op` on PCM device `device` fails with `err` (negative,
    // as libasound returns it) until ClearPcmFaults.
    void InjectPcmFault(int device, PcmOp op, int err = -EIO);
    void ClearPcmFaults();
    // Without the SV7 card only the onboard card is enumerated.
    void SetSoundCardPresent(bool present);
    // SetPeriodSizeNear grants exactly `frames` whatever is asked (0: the
    // nearest allowed size to the request).
    void SetGrantedPeriodSize(snd_pcm_uframes_t frames);

    // ---- Board ----
    int Stat(const char* path, struct stat* st) override;
    int Open(const char* path, int flags) override;
    int Close(int fd) override;
    int Ioctl(int fd, unsigned long request, void* arg) override;
    void* Mmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset) override;
    int Munmap(void* addr, size_t length) override;
    int Select(int nfds, fd_set* readfds, fd_set* writefds, fd_set* exceptfds, struct timeval* timeout) override;

    int CardNext(int* card) override;
    int CardGetName(int card, char** name) override;
    int PcmOpen(snd_pcm_t** pcm, const char* name, snd_pcm_stream_t stream, int mode) override;
    int PcmClose(snd_pcm_t* pcm) override;
    int PcmPrepare(snd_pcm_t* pcm) override;
    snd_pcm_sframes_t PcmWritei(snd_pcm_t* pcm, const void* buffer, snd_pcm_uframes_t size) override;
    snd_pcm_sframes_t PcmReadi(snd_pcm_t* pcm, void* buffer, snd_pcm_uframes_t size) override;

    int HwParamsMalloc(snd_pcm_hw_params_t** params) override;
    void HwParamsFree(snd_pcm_hw_params_t* params) override;
    int HwParamsAny(snd_pcm_t* pcm, snd_pcm_hw_params_t* params) override;
    int HwParamsSetAccess(snd_pcm_t* pcm, snd_pcm_hw_params_t* params, snd_pcm_access_t access) override;
    int HwParamsSetPeriodSizeNear(snd_pcm_t* pcm, snd_pcm_hw_params_t* params, snd_pcm_uframes_t* val,
                                  int* dir) override;
    int HwParamsSetPeriodsNear(snd_pcm_t* pcm, snd_pcm_hw_params_t* params, unsigned int* val, int* dir) override;
    int HwParamsSetChannels(snd_pcm_t* pcm, snd_pcm_hw_params_t* params, unsigned int val) override;
    int HwParams(snd_pcm_t* pcm, snd_pcm_hw_params_t* params) override;
    int HwParamsGetFormat(const snd_pcm_hw_params_t* params, snd_pcm_format_t* format) override;

    int SwParamsMalloc(snd_pcm_sw_params_t** params) override;
    void SwParamsFree(snd_pcm_sw_params_t* params) override;
    int SwParamsCurrent(snd_pcm_t* pcm, snd_pcm_sw_params_t* params) override;
    int SwParamsSetTstampMode(snd_pcm_t* pcm, snd_pcm_sw_params_t* params, snd_pcm_tstamp_t mode) override;
    int SwParams(snd_pcm_t* pcm, snd_pcm_sw_params_t* params) override;

    int StatusMalloc(snd_pcm_status_t** status) override;
    void StatusFree(snd_pcm_status_t* status) override;

    // The device's audio format and limits.
    static constexpr unsigned kChannels = 4;
    static constexpr unsigned kRate = 48000;
    static constexpr snd_pcm_format_t kFormat = SND_PCM_FORMAT_S32_LE;

private:
    struct Fault {
        unsigned skip = 0;    // calls that still pass before the failures
        unsigned times = 0;   // failures left
        int err = 0;
    };

    // One open PCM substream; the handle the application holds points here.
    // Guarded by the mutex of the node it is bound to; device, stream and
    // node never change.
    struct Substream {
        int device = -1;
        snd_pcm_stream_t stream = SND_PCM_STREAM_PLAYBACK;
        int node = -1;
        snd_pcm_state_t state = SND_PCM_STATE_OPEN;
        snd_pcm_uframes_t requestedPeriodSize = 0;
        snd_pcm_uframes_t periodSize = 0;
        unsigned periods = 0;
        unsigned channels = 0;
        std::vector<int32_t> ring;   // periods * periodSize interleaved sample frames
        size_t head = 0;             // first sample frame held
        size_t fill = 0;             // sample frames held
        bool startTagSet = false;    // playback: the first write since prepare happened
        uint64_t startTag = 0;       // playback: the node's QBUF count at that write
        uint64_t toneFrame = 0;      // capture: test tone position
        size_t Capacity() const { return size_t(periods) * size_t(periodSize); }
    };

    enum class BufState { Dequeued, Queued, Busy, Done };
    struct Buffer {
        BufState state = BufState::Dequeued;
        uint32_t bytesused = 0;
        uint64_t queueSeq = 0;   // order of the QBUF that queued it
        uint32_t sequence = 0;   // frame period it was last shown or filled in
        uint64_t timeNs = 0;     // on-air / capture time of that period
    };

    struct Node {
        int number = 0;
        bool output = true;

        std::mutex ctlMtx;   // see the lock order above
        std::mutex tapMtx;   // guards tap
        Tap tap;

        mutable std::mutex mtx;   // guards everything below
        std::condition_variable cv;   // buffer done, buffer queued, stop, streaming change
        uint64_t openSeq = 0;        // when a descriptor of this node was last opened
        int openCount = 0;
        uint64_t ownerId = 0;        // the open that owns the buffers; 0: none
        int ownerFd = -1;
        uint64_t allocation = 0;     // bumped for every buffer allocation (tells old mappings apart)
        std::vector<Buffer> bufs;
        size_t bufLen = 0;           // bytes of one buffer
        size_t stride = 0;           // bufLen rounded up to pages: buffer i sits at i * stride
        uint8_t* boardMap = nullptr; // the board's own mapping of all buffers
        size_t boardMapLen = 0;
        int mappings = 0;            // the application's live mappings
        std::deque<unsigned> pending;   // queued, not yet shown / filled
        std::deque<unsigned> done;      // given back, not yet dequeued
        int onAir = -1;              // output: buffer on air
        uint64_t queueSeq = 0;       // QBUF counter
        bool streaming = false;
        bool stop = false;
        std::thread clock;
        NodeStats stats;
        std::unique_ptr<SimFrameLog> frameLog;   // while streaming, used by the clock thread only
        std::map<VideoOp, Fault> faults;
        unsigned grantLimit = 0;
        Substream* pcm = nullptr;    // the PCM bound to this node
    };

    // The descriptor table entry of one open.
    struct OpenFile {
        int fd = -1;
        int node = -1;
        uint64_t openId = 0;
        bool nonBlocking = false;
    };

    // ---- video ----
    // Node number for a path "/dev/video<N>" of this board, or -1. boardMtx held.
    int NodeOf(const char* path) const;
    // The open behind `fd`; false (errno EBADF) when it is not one of ours.
    bool Lookup(int fd, OpenFile& file) const;
    Node& NodeAt(int number) const { return *nodes[size_t(number)]; }
    // True (errno set) when a fault makes this call of `op` fail. node.mtx held.
    static bool Faulted(Node& node, VideoOp op);
    // A picture's lines in this board's layout, and the bytes of one buffer.
    int PictureLines() const;
    size_t PictureBytes() const { return size_t(2) * size_t(config.width) * size_t(PictureLines()); }
    uint64_t PeriodStartNs(uint64_t t0, uint64_t n) const;

    int ReqBufs(Node& node, const OpenFile& file, v4l2_requestbuffers* req);
    int QueryBuf(Node& node, v4l2_buffer* buf);
    int QBuf(Node& node, const OpenFile& file, v4l2_buffer* buf);
    int DQBuf(Node& node, const OpenFile& file, v4l2_buffer* buf);
    int StreamOn(Node& node, const OpenFile& file, const int* type);
    int StreamOff(Node& node, const OpenFile& file, const int* type);
    // Stops the clock and returns every buffer to the application. ctlMtx held.
    void StopStreaming(Node& node);
    // Frees the buffers (after StopStreaming). ctlMtx and mtx held. The
    // memory is released only with `truncate`, never under live mappings.
    void FreeBuffers(Node& node, bool truncate);
    void FillBufferInfo(const Node& node, unsigned index, v4l2_buffer* buf) const;
    void Notify(Node& node);   // node.mtx held

    // ---- clocks ----
    struct ClockState;   // what one clock thread keeps between periods
    void ClockThread(Node* node, uint64_t t0);
    void RunClock(Node& node, uint64_t t0);
    void OutputPeriod(Node& node, uint64_t n, uint64_t timeNs, ClockState& cs);
    void CapturePeriod(Node& node, uint64_t n, uint64_t timeNs);
    void FillTestPicture(uint8_t* picture, uint64_t n) const;

    // ---- audio ----
    // The PCM behind a handle, with its node; null when it is not one of ours.
    Substream* LookupPcm(snd_pcm_t* handle) const;
    // Consumes one period for an output period; false when nothing played. node.mtx held.
    bool PlayPeriod(Node& node, std::vector<int32_t>& out, size_t& frames);
    // Produces one period for a capture period. node.mtx held.
    void CapturePeriodAudio(Node& node);
    bool PcmFaulted(int device, PcmOp op, int& err) const;
    // Frees every PCM and parameter object still allocated (the board goes).
    void ReleaseAudio();

    const SimBoardConfig config;
    std::vector<std::unique_ptr<Node>> nodes;

    mutable std::mutex boardMtx;   // guards the members below; a leaf
    std::set<int> removedNodes;
    std::map<int, OpenFile> files;         // by descriptor
    uint64_t nextOpenId = 1;
    std::set<Substream*> pcms;
    std::set<void*> hwParams, swParams, statuses;
    std::map<void*, std::pair<int, uint64_t>> appMappings;   // address -> node, allocation
    std::map<std::pair<int, PcmOp>, int> pcmFaults;
    bool cardPresent = true;
    snd_pcm_uframes_t grantedPeriodSize = 0;

    mutable std::mutex evMtx;   // guards evGen; a leaf
    mutable std::condition_variable evCv;
    uint64_t evGen = 0;
};
