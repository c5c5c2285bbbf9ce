// The simulated board driven directly through its V4L2 and ALSA calls.
#include "board/SimBoard.h"

#include "fixtures/FrameLog.h"
#include "fixtures/TempDir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

SimBoardConfig SmallConfig(int outputs = 1, int inputs = 1)
{
    SimBoardConfig c;
    c.outputs = outputs;
    c.inputs = inputs;
    c.width = 64;
    c.height = 36;
    c.field = V4L2_FIELD_NONE;
    return c;
}

// One descriptor of a node with its buffers, driven call by call.
struct RawNode {
    SimBoard& board;
    int fd = -1;
    uint32_t type;
    std::vector<std::pair<void*, size_t>> maps;

    RawNode(SimBoard& b, int node, bool output) : board(b)
    {
        fd = board.Open(("/dev/video" + std::to_string(node)).c_str(), O_RDWR | O_NONBLOCK);
        type = output ? V4L2_BUF_TYPE_VIDEO_OUTPUT : V4L2_BUF_TYPE_VIDEO_CAPTURE;
    }
    ~RawNode()
    {
        for (auto& m : maps) board.Munmap(m.first, m.second);
        if (fd >= 0) board.Close(fd);
    }
    int ReqBufs(unsigned count)
    {
        v4l2_requestbuffers req{};
        req.count = count;
        req.type = type;
        req.memory = V4L2_MEMORY_MMAP;
        return board.Ioctl(fd, VIDIOC_REQBUFS, &req) == 0 ? int(req.count) : -errno;
    }
    uint8_t* Map(unsigned index)
    {
        v4l2_buffer buf{};
        buf.type = type;
        buf.memory = V4L2_MEMORY_MMAP;
        buf.index = index;
        if (board.Ioctl(fd, VIDIOC_QUERYBUF, &buf) != 0) return nullptr;
        void* p = board.Mmap(nullptr, buf.length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, buf.m.offset);
        if (p == MAP_FAILED) return nullptr;
        maps.emplace_back(p, buf.length);
        return static_cast<uint8_t*>(p);
    }
    int Queue(unsigned index)
    {
        v4l2_buffer buf{};
        buf.type = type;
        buf.memory = V4L2_MEMORY_MMAP;
        buf.index = index;
        return board.Ioctl(fd, VIDIOC_QBUF, &buf) == 0 ? 0 : -errno;
    }
    // Index of the dequeued buffer, or -errno.
    int Dequeue(v4l2_buffer* out = nullptr)
    {
        v4l2_buffer buf{};
        buf.type = type;
        buf.memory = V4L2_MEMORY_MMAP;
        if (board.Ioctl(fd, VIDIOC_DQBUF, &buf) != 0) return -errno;
        if (out) *out = buf;
        return int(buf.index);
    }
    int Stream(bool on)
    {
        int t = int(type);
        return board.Ioctl(fd, on ? VIDIOC_STREAMON : VIDIOC_STREAMOFF, &t) == 0 ? 0 : -errno;
    }
    // select() on this descriptor alone; returns select's result.
    int Wait(bool forWriting, long usec)
    {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(fd, &set);
        timeval tv{usec / 1000000, usec % 1000000};
        return forWriting ? board.Select(fd + 1, nullptr, &set, nullptr, &tv)
                          : board.Select(fd + 1, &set, nullptr, nullptr, &tv);
    }
};

