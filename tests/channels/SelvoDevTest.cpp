// The channel device base on the simulated board: opening, audio set-up,
// buffers and streaming, and every failure on the way.
#include "channels/SelvoDev.h"

#include "board/SimBoard.h"
#include "fixtures/CapturedLog.h"
#include "fixtures/TestDevice.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

using namespace std::chrono_literals;

SimBoardConfig Config(int outputs = 2, int inputs = 1)
{
    SimBoardConfig c;
    c.outputs = outputs;
    c.inputs = inputs;
    c.width = 160;
    c.height = 90;
    c.field = V4L2_FIELD_INTERLACED;
    return c;
}

// A simulated board installed for the life of the fixture.
class SelvoDevTest : public ::testing::Test {
protected:
    void Use(const SimBoardConfig& cfg)
    {
        scope.reset();
        board = std::make_shared<SimBoard>(cfg);
        scope.reset(new ScopedBoard(board));
    }
    void SetUp() override { Use(Config()); }
    void TearDown() override { scope.reset(); }

    CapturedLog log;
    std::shared_ptr<SimBoard> board;
    std::unique_ptr<ScopedBoard> scope;
};

TEST_F(SelvoDevTest, ConstructionValues)
{
    TestDevice dev;
    EXPECT_FALSE(dev.isOpened);
    EXPECT_EQ(-1, dev.portDesc);
    EXPECT_EQ(-1, dev.bufType);
    EXPECT_EQ(48000, dev.sampleRate);
    EXPECT_EQ(1920u, dev.samplesPerFrame);
    EXPECT_EQ(8u, dev.sampleSize);
    EXPECT_EQ(4u, dev.sChannels);
    EXPECT_FALSE(dev.isProgressive);
    EXPECT_TRUE(dev.upperFiledFirst);
    EXPECT_EQ(1920, dev.fWidth);
    EXPECT_EQ(1080, dev.fHeight);
    EXPECT_DOUBLE_EQ(25.0, dev.frameRate);
}

TEST_F(SelvoDevTest, OpensAnOutputWithItsPcmDevice)
{
    TestDevice dev;
    ASSERT_TRUE(dev.OpenDevice("/dev/video1", false));
    EXPECT_TRUE(dev.isOpened);
    EXPECT_EQ("/dev/video1", dev.vidDevName);
    EXPECT_FALSE(dev.isInput);
    EXPECT_GE(dev.portDesc, 0);
    EXPECT_EQ(int(V4L2_BUF_TYPE_VIDEO_OUTPUT), dev.bufType);
    EXPECT_EQ(160, dev.fWidth);
    EXPECT_EQ(90, dev.fHeight);
    EXPECT_TRUE(dev.isProgressive);
    EXPECT_DOUBLE_EQ(25.0, dev.frameRate);
    EXPECT_EQ(1920u, dev.samplesPerFrame);
    EXPECT_EQ(AV_SAMPLE_FMT_S32, dev.audioFormat);
    EXPECT_EQ(16u, dev.sampleSize);
    EXPECT_EQ(SND_PCM_STATE_PREPARED, board->PcmOf(1).state);
    EXPECT_TRUE(log.Contains("Device /dev/video1 : hw:1,1 opened.\n"));

    // The input opens as capture.
    TestDevice in;
    ASSERT_TRUE(in.OpenDevice("/dev/video2", true));
    EXPECT_EQ(int(V4L2_BUF_TYPE_VIDEO_CAPTURE), in.bufType);
    EXPECT_TRUE(log.Contains("Device /dev/video2 : hw:1,2 opened.\n"));

    dev.CloseDevice();
    EXPECT_FALSE(dev.isOpened);
    EXPECT_EQ(-1, dev.portDesc);
    EXPECT_EQ(nullptr, dev.audioDev);
    EXPECT_TRUE(dev.vidDevName.empty());
    EXPECT_EQ(0, board->OpenCount(1));
    EXPECT_FALSE(board->PcmOf(1).open);
    EXPECT_TRUE(log.Contains("Port /dev/video1 audio device closed.\n"));
}

TEST_F(SelvoDevTest, PcmDeviceIsTheLastDigitOfTheNode)
{
    Use(Config(13, 0));
    struct Case {
        const char* node;
        int nodeNumber;
        const char* opened;
    } cases[] = {
        {"/dev/video12", 12, "Device /dev/video12 : hw:1,2 opened.\n"},
        {"/dev/video3", 3, "Device /dev/video3 : hw:1,3 opened.\n"},
    };
    for (const Case& c : cases) {
        TestDevice dev;
        ASSERT_TRUE(dev.OpenDevice(c.node, false)) << c.node;
        EXPECT_TRUE(log.Contains(c.opened)) << c.node;
        EXPECT_EQ(c.nodeNumber % 10, board->PcmOf(c.nodeNumber).device);
    }
}

