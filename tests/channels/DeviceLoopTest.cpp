// A channel's device loop on a real-time simulated board: what goes on air,
// frame by frame, and when.
#include "board/SimBoard.h"
#include "channels/SelvoDev.h"

#include "fixtures/CapturedLog.h"
#include "fixtures/DeviceLoop.h"
#include "fixtures/FrameLog.h"
#include "fixtures/TempDir.h"
#include "fixtures/TestDevice.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <thread>

namespace {

using namespace std::chrono_literals;
constexpr uint64_t kPeriodNs = 40000000;   // 25 frames a second

class DeviceLoopTest : public ::testing::Test {
protected:
    void Use(int width, int height, v4l2_field field)
    {
        SimBoardConfig cfg;
        cfg.outputs = 1;
        cfg.inputs = 1;
        cfg.width = width;
        cfg.height = height;
        cfg.field = field;
        cfg.frameLog = dir / "frames";
        board = std::make_shared<SimBoard>(cfg);
        scope.reset(new ScopedBoard(board));
    }
    void TearDown() override { scope.reset(); }
    std::vector<FrameRecord> Log() const { return ReadFrameLog(dir / "frames/video0.frames"); }

    CapturedLog log;
    TempDir dir;
    std::shared_ptr<SimBoard> board;
    std::unique_ptr<ScopedBoard> scope;
};

// Every record's thumbnail is one flat luma (the loop's pictures are flat).
void ExpectFlat(const FrameRecord& r)
{
    for (int i = 1; i < 576; ++i)
        if (r.thumb[i] != r.thumb[0]) {
            ADD_FAILURE() << "period " << r.period << " cell " << i << " differs";
            return;
        }
}

TEST_F(DeviceLoopTest, TwoSecondsOnAirWithoutARepeatAndWithSoundAligned)
{
    Use(1920, 1080, V4L2_FIELD_INTERLACED);
    TestDevice dev;
    ASSERT_TRUE(dev.OpenDevice("/dev/video0", false));
    DeviceLoop loop(dev);
    ASSERT_TRUE(loop.Start());
    std::this_thread::sleep_for(2s);
    loop.Stop();

    const SimBoard::NodeStats st = board->Stats(0);
    std::vector<FrameRecord> log = Log();
    ASSERT_FALSE(log.empty());
    // The clock ran from STREAMON to STREAMOFF, one period every 40 ms.
    const uint64_t ran = (loop.StopNs() - log[0].time) / kPeriodNs + 1;
    EXPECT_GE(st.periods, 49u);
    EXPECT_NEAR(double(ran), double(st.periods), 1.0);
    EXPECT_EQ(0u, st.repeats);
    EXPECT_EQ(0u, st.audioUnderruns);

    ASSERT_EQ(st.periods, log.size());
    for (size_t i = 0; i < log.size(); ++i) {
        const FrameRecord& r = log[i];
        ASSERT_EQ(i, r.period);
        if (i > 0) {
            EXPECT_EQ(kPeriodNs, r.time - log[i - 1].time) << "period " << i;
        }
        EXPECT_FALSE(r.Repeat()) << "period " << i;
        ExpectFlat(r);
        if (i < 4) {
            // The four buffers queued at STREAMON hold zeroed pictures and no
            // sound goes with them.
            EXPECT_EQ(0, r.thumb[0]) << "period " << i;
            EXPECT_TRUE(r.AudioOff()) << "period " << i;
            continue;
        }
        // Picture k (written after the k-th dequeue) is on air N-1 = 3
        // periods after it was queued, and its sound with it.
        const int k = int((i - 4) % 200);
        EXPECT_EQ(k, DeviceLoop::PictureMark(r.thumb[0])) << "period " << i;
        EXPECT_FALSE(r.AudioOff()) << "period " << i;
        for (int c = 0; c < 4; ++c) EXPECT_EQ(k, DeviceLoop::AudioMark(r.rms[c])) << "period " << i << " ch " << c;
    }
}

TEST_F(DeviceLoopTest, AStallRepeatsThePictureOnceTheQueueRunsDry)
{
    Use(320, 180, V4L2_FIELD_NONE);
    TestDevice dev;
    ASSERT_TRUE(dev.OpenDevice("/dev/video0", false));
    DeviceLoop loop(dev);
    ASSERT_TRUE(loop.Start());
    ASSERT_TRUE(board->WaitForPeriods(0, 20, 10s));
    loop.Pause(200ms);
    ASSERT_TRUE(board->WaitForPeriods(0, 50, 10s));
    loop.Stop();

    // Three buffers wait behind the one on air: the first three periods of the
    // stall still show new pictures, every later one repeats (about 2 for
    // 200 ms). On a busy machine refilling the queue afterwards may cost a
    // period or two more.
    const SimBoard::NodeStats st = board->Stats(0);
    const double stalled = double(loop.LastPause().count()) / double(kPeriodNs);
    EXPECT_GE(double(st.repeats), std::max(1.0, stalled - 3.0 - 1.0));
    EXPECT_LE(double(st.repeats), stalled - 3.0 + 3.0);
    EXPECT_EQ(1u, st.audioUnderruns) << "the sound ran dry with the pictures";

    std::vector<FrameRecord> log = Log();
    ASSERT_EQ(st.periods, log.size());
    size_t firstRepeat = 0, repeats = 0;
    for (size_t i = 4; i < log.size(); ++i) {
        const FrameRecord& r = log[i];
        const int picture = DeviceLoop::PictureMark(r.thumb[0]);
        if (r.Repeat()) {
            if (!repeats) firstRepeat = i;
            ++repeats;
            EXPECT_EQ(firstRepeat + repeats - 1, i) << "the repeats are one run";
            EXPECT_EQ(DeviceLoop::PictureMark(log[firstRepeat - 1].thumb[0]), picture) << "the last picture again";
            EXPECT_TRUE(r.AudioOff()) << "period " << i;
            continue;
        }
        EXPECT_EQ(int((i - 4 - repeats) % 200), picture) << "period " << i << ": no picture lost";
        // After the underrun the sound comes back with its own picture.
        EXPECT_FALSE(r.AudioOff()) << "period " << i;
        EXPECT_EQ(picture, DeviceLoop::AudioMark(r.rms[0])) << "period " << i;
    }
    EXPECT_EQ(st.repeats, repeats);
}

TEST_F(DeviceLoopTest, ACaptureNodeDeliversOneFilledBufferPerPeriod)
{
    Use(320, 180, V4L2_FIELD_NONE);
    TestDevice dev;
    ASSERT_TRUE(dev.OpenDevice("/dev/video1", true));
    DeviceLoop loop(dev);
    ASSERT_TRUE(loop.Start());
    ASSERT_TRUE(board->WaitForPeriods(1, 40, 10s));
    loop.Stop();

    const SimBoard::NodeStats st = board->Stats(1);
    std::vector<DeviceLoop::Captured> got = loop.CapturedBuffers();
    ASSERT_GE(got.size(), 30u);
    EXPECT_EQ(0u, st.dropped);
    EXPECT_EQ(st.periods, st.filled);
    // 25 a second by the device's clock: consecutive periods 40 ms apart, and a
    // moving picture.
    for (size_t i = 1; i < got.size(); ++i) {
        EXPECT_EQ(got[i - 1].sequence + 1, got[i].sequence);
        EXPECT_NEAR(double(kPeriodNs), double(got[i].timeNs - got[i - 1].timeNs), 1000.0);
        EXPECT_GT(got[i].changedFromPrevious, 0u);
    }
    const double seconds = double(loop.StopNs() - loop.StartNs()) / 1e9;
    EXPECT_NEAR(25.0 * seconds, double(st.periods), 2.0);
}

}  // namespace