TEST(SimBoardFormat, ReportsConfiguredGeometryFieldAndTimePerFrame)
{
    struct Case {
        int width, height;
        v4l2_field field;
        unsigned rateNum, rateDen;
        uint32_t lines;                 // in a buffer
        uint32_t tpfNum, tpfDen;
    } cases[] = {
        {1920, 1080, V4L2_FIELD_INTERLACED, 25, 1, 1080, 1, 25},
        {720, 243, V4L2_FIELD_ALTERNATE, 30000, 1001, 486, 1001, 30000},
        {1280, 720, V4L2_FIELD_NONE, 50, 1, 720, 1, 50},
    };
    for (const Case& c : cases) {
        SimBoardConfig cfg = SmallConfig();
        cfg.width = c.width;
        cfg.height = c.height;
        cfg.field = c.field;
        cfg.frameRateNum = c.rateNum;
        cfg.frameRateDen = c.rateDen;
        for (int node = 0; node < 2; ++node) {
            SimBoard board(cfg);
            RawNode n(board, node, node == 0);
            v4l2_format fmt{};
            fmt.type = n.type;
            ASSERT_EQ(0, board.Ioctl(n.fd, VIDIOC_G_FMT, &fmt));
            EXPECT_EQ(uint32_t(c.width), fmt.fmt.pix.width);
            EXPECT_EQ(uint32_t(c.height), fmt.fmt.pix.height);
            EXPECT_EQ(uint32_t(c.field), fmt.fmt.pix.field);
            EXPECT_EQ(uint32_t(V4L2_PIX_FMT_UYVY), fmt.fmt.pix.pixelformat);
            EXPECT_EQ(2u * c.width * c.lines, fmt.fmt.pix.sizeimage);
            v4l2_streamparm parm{};
            parm.type = n.type;
            ASSERT_EQ(0, board.Ioctl(n.fd, VIDIOC_G_PARM, &parm));
            const v4l2_fract& tpf = node == 0 ? parm.parm.output.timeperframe : parm.parm.capture.timeperframe;
            EXPECT_EQ(c.tpfNum, tpf.numerator);
            EXPECT_EQ(c.tpfDen, tpf.denominator);
            // The other direction's buffer type is not this node's.
            fmt.type = node == 0 ? V4L2_BUF_TYPE_VIDEO_CAPTURE : V4L2_BUF_TYPE_VIDEO_OUTPUT;
            EXPECT_EQ(-1, board.Ioctl(n.fd, VIDIOC_G_FMT, &fmt));
            EXPECT_EQ(EINVAL, errno);
        }
    }
}

TEST(SimBoardBuffers, QueueRulesFollowVideobuf2)
{
    SimBoard board(SmallConfig());
    RawNode n(board, 0, true);
    RawNode other(board, 0, true);
    ASSERT_EQ(4, n.ReqBufs(4));
    EXPECT_EQ(-EBUSY, other.ReqBufs(4)) << "buffers belong to the descriptor that asked for them";
    EXPECT_EQ(-EBUSY, other.Queue(0));
    ASSERT_NE(nullptr, n.Map(0));
    EXPECT_EQ(-EBUSY, n.ReqBufs(2)) << "no new buffers while old ones are mapped";
    EXPECT_EQ(-EINVAL, n.Queue(4));
    EXPECT_EQ(-EINVAL, n.Dequeue()) << "nothing to dequeue before streaming";
    ASSERT_EQ(0, n.Queue(0));
    EXPECT_EQ(-EINVAL, n.Queue(0)) << "a buffer is queued once";
    int t = int(V4L2_BUF_TYPE_VIDEO_CAPTURE);
    EXPECT_EQ(-1, board.Ioctl(n.fd, VIDIOC_STREAMON, &t));
    ASSERT_EQ(0, n.Stream(true));
    // One buffer queued: it goes on air and stays there; nothing comes back.
    ASSERT_TRUE(board.WaitForPeriods(0, 3, 5s));
    EXPECT_EQ(-EAGAIN, n.Dequeue());
    ASSERT_EQ(0, n.Stream(false));
    // Streaming off gives every buffer back to the application.
    EXPECT_EQ(0, n.Queue(0));
}

TEST(SimBoardOutput, ShowsTheApplicationsMemoryAndCountsRepeats)
{
    SimBoard board(SmallConfig());
    RawNode n(board, 0, true);
    ASSERT_EQ(2, n.ReqBufs(2));
    uint8_t* b0 = n.Map(0);
    uint8_t* b1 = n.Map(1);
    ASSERT_TRUE(b0 && b1);
    const size_t bytes = 2 * 64 * 36;
    memset(b0, 0x40, bytes);
    memset(b1, 0xA0, bytes);
    std::mutex m;
    std::vector<std::pair<bool, uint8_t>> shown;   // repeat, luma of the thumbnail's first cell
    board.SetTap(0, [&](const SimBoard::ShownFrame& f) {
        std::lock_guard<std::mutex> lk(m);
        shown.emplace_back(f.repeat, f.thumb[0]);
    });
    ASSERT_EQ(0, n.Queue(0));
    ASSERT_EQ(0, n.Queue(1));
    ASSERT_EQ(0, n.Stream(true));
    // The tap of a period runs before the next period starts: after 7 periods
    // the first 6 have been tapped.
    ASSERT_TRUE(board.WaitForPeriods(0, 7, 5s));
    // Nothing was queued again: after the two pictures every period repeats
    // the last, and only the first buffer came back.
    SimBoard::NodeStats st = board.Stats(0);
    EXPECT_EQ(st.periods - 2, st.repeats);
    EXPECT_EQ(0, n.Dequeue());
    EXPECT_EQ(-EAGAIN, n.Dequeue());
    board.SetTap(0, nullptr);
    std::lock_guard<std::mutex> lk(m);
    ASSERT_GE(shown.size(), 6u);
    EXPECT_EQ(std::make_pair(false, uint8_t(0x40)), shown[0]);
    EXPECT_EQ(std::make_pair(false, uint8_t(0xA0)), shown[1]);
    for (size_t i = 2; i < shown.size(); ++i) EXPECT_EQ(std::make_pair(true, uint8_t(0xA0)), shown[i]);
}

