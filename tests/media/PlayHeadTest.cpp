// The playhead against real clips: everything is judged from the pictures and
// audio it delivers (frame numbers and audio marks read back from them), and
// from the callbacks the channel receives.

#include "media/PlayHead.h"

#include "fixtures/ClipMaker.h"
#include "fixtures/TempDir.h"
#include "RecordingDevice.h"
#include "shell/Log.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
constexpr auto kDeadline = 30s;
constexpr AVRational k25{25, 1};
constexpr AVRational kNtsc{30000, 1001};

std::string Clip(const ClipSpec& spec)
{
    std::string err;
    std::string path = ClipMaker::Get(spec, &err);
    EXPECT_FALSE(path.empty()) << err;
    return path;
}

// 2 s at 25 fps, two mono tracks, an intra picture every 12 frames, so that
// a cue between them must drop the pictures the seek lands before it.
ClipSpec Basic()
{
    ClipSpec s;
    s.frames = 50;
    s.audioTracks = {1, 1};
    s.gop = 12;
    return s;
}

ClipSpec WithTracks(std::vector<int> tracks, int frames = 25)
{
    ClipSpec s;
    s.frames = frames;
    s.audioTracks = std::move(tracks);
    return s;
}

int64_t FrameUs(int frame, AVRational rate = k25) { return int64_t(frame) * 1000000 * rate.den / rate.num; }

struct Output {
    std::vector<int> pictures;                  // frame numbers read from the delivered pictures
    std::vector<std::vector<int32_t>> audio;    // the audio delivered with each picture
    bool closed = false;
};

// Pulls from `head` as a device thread does, until `count` pictures came or
// the clip closed. While no picture is ready it waits without taking audio,
// so that pictures and audio stay in step whatever the machine's speed.
Output Pull(PlayHead& head, RecordingDevice& dev, int count = INT_MAX)
{
    Output out;
    std::vector<uint8_t> pic(dev.PictureBytes());
    std::vector<int32_t> aud(dev.AudioBytesPerFrame() / sizeof(int32_t));
    size_t closesBefore = dev.CloseCount();
    auto deadline = Clock::now() + kDeadline;
    while (int(out.pictures.size()) < count && Clock::now() < deadline) {
        double t = head.GetVideoFrame(pic.data(), dev.Pitch());
        if (dev.CloseCount() > closesBefore) {
            out.closed = true;
            break;
        }
        if (t < 0) {
            std::this_thread::sleep_for(1ms);
            continue;
        }
        out.pictures.push_back(ReadFrameNumber(pic.data(), int(dev.fWidth), dev.Lines(), dev.Pitch()));
        head.GetAudioFrame(reinterpret_cast<uint8_t*>(aud.data()), int(dev.AudioBytesPerFrame()));
        out.audio.push_back(aud);
    }
    return out;
}

void Cue(PlayHead& head, RecordingDevice& dev, const std::string& path, int64_t startUs, int64_t lengthUs)
{
    ASSERT_FALSE(path.empty());
    size_t before = dev.CueCount();
    ASSERT_TRUE(head.LoadFile(path, startUs, lengthUs));
    ASSERT_TRUE(dev.WaitCues(before + 1)) << "no cue for " << path;
    EXPECT_EQ(PlayHead::ph_Cued, head.State());
}

// The mark every sample of device channel `ch` carries in one frame's block;
// invalid when the samples disagree or carry none.
AudioMark ChannelMark(const std::vector<int32_t>& block, int ch, int channels = 4)
{
    AudioMark first = DecodeAudioMark(block[size_t(ch)] >> 16);
    for (size_t i = size_t(ch); i < block.size(); i += size_t(channels)) {
        AudioMark m = DecodeAudioMark(block[i] >> 16);
        if (!m.valid || m.frame != first.frame || m.track != first.track || m.channel != first.channel)
            return AudioMark();
    }
    return first;
}

bool ChannelSilent(const std::vector<int32_t>& block, int ch, int channels = 4)
{
    for (size_t i = size_t(ch); i < block.size(); i += size_t(channels))
        if (block[i] != 0) return false;
    return true;
}

std::vector<int> Range(int from, int to)
{
    std::vector<int> v;
    for (int i = from; i <= to; i++) v.push_back(i);
    return v;
}

bool AllZero(const std::vector<int32_t>& v)
{
    for (int32_t s : v)
        if (s) return false;
    return true;
}

}  // namespace