TEST_F(SelvoDevTest, FailedOpensLeaveNothingOpen)
{
    struct Case {
        const char* what;
        std::function<void(SimBoard&)> inject;
        const char* message;
    } cases[] = {
        {"no SV7 card", [](SimBoard& b) { b.SetSoundCardPresent(false); }, "Cannot obtain SVxxxx card index.\n"},
        {"G_FMT", [](SimBoard& b) { b.InjectFault(0, SimBoard::VideoOp::GFmt); },
         "Cannot obtain video format for device /dev/video0\n"},
        {"G_PARM", [](SimBoard& b) { b.InjectFault(0, SimBoard::VideoOp::GParm); },
         "Cannot obtain streaming parameters for device /dev/video0\n"},
        {"PCM open", [](SimBoard& b) { b.InjectPcmFault(0, SimBoard::PcmOp::Open, -EBUSY); },
         "Cannot open audio device hw:1,0\n"},
        {"hw params", [](SimBoard& b) { b.InjectPcmFault(0, SimBoard::PcmOp::HwParams, -EINVAL); },
         "Cannot setup audio device hw:1,0\n"},
    };
    for (const Case& c : cases) {
        Use(Config());
        c.inject(*board);
        TestDevice dev;
        EXPECT_FALSE(dev.OpenDevice("/dev/video0", false)) << c.what;
        EXPECT_TRUE(log.Contains(c.message)) << c.what;
        EXPECT_EQ(0, board->OpenCount(0)) << c.what << ": the video descriptor is closed again";
        EXPECT_FALSE(board->PcmOf(0).open) << c.what;
        EXPECT_EQ(-1, dev.bufType);
        EXPECT_EQ(nullptr, dev.audioDev);
        EXPECT_EQ(nullptr, dev.audioHwParams);
        EXPECT_EQ(nullptr, dev.audioStatus);
        EXPECT_FALSE(dev.isOpened);
    }
    EXPECT_TRUE(log.Contains("Cannot set hw params\n"));
}

TEST_F(SelvoDevTest, ADeviceWithoutAFrameRateIsRefused)
{
    SimBoardConfig cfg = Config();
    cfg.frameRateNum = 0;   // G_PARM reports a time per frame of 1/0
    Use(cfg);
    TestDevice dev;
    EXPECT_FALSE(dev.OpenDevice("/dev/video0", false));
    EXPECT_TRUE(log.Contains("Cannot obtain streaming parameters for device /dev/video0\n"));
    EXPECT_EQ(0, board->OpenCount(0));
}

TEST_F(SelvoDevTest, NodesThatCannotServeTheChannel)
{
    board->RemoveNode(1);
    TestDevice dev;
    EXPECT_FALSE(dev.OpenDevice(nullptr, false));
    EXPECT_TRUE(log.Contains("Cannot open video device: no device name provided.\n"));
    EXPECT_FALSE(dev.OpenDevice("/dev/video1", false));
    EXPECT_TRUE(log.Contains("Video device /dev/video1 is not accessible or does not exist.\n"));
    // An output node is not a capture device: refused, descriptor closed.
    EXPECT_FALSE(dev.OpenDevice("/dev/video0", true));
    EXPECT_TRUE(log.Contains("Video device /dev/video0 has wrong capabilities.\n"));
    EXPECT_EQ(0, board->OpenCount(0));
}

TEST_F(SelvoDevTest, ASecondOpenReplacesTheDeviceOnlyWhenTheNewOneFits)
{
    TestDevice dev;
    ASSERT_TRUE(dev.OpenDevice("/dev/video0", false));
    // The input node does not pass as an output: the open device stays.
    EXPECT_FALSE(dev.OpenDevice("/dev/video2", false));
    EXPECT_TRUE(dev.isOpened);
    EXPECT_EQ(1, board->OpenCount(0));
    ASSERT_TRUE(dev.OpenDevice("/dev/video1", false));
    EXPECT_EQ("/dev/video1", dev.vidDevName);
    EXPECT_EQ(0, board->OpenCount(0));
    EXPECT_FALSE(board->PcmOf(0).open);
    EXPECT_EQ(1, board->OpenCount(1));
}