TEST(SimBoardOutput, LateClockRunsEveryPeriodAtItsOwnTime)
{
    TempDir dir;
    SimBoardConfig cfg = SmallConfig();
    cfg.frameLog = dir.Path();
    SimBoard board(cfg);
    // The tap runs on the clock thread: stalling it once makes the clock wake
    // about five periods late.
    std::atomic<bool> stalled{false};
    board.SetTap(0, [&](const SimBoard::ShownFrame& f) {
        if (f.period == 3 && !stalled.exchange(true)) std::this_thread::sleep_for(200ms);
    });
    RawNode n(board, 0, true);
    ASSERT_EQ(4, n.ReqBufs(4));
    for (unsigned i = 0; i < 4; ++i) ASSERT_EQ(0, n.Queue(i));
    ASSERT_EQ(0, n.Stream(true));
    ASSERT_TRUE(board.WaitForPeriods(0, 15, 10s));
    ASSERT_EQ(0, n.Stream(false));
    std::vector<FrameRecord> log = ReadFrameLog(dir / "video0.frames");
    ASSERT_EQ(board.Stats(0).periods, log.size());
    for (size_t i = 1; i < log.size(); ++i) {
        EXPECT_EQ(i, log[i].period);
        EXPECT_EQ(40000000u, log[i].time - log[i - 1].time) << "period " << i;
    }
}

TEST(SimBoardSelect, WakesForADequeueableBufferAndHonoursItsTimeout)
{
    SimBoard board(SmallConfig());
    RawNode out(board, 0, true);
    RawNode in(board, 1, false);
    // Not streaming: select reports the error at once, as videobuf2 does.
    EXPECT_EQ(1, out.Wait(true, 2000000));

    ASSERT_EQ(2, out.ReqBufs(2));
    ASSERT_EQ(0, out.Queue(0));
    ASSERT_EQ(0, out.Queue(1));
    ASSERT_EQ(0, out.Stream(true));
    EXPECT_EQ(1, out.Wait(true, 5000000));   // buffer 0 comes back after the first period
    EXPECT_EQ(0, out.Dequeue());
    EXPECT_EQ(0, out.Wait(false, 0)) << "an output never becomes readable";

    // A capture node with no buffer queued has nothing to give: select times out.
    ASSERT_EQ(1, in.ReqBufs(1));
    ASSERT_EQ(0, in.Stream(true));
    fd_set set;
    FD_ZERO(&set);
    FD_SET(in.fd, &set);
    timeval tv{0, 100000};
    EXPECT_EQ(0, board.Select(in.fd + 1, &set, nullptr, nullptr, &tv));
    EXPECT_FALSE(FD_ISSET(in.fd, &set));
    EXPECT_EQ(0, tv.tv_sec);
    EXPECT_EQ(0, tv.tv_usec);

    // A descriptor that is not the board's is refused.
    FD_ZERO(&set);
    FD_SET(0, &set);
    tv = timeval{0, 0};
    EXPECT_EQ(-1, board.Select(1, &set, nullptr, nullptr, &tv));
    EXPECT_EQ(EBADF, errno);

    board.InjectFault(0, SimBoard::VideoOp::Select, 2, EIO);
    EXPECT_GE(out.Wait(true, 0), 0);
    EXPECT_EQ(-1, out.Wait(true, 0));
    EXPECT_EQ(EIO, errno);
    EXPECT_GE(out.Wait(true, 0), 0);
}

