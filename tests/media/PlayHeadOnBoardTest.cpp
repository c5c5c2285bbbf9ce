// A playhead feeding a channel's device loop on the simulated board: what the
// board's as-run frame log says went on air, picture by picture and channel
// by channel.

#include "media/PlayHead.h"

#include "board/SimBoard.h"
#include "fixtures/ClipMaker.h"
#include "fixtures/DeviceLoop.h"
#include "fixtures/FrameLog.h"
#include "fixtures/TempDir.h"
#include "RecordingDevice.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

namespace {
using namespace std::chrono_literals;
}  // namespace

TEST(PlayHeadOnBoard, FrameLogShowsEveryFrameInOrderWithItsAudio)
{
    TempDir dir;
    SimBoardConfig cfg;
    cfg.outputs = 1;
    cfg.inputs = 0;
    cfg.width = 1920;
    cfg.height = 1080;
    cfg.field = V4L2_FIELD_INTERLACED;
    cfg.frameLog = dir / "frames";
    auto board = std::make_shared<SimBoard>(cfg);
    ScopedBoard scope(board);

    ClipSpec spec;
    spec.frames = 30;
    spec.audioTracks = {1, 1};
    spec.interlaced = true;
    std::string err;
    std::string path = ClipMaker::Get(spec, &err);
    ASSERT_FALSE(path.empty()) << err;

    RecordingDevice dev;   // opened below: its fields come from the board
    ASSERT_TRUE(dev.OpenDevice("/dev/video0", false));
    PlayHead head(&dev, 0);
    ASSERT_TRUE(head.LoadFile(path, 0, 0));
    ASSERT_TRUE(dev.WaitCues(1));
    head.SetToPlay();

    {
        DeviceLoop loop(dev);
        // Until the clip has ended, each turn takes the head's next picture (a
        // turn without one keeps the last, as a channel does) and its audio.
        loop.SetPicture([&](uint64_t, uint8_t* picture, size_t) { head.GetVideoFrame(picture, dev.Pitch()); });
        loop.SetAudio([&](uint64_t, uint8_t* audio, size_t bytes) {
            if (head.GetAudioFrame(audio, int(bytes)) == 0) memset(audio, 0, bytes);
        });
        ASSERT_TRUE(loop.Start());
        for (auto deadline = std::chrono::steady_clock::now() + 30s;
             dev.CloseCount() == 0 && std::chrono::steady_clock::now() < deadline;)
            std::this_thread::sleep_for(5ms);
        std::this_thread::sleep_for(200ms);   // a few more periods after the end
        loop.Stop();
    }
    ASSERT_EQ(1u, dev.CloseCount());

    std::vector<FrameRecord> log = ReadFrameLog(dir / "frames/video0.frames");
    ASSERT_FALSE(log.empty());
    std::vector<int> shown;
    for (const FrameRecord& r : log) {
        int frame = ReadFrameNumberFromThumb(r.thumb);
        if (frame < 0) continue;   // the black buffers queued at streaming start
        if (!shown.empty() && shown.back() == frame) continue;   // held while the decoder caught up
        shown.push_back(frame);
        // The picture's own audio is on air with it: track 0 on channel 0,
        // track 1 on channel 1, nothing on 2 and 3.
        for (int ch = 0; ch < 2; ch++) {
            AudioMark m = DecodeAudioMarkFromRms(r.rms[ch]);
            ASSERT_TRUE(m.valid) << "period " << r.period << " channel " << ch;
            EXPECT_EQ(frame, m.frame) << "period " << r.period << " channel " << ch;
            EXPECT_EQ(ch, m.track) << "period " << r.period;
        }
        EXPECT_EQ(0.0f, r.rms[2]);
        EXPECT_EQ(0.0f, r.rms[3]);
    }
    std::vector<int> expected;
    for (int i = 0; i < spec.frames; i++) expected.push_back(i);
    EXPECT_EQ(expected, shown);
}