TEST_F(SelvoDevTest, FieldOrderDecidesWholeFramePictures)
{
    struct Case {
        v4l2_field field;
        bool progressive;
    } cases[] = {
        {V4L2_FIELD_NONE, true},         {V4L2_FIELD_INTERLACED, true},   {V4L2_FIELD_SEQ_TB, true},
        {V4L2_FIELD_SEQ_BT, true},       {V4L2_FIELD_ANY, false},         {V4L2_FIELD_TOP, false},
        {V4L2_FIELD_BOTTOM, false},      {V4L2_FIELD_ALTERNATE, false},   {V4L2_FIELD_INTERLACED_TB, false},
        {V4L2_FIELD_INTERLACED_BT, false},
    };
    for (const Case& c : cases) {
        SimBoardConfig cfg = Config();
        cfg.field = c.field;
        Use(cfg);
        TestDevice dev;
        ASSERT_TRUE(dev.OpenDevice("/dev/video0", false)) << c.field;
        EXPECT_EQ(c.progressive, dev.isProgressive) << c.field;
        EXPECT_EQ(c.progressive ? 90 : 180, dev.PictureLines()) << c.field;
        // The board's buffers hold a picture of that layout.
        std::vector<SvBuffer> bufs;
        EXPECT_EQ(4u, dev.PrepareDevice(bufs, unsigned(dev.PictureBytes()))) << c.field;
        dev.CleanDevice(bufs);
    }
}

TEST_F(SelvoDevTest, At2997TheAudioPeriodIsNegotiatedFrom1601)
{
    SimBoardConfig cfg = Config();
    cfg.frameRateNum = 30000;
    cfg.frameRateDen = 1001;
    Use(cfg);
    {
        TestDevice dev;
        ASSERT_TRUE(dev.OpenDevice("/dev/video0", false));
        EXPECT_NEAR(29.97, dev.frameRate, 0.001);
        EXPECT_EQ(1601u, board->PcmOf(0).requestedPeriodSize);
        EXPECT_EQ(1601u, dev.samplesPerFrame);
    }
    board->SetGrantedPeriodSize(1600);
    TestDevice dev;
    ASSERT_TRUE(dev.OpenDevice("/dev/video0", false));
    EXPECT_EQ(1601u, board->PcmOf(0).requestedPeriodSize);
    EXPECT_EQ(1600u, dev.samplesPerFrame);
    EXPECT_EQ(1600u, board->PcmOf(0).periodSize);
    EXPECT_EQ(4u, board->PcmOf(0).periods);
    EXPECT_EQ(1600u * 16u, dev.AudioBytesPerFrame());
}

TEST_F(SelvoDevTest, APcmPrepareFailureDoesNotFailTheOpen)
{
    board->InjectPcmFault(0, SimBoard::PcmOp::Prepare, -EIO);
    TestDevice dev;
    EXPECT_TRUE(dev.OpenDevice("/dev/video0", false));
    EXPECT_TRUE(log.Contains("Cannot prepare pcm capture\n"));
    EXPECT_EQ(SND_PCM_STATE_SETUP, board->PcmOf(0).state);
}

// ---- buffers and streaming ----

class PrepareTest : public SelvoDevTest {
protected:
    void SetUp() override
    {
        SelvoDevTest::SetUp();
        ASSERT_TRUE(dev.OpenDevice("/dev/video0", false));
    }
    // The device goes while its board is still installed.
    void TearDown() override
    {
        dev.CleanDevice(bufs);
        dev.CloseDevice();
        SelvoDevTest::TearDown();
    }
    unsigned Picture() const { return unsigned(dev.PictureBytes()); }
    TestDevice dev;
    std::vector<SvBuffer> bufs;
};

TEST_F(PrepareTest, MapsQueuesAndStreamsFourBuffers)
{
    ASSERT_EQ(4u, dev.PrepareDevice(bufs, Picture()));
    ASSERT_EQ(4u, bufs.size());
    for (size_t i = 0; i < bufs.size(); ++i) {
        EXPECT_EQ(int(i), bufs[i].index);
        EXPECT_GE(bufs[i].length, Picture());
    }
    EXPECT_TRUE(dev.streamOn);
    EXPECT_TRUE(board->Stats(0).streaming);
    EXPECT_TRUE(log.Contains("Device /dev/video0: Device buffers (4) successfully mapped.\n"));
    EXPECT_TRUE(log.Contains("Device /dev/video0: Streaming enabled.\n"));
    EXPECT_TRUE(board->WaitForPeriods(0, 2, 5s));

    EXPECT_TRUE(dev.CleanDevice(bufs));
    EXPECT_TRUE(bufs.empty());
    EXPECT_FALSE(dev.streamOn);
    EXPECT_FALSE(board->Stats(0).streaming);
    EXPECT_TRUE(log.Contains("Device /dev/video0: Video buffers unmapped.\n"));
    // Everything was unmapped: the driver hands out buffers again.
    EXPECT_EQ(4u, dev.PrepareDevice(bufs, Picture()));
}