TEST(SimBoardCapture, FillsOneQueuedBufferPerPeriod)
{
    SimBoard board(SmallConfig(0, 1));
    RawNode in(board, 0, false);
    ASSERT_EQ(2, in.ReqBufs(2));
    uint8_t* p0 = in.Map(0);
    ASSERT_NE(nullptr, p0);
    ASSERT_EQ(0, in.Queue(0));
    ASSERT_EQ(0, in.Stream(true));
    ASSERT_EQ(1, in.Wait(false, 5000000));
    v4l2_buffer buf{};
    ASSERT_EQ(0, in.Dequeue(&buf));
    EXPECT_EQ(0u, buf.sequence);
    EXPECT_EQ(2u * 64 * 36, buf.bytesused);
    // The test picture is in the application's mapping: a ramp with a bar at x = 0.
    EXPECT_EQ(235, p0[1]);
    EXPECT_EQ(16 + 219 * 40 / 64, p0[2 * 40 + 1]);
    // No buffer queued: periods are dropped, not filled.
    ASSERT_TRUE(board.WaitForPeriods(0, 4, 5s));
    SimBoard::NodeStats st = board.Stats(0);
    EXPECT_EQ(1u, st.filled);
    EXPECT_EQ(st.periods - 1, st.dropped);
}

TEST(SimBoardClock, FreeRunningShowsBuffersAsFastAsTheyCome)
{
    SimBoardConfig cfg = SmallConfig();
    cfg.frameRateNum = 1;   // one frame a second, were it paced
    cfg.clock = SimBoardConfig::Clock::FreeRunning;
    SimBoard board(cfg);
    RawNode n(board, 0, true);
    ASSERT_EQ(2, n.ReqBufs(2));
    ASSERT_EQ(0, n.Queue(0));
    ASSERT_EQ(0, n.Queue(1));
    ASSERT_EQ(0, n.Stream(true));
    // Paced, these 40 pictures would take 40 s; the wait allows 20.
    int shown = 0;
    for (int turn = 0; turn < 40; ++turn) {
        ASSERT_EQ(1, n.Wait(true, 20000000));
        int index = n.Dequeue();
        ASSERT_GE(index, 0);
        ASSERT_EQ(0, n.Queue(unsigned(index)));
        ++shown;
    }
    EXPECT_EQ(40, shown);
    ASSERT_TRUE(board.WaitForPeriods(0, 42, 20s));
    EXPECT_EQ(0u, board.Stats(0).repeats);
}

TEST(SimBoardNodes, ClosingTheOwnerStopsStreamingAndKeepsMappingsValid)
{
    SimBoard board(SmallConfig());
    uint8_t* p;
    size_t len = 2 * 64 * 36;
    {
        RawNode n(board, 0, true);
        ASSERT_EQ(1, n.ReqBufs(1));
        p = n.Map(0);
        ASSERT_NE(nullptr, p);
        ASSERT_EQ(0, n.Queue(0));
        ASSERT_EQ(0, n.Stream(true));
        ASSERT_TRUE(board.WaitForPeriods(0, 1, 5s));
        n.maps.clear();   // keep the mapping past the close
    }
    EXPECT_FALSE(board.Stats(0).streaming);
    EXPECT_EQ(0, board.OpenCount(0));
    memset(p, 1, len);   // still the application's memory
    EXPECT_EQ(0, board.Munmap(p, len));
    // A fresh descriptor can take the node over.
    RawNode again(board, 0, true);
    EXPECT_EQ(4, again.ReqBufs(4));
}

// ---- sound card ----