// ------------------------------------------------------------------ cueing

struct CueCase {
    const char* name;
    ClipSpec clip;
    int startFrame;
    int width, height;
    bool progressive;
};

void PrintTo(const CueCase& c, std::ostream* os) { *os << c.name; }

class CueAtStart : public ::testing::TestWithParam<CueCase> {};

TEST_P(CueAtStart, FirstDeliveredPictureIsTheStartFrame)
{
    const CueCase& c = GetParam();
    RecordingDevice dev(c.width, c.height, c.progressive);
    PlayHead head(&dev, 1);
    Cue(head, dev, Clip(c.clip), FrameUs(c.startFrame, c.clip.frameRate), 0);
    ASSERT_EQ(1u, dev.Cues().size());
    EXPECT_EQ(1, dev.Cues()[0].head);
    EXPECT_NE(std::this_thread::get_id(), dev.Cues()[0].thread) << "cue reported on the read thread";

    head.SetToPlay();
    Output out = Pull(head, dev, 4);
    int expectedCount = std::min(4, c.clip.frames - c.startFrame);
    ASSERT_EQ(size_t(expectedCount), out.pictures.size());
    EXPECT_EQ(Range(c.startFrame, c.startFrame + expectedCount - 1), out.pictures);
    if (c.clip.frameRate.num == 25 && !c.clip.audioTracks.empty()) {
        // Audio starts on the start frame too.
        AudioMark m = ChannelMark(out.audio[0], 0);
        ASSERT_TRUE(m.valid);
        EXPECT_EQ(c.startFrame, m.frame);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Clips, CueAtStart,
    ::testing::Values(CueCase{"FirstFrame", Basic(), 0, 320, 180, true},
                      CueCase{"BetweenIntraPictures", Basic(), 13, 320, 180, true},
                      CueCase{"OnIntraPicture", Basic(), 36, 320, 180, true},
                      CueCase{"LastFrame", Basic(), 49, 320, 180, true},
                      CueCase{"FullHdInterlacedDevice", Basic(), 30, 1920, 540, false},
                      CueCase{"SdInterlacedDevice", Basic(), 7, 720, 288, false},
                      CueCase{"Ntsc", [] {
                                  ClipSpec s = WithTracks({1}, 45);
                                  s.frameRate = kNtsc;
                                  s.interlaced = true;
                                  s.gop = 15;
                                  return s;
                              }(),
                              31, 720, 243, false},
                      CueCase{"Fifty", [] {
                                  ClipSpec s = WithTracks({1}, 60);
                                  s.frameRate = AVRational{50, 1};
                                  return s;
                              }(),
                              41, 320, 180, true}),
    [](const ::testing::TestParamInfo<CueCase>& p) { return std::string(p.param.name); });

TEST(PlayHead, EndPointIsInclusiveAndClosesOnceOnTheDeliveringThread)
{
    RecordingDevice dev;
    PlayHead head(&dev, 0);
    Cue(head, dev, Clip(Basic()), 0, 1000000);
    EXPECT_DOUBLE_EQ(1.0, head.Duration());
    head.SetToPlay();
    Output out = Pull(head, dev);
    EXPECT_TRUE(out.closed);
    EXPECT_EQ(Range(0, 25), out.pictures);   // 0.00 s to 1.00 s
    ASSERT_EQ(1u, dev.CloseCount());
    EXPECT_EQ(0, dev.Closes()[0].head);
    EXPECT_EQ(std::this_thread::get_id(), dev.Closes()[0].thread);
    EXPECT_EQ(PlayHead::ph_NotCued, head.State());

    // Nothing of the clip comes after its end.
    std::vector<uint8_t> pic(dev.PictureBytes(), 0x5A);
    EXPECT_LT(head.GetVideoFrame(pic.data(), dev.Pitch()), 0.0);
    EXPECT_EQ(std::vector<uint8_t>(dev.PictureBytes(), 0x5A), pic);
    std::vector<int32_t> aud(dev.AudioBytesPerFrame() / 4, 77);
    EXPECT_EQ(0, head.GetAudioFrame(reinterpret_cast<uint8_t*>(aud.data()), int(dev.AudioBytesPerFrame())));
    EXPECT_TRUE(AllZero(aud));
    EXPECT_EQ(1u, dev.CloseCount());
}

TEST(PlayHead, WholeFilePlaysWithStartAndLengthZero)
{
    RecordingDevice dev;
    PlayHead head(&dev, 0);
    Cue(head, dev, Clip(Basic()), 0, 0);
    EXPECT_DOUBLE_EQ(0.0, head.Duration());
    EXPECT_FALSE(head.GoToTime(500000, true)) << "a clip without end point refuses seeks";

    // A cued clip shows nothing before it is played.
    std::vector<uint8_t> pic(dev.PictureBytes(), 0x33);
    EXPECT_LT(head.GetVideoFrame(pic.data(), dev.Pitch()), 0.0);
    EXPECT_EQ(std::vector<uint8_t>(dev.PictureBytes(), 0x33), pic);

    head.SetToPlay();
    EXPECT_EQ(PlayHead::ph_Playback, head.State());
    Output out = Pull(head, dev);
    EXPECT_TRUE(out.closed);
    EXPECT_EQ(Range(0, 49), out.pictures);
    for (size_t i = 0; i < out.audio.size(); i++) {
        AudioMark m0 = ChannelMark(out.audio[i], 0), m1 = ChannelMark(out.audio[i], 1);
        ASSERT_TRUE(m0.valid && m1.valid) << "frame " << i;
        EXPECT_EQ(int(i), m0.frame);
        EXPECT_EQ(int(i), m1.frame);
    }
    EXPECT_EQ(1u, dev.CloseCount());
}

TEST(PlayHead, ClipWithoutAudioCuesAtItsEndAndLeavesTheAudioBufferAlone)
{
    RecordingDevice dev;
    PlayHead head(&dev, 0);
    Cue(head, dev, Clip(WithTracks({}, 30)), FrameUs(20), 0);
    head.SetToPlay();
    std::vector<int32_t> aud(dev.AudioBytesPerFrame() / 4, 1234);
    EXPECT_EQ(0, head.GetAudioFrame(reinterpret_cast<uint8_t*>(aud.data()), int(dev.AudioBytesPerFrame())));
    EXPECT_EQ(std::vector<int32_t>(aud.size(), 1234), aud);
    Output out = Pull(head, dev);
    EXPECT_TRUE(out.closed);
    EXPECT_EQ(Range(20, 29), out.pictures);
}

TEST(PlayHead, ClipWithoutVideoCuesAtItsEndAndEndsWhenPlayed)
{
    ClipSpec spec = WithTracks({1, 1}, 25);
    spec.video = false;
    RecordingDevice dev;
    PlayHead head(&dev, 0);
    Cue(head, dev, Clip(spec), 0, 0);
    head.SetToPlay();
    // The pictures end a clip: with none, the first request closes it.
    Output out = Pull(head, dev);
    EXPECT_TRUE(out.closed);
    EXPECT_TRUE(out.pictures.empty());
    EXPECT_EQ(PlayHead::ph_NotCued, head.State());
}

TEST(PlayHead, AudioEndingFirstTurnsToSilenceUntilThePicturesEnd)
{
    ClipSpec spec = WithTracks({1, 1}, 20);
    spec.audioFrames = 10;
    spec.matroska = true;
    RecordingDevice dev;
    PlayHead head(&dev, 0);
    Cue(head, dev, Clip(spec), FrameUs(4), 0);
    head.SetToPlay();
    Output out = Pull(head, dev);
    EXPECT_TRUE(out.closed);
    ASSERT_EQ(Range(4, 19), out.pictures);
    for (size_t i = 0; i < out.audio.size(); i++) {
        int frame = out.pictures[i];
        for (int ch = 0; ch < 2; ch++) {
            if (frame < 10) {
                AudioMark m = ChannelMark(out.audio[i], ch);
                ASSERT_TRUE(m.valid) << "frame " << frame;
                EXPECT_EQ(frame, m.frame);
            } else {
                EXPECT_TRUE(ChannelSilent(out.audio[i], ch)) << "frame " << frame;
            }
        }
    }
}

// ------------------------------------------------------------ audio routing

struct RoutingCase {
    const char* name;
    std::vector<int> tracks;
    // Per device channel: {track, channel of the track}, or {-1, -1} for silence.
    std::vector<std::pair<int, int>> expected;
};

void PrintTo(const RoutingCase& c, std::ostream* os) { *os << c.name; }

class AudioRouting : public ::testing::TestWithParam<RoutingCase> {};

TEST_P(AudioRouting, TracksLandOnTheirDeviceChannels)
{
    const RoutingCase& c = GetParam();
    RecordingDevice dev;
    PlayHead head(&dev, 0);
    Cue(head, dev, Clip(WithTracks(c.tracks, 12)), FrameUs(2), 0);
    head.SetToPlay();
    Output out = Pull(head, dev, 5);
    ASSERT_EQ(5u, out.pictures.size());
    for (size_t f = 0; f < out.audio.size(); f++) {
        for (int ch = 0; ch < 4; ch++) {
            auto [track, trackChannel] = c.expected[size_t(ch)];
            if (track < 0) {
                EXPECT_TRUE(ChannelSilent(out.audio[f], ch)) << "channel " << ch << " frame " << f;
                continue;
            }
            AudioMark m = ChannelMark(out.audio[f], ch);
            ASSERT_TRUE(m.valid) << "channel " << ch << " frame " << f;
            EXPECT_EQ(track, m.track) << "channel " << ch;
            EXPECT_EQ(trackChannel, m.channel) << "channel " << ch;
            EXPECT_EQ(out.pictures[f], m.frame) << "channel " << ch;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Tracks, AudioRouting,
    ::testing::Values(RoutingCase{"ThreeMono", {1, 1, 1}, {{0, 0}, {1, 0}, {2, 0}, {-1, -1}}},
                      RoutingCase{"OneStereo", {2}, {{0, 0}, {0, 1}, {0, 0}, {0, 1}}},
                      RoutingCase{"OneMono", {1}, {{0, 0}, {0, 0}, {0, 0}, {0, 0}}},
                      RoutingCase{"FiveMonoFifthIgnored", {1, 1, 1, 1, 1}, {{0, 0}, {1, 0}, {2, 0}, {3, 0}}}),
    [](const ::testing::TestParamInfo<RoutingCase>& p) { return std::string(p.param.name); });

// ---------------------------------------------------------------- transport

TEST(PlayHead, GoToTimeWithReCueShowsTheNewFrameAndItsAudio)
{
    RecordingDevice dev;
    PlayHead head(&dev, 0);
    Cue(head, dev, Clip(Basic()), 0, FrameUs(48));
    head.SetToPlay();
    EXPECT_EQ(Range(0, 9), Pull(head, dev, 10).pictures);
    std::vector<int32_t> part(40);
    head.GetAudioFrame(reinterpret_cast<uint8_t*>(part.data()), int(part.size() * 4));   // leaves most of a block
    head.SetToPause();

    // Forwards between intra pictures, then backwards over played frames.
    int cues = 1;
    for (int target : {30, 5}) {
        ASSERT_TRUE(head.GoToTime(FrameUs(target), true));
        ASSERT_TRUE(dev.WaitCues(size_t(++cues)));
        EXPECT_EQ(PlayHead::ph_Cued, head.State());
        head.SetToPlay();
        Output out = Pull(head, dev, 3);
        EXPECT_EQ(Range(target, target + 2), out.pictures);
        ASSERT_FALSE(out.audio.empty());
        AudioMark m = ChannelMark(out.audio[0], 1);
        ASSERT_TRUE(m.valid);
        EXPECT_EQ(target, m.frame) << "audio of the old position came after the seek";
        head.SetToPause();
    }
    EXPECT_FALSE(head.GoToTime(FrameUs(48), true)) << "seek at or after the end point";
    EXPECT_EQ(0u, dev.CloseCount());
}

TEST(PlayHead, UpdateEndTimeClosesAtTheNewPoint)
{
    RecordingDevice dev;
    PlayHead head(&dev, 0);
    Cue(head, dev, Clip(Basic()), 0, FrameUs(45));
    head.SetToPlay();
    EXPECT_EQ(Range(0, 9), Pull(head, dev, 10).pictures);

    ASSERT_TRUE(head.UpdateEndTime(FrameUs(15)));
    Output out = Pull(head, dev);
    EXPECT_TRUE(out.closed);
    EXPECT_EQ(Range(10, 15), out.pictures);
    EXPECT_FALSE(head.UpdateEndTime(FrameUs(20))) << "no clip loaded";

    // An end point already passed closes at the next picture.
    Cue(head, dev, Clip(Basic()), 0, FrameUs(45));
    head.SetToPlay();
    EXPECT_EQ(Range(0, 9), Pull(head, dev, 10).pictures);
    ASSERT_TRUE(head.UpdateEndTime(FrameUs(4)));
    out = Pull(head, dev);
    EXPECT_TRUE(out.closed);
    EXPECT_TRUE(out.pictures.empty());
    EXPECT_EQ(2u, dev.CloseCount());
}

TEST(PlayHead, PauseHoldsThePictureAndSilencesTheAudio)
{
    RecordingDevice dev;
    PlayHead head(&dev, 0);
    Cue(head, dev, Clip(Basic()), 0, 0);
    head.SetToPlay();
    EXPECT_EQ(Range(0, 4), Pull(head, dev, 5).pictures);
    head.SetToPause();
    EXPECT_TRUE(head.IsPaused());
    EXPECT_EQ(PlayHead::ph_Paused, head.State());
    head.SetToPause();   // logged and ignored

    std::vector<uint8_t> pic(dev.PictureBytes(), 0x44);
    std::vector<int32_t> aud(dev.AudioBytesPerFrame() / 4, 99);
    for (int i = 0; i < 3; i++) {
        EXPECT_LT(head.GetVideoFrame(pic.data(), dev.Pitch()), 0.0);
        EXPECT_EQ(int(dev.AudioBytesPerFrame()),
                  head.GetAudioFrame(reinterpret_cast<uint8_t*>(aud.data()), int(dev.AudioBytesPerFrame())));
        EXPECT_TRUE(AllZero(aud));
    }
    EXPECT_EQ(std::vector<uint8_t>(dev.PictureBytes(), 0x44), pic);

    head.SetToPlay();
    Output out = Pull(head, dev, 3);
    EXPECT_EQ(Range(5, 7), out.pictures);
    AudioMark m = ChannelMark(out.audio[0], 0);
    ASSERT_TRUE(m.valid);
    EXPECT_EQ(5, m.frame);
}

TEST(PlayHead, LoadFileWhilePlayingIsRefusedAndPlaybackGoesOn)
{
    RecordingDevice dev;
    PlayHead head(&dev, 0);
    std::string path = Clip(Basic());
    Cue(head, dev, path, 0, 0);
    EXPECT_TRUE(head.ReadyToCue());
    head.SetToPlay();
    EXPECT_FALSE(head.ReadyToCue());
    EXPECT_EQ(Range(0, 2), Pull(head, dev, 3).pictures);
    EXPECT_FALSE(head.LoadFile(path, FrameUs(20), 0));
    EXPECT_EQ(PlayHead::ph_Playback, head.State());
    EXPECT_EQ(Range(3, 5), Pull(head, dev, 3).pictures);
    EXPECT_EQ(1u, dev.CueCount());
}

TEST(PlayHead, StopAndLoadFileNeverReport)
{
    RecordingDevice dev;
    PlayHead head(&dev, 0);
    std::string path = Clip(Basic());
    Cue(head, dev, path, 0, 0);
    Cue(head, dev, path, FrameUs(10), 0);   // replaces the cued clip
    head.Stop();
    EXPECT_EQ(PlayHead::ph_NotCued, head.State());
    head.Stop();   // nothing loaded
    ASSERT_TRUE(head.LoadFile(path, 0, 0));
    head.Stop();   // while cueing
    EXPECT_EQ(0u, dev.CloseCount());
    EXPECT_LE(dev.CueCount(), 3u);
}

TEST(PlayHead, UnreadableFileStaysCueingWithoutReportAndTheHeadStillWorks)
{
    TempDir dir;
    logDirectory = dir.Path();
    std::string bad = dir.Write("broken.mxf", std::string(4096, '\x17'));
    RecordingDevice dev;
    {
        PlayHead head(&dev, 0);
        ASSERT_TRUE(head.LoadFile(bad, 0, 0));

        // Wait for the read thread to give up: it logs the file's failure.
        std::string needle = "Port 3:0 : " + bad + ": ";
        bool logged = false;
        for (auto deadline = Clock::now() + kDeadline; !logged && Clock::now() < deadline;) {
            for (auto& f : std::filesystem::directory_iterator(dir.Path() + "/Logs"))
                logged = logged || ReadFileText(f.path().string()).find(needle) != std::string::npos;
            if (!logged) std::this_thread::sleep_for(10ms);
        }
        ASSERT_TRUE(logged);
        EXPECT_EQ(PlayHead::ph_CueInProgress, head.State());
        EXPECT_EQ(0u, dev.CueCount());
        EXPECT_EQ(0u, dev.CloseCount());

        // The next clip on the same head opens normally.
        Cue(head, dev, Clip(Basic()), FrameUs(3), 0);
        head.SetToPlay();
        EXPECT_EQ(Range(3, 4), Pull(head, dev, 2).pictures);
    }
    logDirectory.clear();   // only once no playhead thread can log any more
}

TEST(PlayHead, RefusesBadRequests)
{
    RecordingDevice dev;
    PlayHead head(&dev, 0);
    EXPECT_FALSE(head.GoToTime(0, true));
    EXPECT_FALSE(head.IsPaused());
    EXPECT_DOUBLE_EQ(0.0, head.Duration());
    head.SetToPlay();
    head.SetToPause();
    EXPECT_EQ(PlayHead::ph_NotCued, head.State());
    EXPECT_FALSE(head.LoadFile(Clip(Basic()), -40000, 0));
    EXPECT_FALSE(head.LoadFile(Clip(Basic()), 0, -1));

    Cue(head, dev, Clip(Basic()), 0, 0);
    head.SetToPlay();
    std::vector<uint8_t> small(64);
    EXPECT_LT(head.GetVideoFrame(small.data(), 16), 0.0) << "a pitch shorter than a line is refused";
    EXPECT_LT(head.GetVideoFrame(nullptr, dev.Pitch()), 0.0);
    EXPECT_EQ(0, head.GetAudioFrame(nullptr, -5));
}

// ----------------------------------------------------- dropping a clip cleanly

TEST(PlayHead, DroppedClipLeavesNothingStaleBehind)
{
    RecordingDevice dev;
    PlayHead head(&dev, 0);
    std::string path = Clip(Basic());

    // A device thread pulls while the control side stops the clip under it.
    for (int round = 0; round < 3; round++) {
        Cue(head, dev, path, 0, 0);
        head.SetToPlay();
        std::atomic<bool> run{true};
        std::atomic<int> pictures{0};
        std::thread device([&] {
            std::vector<uint8_t> pic(dev.PictureBytes());
            std::vector<uint8_t> aud(dev.AudioBytesPerFrame());
            while (run) {
                if (head.GetVideoFrame(pic.data(), dev.Pitch()) >= 0) pictures++;
                head.GetAudioFrame(aud.data(), int(aud.size()));
                std::this_thread::sleep_for(1ms);
            }
        });
        for (auto deadline = Clock::now() + kDeadline; pictures < 3 && Clock::now() < deadline;)
            std::this_thread::sleep_for(1ms);
        head.Stop();
        std::vector<uint8_t> pic(dev.PictureBytes(), 0x21);
        std::vector<int32_t> aud(dev.AudioBytesPerFrame() / 4, 5);
        EXPECT_LT(head.GetVideoFrame(pic.data(), dev.Pitch()), 0.0);
        EXPECT_EQ(0, head.GetAudioFrame(reinterpret_cast<uint8_t*>(aud.data()), int(dev.AudioBytesPerFrame())));
        run = false;
        device.join();
        EXPECT_EQ(std::vector<uint8_t>(dev.PictureBytes(), 0x21), pic);
        EXPECT_TRUE(AllZero(aud));
    }
    EXPECT_EQ(0u, dev.CloseCount());

    // Audio left over inside a block is not carried into the next clip.
    Cue(head, dev, path, 0, 0);
    head.SetToPlay();
    Output first = Pull(head, dev, 1);
    ASSERT_EQ(1u, first.pictures.size());
    std::vector<int32_t> part(40);
    head.GetAudioFrame(reinterpret_cast<uint8_t*>(part.data()), int(part.size() * 4));   // leaves most of a block
    EXPECT_TRUE(ChannelMark(part, 0).valid);
    head.Stop();
    Cue(head, dev, path, FrameUs(20), 0);
    std::vector<int32_t> aud(dev.AudioBytesPerFrame() / 4, 5);
    head.GetAudioFrame(reinterpret_cast<uint8_t*>(aud.data()), int(dev.AudioBytesPerFrame()));
    EXPECT_TRUE(AllZero(aud)) << "a cued clip is silent until played";
    head.SetToPlay();
    Output next = Pull(head, dev, 1);
    ASSERT_EQ(std::vector<int>{20}, next.pictures);
    AudioMark m = ChannelMark(next.audio[0], 0);
    ASSERT_TRUE(m.valid);
    EXPECT_EQ(20, m.frame);
}

TEST(PlayHead, PicturesThatChangeSizeAreScaledAfresh)
{
    ClipSpec spec;
    spec.frames = 16;
    spec.audioTracks = {1};
    spec.matroska = true;
    spec.switchFrame = 8;
    spec.switchWidth = 640;
    spec.switchHeight = 360;
    RecordingDevice dev(480, 270, true);
    PlayHead head(&dev, 0);
    Cue(head, dev, Clip(spec), FrameUs(5), 0);
    head.SetToPlay();
    Output out = Pull(head, dev);
    EXPECT_TRUE(out.closed);
    // FFmpeg's MPEG-2 decoder loses the last picture before a new sequence
    // (frame 7); every picture it does give must be scaled right, in order,
    // on both sides of the change.
    ASSERT_GE(out.pictures.size(), 9u);
    EXPECT_EQ(5, out.pictures.front());
    EXPECT_EQ(15, out.pictures.back());
    for (size_t i = 1; i < out.pictures.size(); i++) EXPECT_GT(out.pictures[i], out.pictures[i - 1]);
}

TEST(PlayHead, ClosingNeverBlocksOnACueCallbackOrAPendingSeek)
{
    RecordingDevice dev;
    PlayHead head(&dev, 0);
    std::string path = Clip(Basic());

    // A channel puts a freshly cued clip on air from its callback, while its
    // control side stops the head at that very moment.
    std::atomic<bool> inCallback{false};
    dev.onCueDone = [&](int) {
        inCallback = true;
        std::this_thread::sleep_for(20ms);   // Stop is under way by now
        head.SetToPlay();
    };
    for (int i = 0; i < 3; i++) {
        inCallback = false;
        ASSERT_TRUE(head.LoadFile(path, FrameUs(i), 0));
        for (auto deadline = Clock::now() + kDeadline; !inCallback && Clock::now() < deadline;)
            std::this_thread::sleep_for(1ms);
        ASSERT_TRUE(inCallback);
        head.Stop();   // must return: a hang here fails the test by its timeout
        EXPECT_EQ(PlayHead::ph_NotCued, head.State());
    }
    dev.onCueDone = nullptr;

    // Seeks requested just before the clip is closed, at every moment of a cue.
    std::vector<uint8_t> pic(dev.PictureBytes());
    for (int i = 0; i < 60; i++) {
        ASSERT_TRUE(head.LoadFile(path, FrameUs(i % 7), FrameUs(40)));
        std::this_thread::sleep_for(std::chrono::microseconds(100 * (i % 20)));
        head.SetToPlay();
        head.GetVideoFrame(pic.data(), dev.Pitch());
        head.GoToTime(FrameUs(20 + i % 9), i % 2 == 0);
        head.Stop();
        EXPECT_EQ(PlayHead::ph_NotCued, head.State());
    }
    EXPECT_EQ(0u, dev.CloseCount());
}

// -------------------------------------------------------------------- IMX

TEST(PlayHead, ImxClipsLeaveTheirVerticalBlankingOffAir)
{
    ClipSpec spec;
    spec.imx = true;
    spec.height = 576;
    spec.frames = 12;
    spec.audioTracks = {1};
    RecordingDevice dev(720, 288, false);
    PlayHead head(&dev, 0);
    Cue(head, dev, Clip(spec), FrameUs(4), 0);
    head.SetToPlay();

    std::vector<uint8_t> pic(dev.PictureBytes());
    int got = 0;
    for (auto deadline = Clock::now() + kDeadline; got < 3 && Clock::now() < deadline;) {
        if (head.GetVideoFrame(pic.data(), dev.Pitch()) < 0) {
            std::this_thread::sleep_for(1ms);
            continue;
        }
        int frame = 4 + got++;
        EXPECT_EQ(frame, ReadFrameNumber(pic.data(), 720, 576, dev.Pitch()));
        // The first lines are the top row of the picture's mark: black and
        // white cells, not the flat grey of the blanking.
        for (int line = 0; line < 4; line++) {
            for (int cx = 0; cx < 16; cx++) {
                int x = int((cx + 0.5) * 720 / 32);
                int y = pic[size_t(line) * size_t(dev.Pitch()) + size_t(2 * x + 1)];
                bool one = (frame >> (15 - cx)) & 1;
                if (one)
                    EXPECT_GT(y, 200) << "line " << line << " cell " << cx;
                else
                    EXPECT_LT(y, 60) << "line " << line << " cell " << cx;
            }
        }
    }
    EXPECT_EQ(3, got);
}