TEST_F(PrepareTest, WorksWithTheBuffersTheDriverGrants)
{
    board->GrantBuffers(0, 2);
    EXPECT_EQ(2u, dev.PrepareDevice(bufs, Picture()));
    EXPECT_EQ(2u, bufs.size());
    dev.CleanDevice(bufs);

    board->GrantBuffers(0, 0);
    board->InjectFault(0, SimBoard::VideoOp::QueryBuf, 3);   // the query of index 2
    EXPECT_EQ(2u, dev.PrepareDevice(bufs, Picture()));
    ASSERT_EQ(2u, bufs.size());
    EXPECT_TRUE(log.Contains("Device /dev/video0 buffer 2 VIDIOC_QUERYBUF error.\n"));
    // Both buffers stream: each is shown once, then, with no one queueing
    // again, the output repeats the second.
    ASSERT_TRUE(board->WaitForPeriods(0, 4, 5s));
    SimBoard::NodeStats st = board->Stats(0);
    EXPECT_EQ(st.periods - 2, st.repeats);
}

TEST_F(PrepareTest, FailuresLeaveNoBufferMappedAndStreamingOff)
{
    struct Case {
        const char* what;
        SimBoard::VideoOp op;
        unsigned nth;
        const char* message;
    } cases[] = {
        {"first QUERYBUF", SimBoard::VideoOp::QueryBuf, 1, "Device /dev/video0: Cannot obtain device buffers.\n"},
        {"first mmap", SimBoard::VideoOp::Mmap, 1, "Device /dev/video0 buffer 0 MMAP failed.\n"},
        {"third QBUF", SimBoard::VideoOp::QBuf, 3, "Device /dev/video0: VIDIOC_QBUF error: 5\n"},
        {"STREAMON", SimBoard::VideoOp::StreamOn, 1, "Device /dev/video0: Cannot enable streaming. Error 5\n"},
    };
    for (const Case& c : cases) {
        board->InjectFault(0, c.op, c.nth, EIO);
        EXPECT_EQ(0u, dev.PrepareDevice(bufs, Picture())) << c.what;
        EXPECT_TRUE(bufs.empty()) << c.what;
        EXPECT_FALSE(dev.streamOn) << c.what;
        EXPECT_FALSE(board->Stats(0).streaming) << c.what;
        EXPECT_TRUE(log.Contains(c.message)) << c.what;
        // Nothing stayed mapped: the next attempt gets its buffers.
        EXPECT_EQ(4u, dev.PrepareDevice(bufs, Picture())) << c.what;
        dev.CleanDevice(bufs);
    }
    board->InjectFault(0, SimBoard::VideoOp::ReqBufs);
    EXPECT_EQ(0u, dev.PrepareDevice(bufs, Picture()));
}

TEST_F(PrepareTest, BuffersShorterThanAPictureAreNotUsed)
{
    EXPECT_EQ(0u, dev.PrepareDevice(bufs, Picture() + 1));
    EXPECT_TRUE(bufs.empty());
    EXPECT_TRUE(log.Contains("Device /dev/video0 buffer 0 is too short for a picture"));
    EXPECT_EQ(4u, dev.PrepareDevice(bufs, Picture()));
}

TEST_F(PrepareTest, CleaningAnEmptyListStillStopsStreaming)
{
    ASSERT_EQ(4u, dev.PrepareDevice(bufs, Picture()));
    std::vector<SvBuffer> none;
    EXPECT_FALSE(dev.CleanDevice(none));
    EXPECT_FALSE(dev.streamOn);
    EXPECT_FALSE(board->Stats(0).streaming);
    EXPECT_TRUE(log.Contains("Device /dev/video0: Streaming disabled.\n"));
    EXPECT_TRUE(dev.CleanDevice(bufs));
    EXPECT_FALSE(dev.CleanDevice(bufs));
}

TEST_F(PrepareTest, NothingToPrepareOnAClosedDevice)
{
    dev.CloseDevice();
    EXPECT_EQ(0u, dev.PrepareDevice(bufs, Picture()));
    EXPECT_TRUE(bufs.empty());
}

}  // namespace