struct PcmHandle {
    SimBoard& board;
    snd_pcm_t* pcm = nullptr;
    int openResult;
    PcmHandle(SimBoard& b, const char* name, snd_pcm_stream_t stream) : board(b)
    {
        openResult = board.PcmOpen(&pcm, name, stream, SND_PCM_NONBLOCK);
    }
    ~PcmHandle()
    {
        if (openResult == 0) board.PcmClose(pcm);
    }
    // Installs hw params the way the channels do; returns the granted period size.
    snd_pcm_uframes_t Setup(snd_pcm_uframes_t period, unsigned periods = 4)
    {
        snd_pcm_hw_params_t* hw = nullptr;
        EXPECT_EQ(0, board.HwParamsMalloc(&hw));
        EXPECT_EQ(0, board.HwParamsAny(pcm, hw));
        EXPECT_EQ(0, board.HwParamsSetAccess(pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED));
        int dir = 0;
        EXPECT_EQ(0, board.HwParamsSetPeriodSizeNear(pcm, hw, &period, &dir));
        EXPECT_EQ(0, board.HwParamsSetPeriodsNear(pcm, hw, &periods, &dir));
        EXPECT_EQ(0, board.HwParamsSetChannels(pcm, hw, 4));
        EXPECT_EQ(0, board.HwParams(pcm, hw));
        snd_pcm_format_t fmt;
        EXPECT_EQ(0, board.HwParamsGetFormat(hw, &fmt));
        EXPECT_EQ(SND_PCM_FORMAT_S32_LE, fmt);
        board.HwParamsFree(hw);
        return period;
    }
};

TEST(SimBoardCard, EnumeratesTheSv7CardAfterAnotherCard)
{
    SimBoard board(SmallConfig());
    std::vector<std::string> names;
    int card = -1;
    while (board.CardNext(&card) == 0 && card >= 0) {
        char* name = nullptr;
        ASSERT_EQ(0, board.CardGetName(card, &name));
        names.push_back(name);
        free(name);
    }
    ASSERT_EQ(2u, names.size());
    EXPECT_NE(0, names[0].compare(0, 3, "SV7"));
    EXPECT_EQ(0, names[1].compare(0, 3, "SV7"));
    board.SetSoundCardPresent(false);
    card = 0;
    ASSERT_EQ(0, board.CardNext(&card));
    EXPECT_EQ(-1, card);
}

TEST(SimBoardPcm, DevicesFollowTheNodesLastDigitAndDirection)
{
    SimBoardConfig cfg = SmallConfig(13, 0);
    SimBoard board(cfg);
    struct Case {
        const char* name;
        snd_pcm_stream_t stream;
        int result;
    } cases[] = {
        {"hw:1,2", SND_PCM_STREAM_PLAYBACK, 0},
        {"hw:1,2", SND_PCM_STREAM_CAPTURE, -ENOENT},   // no input node ends in 2
        {"hw:0,2", SND_PCM_STREAM_PLAYBACK, -ENOENT},  // the onboard card
        {"hw:1,x", SND_PCM_STREAM_PLAYBACK, -ENOENT},
    };
    for (const Case& c : cases) {
        PcmHandle h(board, c.name, c.stream);
        EXPECT_EQ(c.result, h.openResult) << c.name;
    }
    // Nodes 2 and 12 share PCM device 2: the open binds to the node opened
    // last, and each direction of a device opens once.
    int fd2 = board.Open("/dev/video2", O_RDWR | O_NONBLOCK);
    int fd12 = board.Open("/dev/video12", O_RDWR | O_NONBLOCK);
    {
        PcmHandle a(board, "hw:1,2", SND_PCM_STREAM_PLAYBACK);
        ASSERT_EQ(0, a.openResult);
        EXPECT_TRUE(board.PcmOf(12).open);
        EXPECT_FALSE(board.PcmOf(2).open);
        PcmHandle b(board, "hw:1,2", SND_PCM_STREAM_PLAYBACK);
        EXPECT_EQ(0, b.openResult) << "the second substream of digit 2 is node 2's";
        EXPECT_TRUE(board.PcmOf(2).open);
        PcmHandle c(board, "hw:1,2", SND_PCM_STREAM_PLAYBACK);
        EXPECT_EQ(-EBUSY, c.openResult);
    }
    board.Close(fd2);
    board.Close(fd12);
}

TEST(SimBoardPcm, NegotiatesPeriodsAndWritesWithoutBlocking)
{
    SimBoard board(SmallConfig());
    PcmHandle h(board, "hw:1,0", SND_PCM_STREAM_PLAYBACK);
    ASSERT_EQ(0, h.openResult);
    int32_t frame[4 * 4000] = {};
    EXPECT_EQ(-EBADFD, board.PcmWritei(h.pcm, frame, 10)) << "not set up yet";
    EXPECT_EQ(1601u, h.Setup(1601, 9));
    SimBoard::PcmInfo info = board.PcmOf(0);
    EXPECT_EQ(1601u, info.periodSize);
    EXPECT_EQ(8u, info.periods) << "periods are bounded to 2..8";
    board.SetGrantedPeriodSize(1600);
    EXPECT_EQ(1600u, h.Setup(1601));
    EXPECT_EQ(1601u, board.PcmOf(0).requestedPeriodSize);
    EXPECT_EQ(SND_PCM_STATE_SETUP, board.PcmOf(0).state);
    EXPECT_EQ(-EBADFD, board.PcmWritei(h.pcm, frame, 10));
    ASSERT_EQ(0, board.PcmPrepare(h.pcm));
    // Nothing consumes while the video node does not stream: the ring of
    // 4 x 1600 frames fills, then writes are refused.
    EXPECT_EQ(4000, board.PcmWritei(h.pcm, frame, 4000));
    EXPECT_EQ(2400, board.PcmWritei(h.pcm, frame, 4000));
    EXPECT_EQ(-EAGAIN, board.PcmWritei(h.pcm, frame, 1));
    EXPECT_EQ(-EBADFD, board.PcmReadi(h.pcm, frame, 1)) << "playback cannot be read";

    board.InjectPcmFault(0, SimBoard::PcmOp::Prepare, -EIO);
    EXPECT_EQ(-EIO, board.PcmPrepare(h.pcm));
    board.ClearPcmFaults();
    EXPECT_EQ(0, board.PcmPrepare(h.pcm));
    EXPECT_EQ(1, board.PcmWritei(h.pcm, frame, 1)) << "prepare empties the ring";
}

TEST(SimBoardPcm, PlaybackUnderrunStopsUntilPrepared)
{
    SimBoard board(SmallConfig());
    RawNode n(board, 0, true);
    PcmHandle h(board, "hw:1,0", SND_PCM_STREAM_PLAYBACK);
    ASSERT_EQ(0, h.openResult);
    h.Setup(1920);
    ASSERT_EQ(0, board.PcmPrepare(h.pcm));
    std::vector<int32_t> audio(4 * 1920, 1 << 28);
    ASSERT_EQ(1920, board.PcmWritei(h.pcm, audio.data(), 1920));
    ASSERT_EQ(1, n.ReqBufs(1));
    ASSERT_EQ(0, n.Queue(0));
    ASSERT_EQ(0, n.Stream(true));
    // One period of sound: it plays in period 0, then the PCM runs dry.
    ASSERT_TRUE(board.WaitForPeriods(0, 3, 5s));
    EXPECT_EQ(SND_PCM_STATE_XRUN, board.PcmOf(0).state);
    EXPECT_EQ(1u, board.Stats(0).audioUnderruns);
    EXPECT_EQ(-EPIPE, board.PcmWritei(h.pcm, audio.data(), 1920));
    ASSERT_EQ(0, board.PcmPrepare(h.pcm));
    EXPECT_EQ(1920, board.PcmWritei(h.pcm, audio.data(), 1920));
}

TEST(SimBoardPcm, CaptureDeliversATonePacedByItsNode)
{
    SimBoard board(SmallConfig(1, 1));
    RawNode in(board, 1, false);
    PcmHandle h(board, "hw:1,1", SND_PCM_STREAM_CAPTURE);
    ASSERT_EQ(0, h.openResult);
    h.Setup(1920, 8);
    ASSERT_EQ(0, board.PcmPrepare(h.pcm));
    std::vector<int32_t> audio(4 * 1920);
    EXPECT_EQ(-EAGAIN, board.PcmReadi(h.pcm, audio.data(), 1920)) << "the first read starts capture";
    ASSERT_EQ(1, in.ReqBufs(1));
    ASSERT_EQ(0, in.Stream(true));
    ASSERT_TRUE(board.WaitForPeriods(1, 2, 5s));
    ASSERT_EQ(1920, board.PcmReadi(h.pcm, audio.data(), 1920));
    double sum = 0;
    for (size_t i = 0; i < 1920; ++i) {
        EXPECT_EQ(audio[4 * i], audio[4 * i + 3]);
        const double v = audio[4 * i] / 2147483648.0;
        sum += v * v;
    }
    EXPECT_NEAR(0.0707, std::sqrt(sum / 1920), 0.0005);
}

}  // namespace
