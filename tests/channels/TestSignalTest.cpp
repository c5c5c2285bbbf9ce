// testsignal, the bars-and-tone tool, run as an engineer runs it.
#include "fixtures/FrameLog.h"
#include "fixtures/TempDir.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <string>

namespace {

struct ToolRun {
    int status;
    std::string out, err;
};

ToolRun RunTestSignal(const TempDir& dir, const std::string& args)
{
    const std::string cmd = std::string(ZZ_TOOLS_DIR) + "/testsignal " + args + " >" + (dir / "out.txt") + " 2>" +
                            (dir / "err.txt");
    const int raw = std::system(cmd.c_str());
    ToolRun r;
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.out = ReadFileText(dir / "out.txt");
    r.err = ReadFileText(dir / "err.txt");
    return r;
}

std::string SimConfig(const TempDir& dir)
{
    return dir.Write("config.yaml", "log-files-path: " + dir.Path() +
                                        "\n"
                                        "board:\n"
                                        "  type: simulated\n"
                                        "  outputs: 1\n"
                                        "  inputs: 1\n"
                                        "  width: 320\n"
                                        "  height: 180\n"
                                        "  field: none\n"
                                        "  frame-rate: 25\n"
                                        "  frame-log: " +
                                        (dir / "frames") + "\n  preview: " + (dir / "preview") + "\n");
}

TEST(TestSignal, PlaysBarsAndToneWithoutARepeat)
{
    TempDir dir;
    const ToolRun r = RunTestSignal(dir, SimConfig(dir) + " /dev/video0 1.2");
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("repeats: 0\n")) << r.out;
    const size_t at = r.out.find("periods shown: ");
    ASSERT_NE(std::string::npos, at) << r.out;
    const unsigned long periods = std::stoul(r.out.substr(at + 15));
    EXPECT_GE(periods, 30u);

    std::vector<FrameRecord> log = ReadFrameLog(dir / "frames/video0.frames");
    ASSERT_EQ(periods, log.size());
    size_t checked = 0;
    // The first four periods show the buffers zeroed at STREAMON.
    for (size_t i = 4; i < log.size(); ++i) {
        const FrameRecord& f = log[i];
        EXPECT_FALSE(f.Repeat());
        // Eight bars of four thumbnail columns each, full height, from white
        // down to black.
        int previous = 256;
        for (int bar = 0; bar < 8; ++bar) {
            const uint8_t luma = f.Luma(bar * 4, 0);
            for (int row = 0; row < 18; ++row)
                for (int c = 0; c < 4; ++c) EXPECT_EQ(luma, f.Luma(bar * 4 + c, row)) << "bar " << bar;
            EXPECT_LT(luma, previous) << "bar " << bar;
            previous = luma;
        }
        EXPECT_EQ(235, f.Luma(0, 0));
        EXPECT_EQ(16, f.Luma(31, 17));
        // -20 dBFS sine: RMS 0.1 / sqrt(2) on every channel.
        EXPECT_FALSE(f.AudioOff()) << "period " << i;
        for (int c = 0; c < 4; ++c) EXPECT_NEAR(0.0707, f.rms[c], 0.0005) << "period " << i << " ch " << c;
        ++checked;
    }
    EXPECT_GE(checked, 26u);

    // The preview is a PNG of the picture (small enough to keep its size).
    const std::string png = ReadFileText(dir / "preview/video0.png");
    ASSERT_GT(png.size(), 24u);
    EXPECT_EQ(std::string("\x89PNG\r\n\x1a\n", 8), png.substr(0, 8));
    auto be32 = [&](size_t o) {
        return (uint32_t(uint8_t(png[o])) << 24) | (uint32_t(uint8_t(png[o + 1])) << 16) |
               (uint32_t(uint8_t(png[o + 2])) << 8) | uint32_t(uint8_t(png[o + 3]));
    };
    EXPECT_EQ(320u, be32(16));
    EXPECT_EQ(180u, be32(20));
}

TEST(TestSignal, RefusesWhatItCannotPlay)
{
    TempDir dir;
    const std::string config = SimConfig(dir);
    struct Case {
        std::string args;
        const char* message;
    } cases[] = {
        {dir / "missing.yaml", "cannot load configuration"},
        {dir.Write("bad.yaml", "board:\n  type: simulated\n  field: sideways\n") + " /dev/video0 1",
         "cannot load configuration"},
        {config + " /dev/video1 1", "cannot open output device /dev/video1"},   // the input node
        {config + " /dev/video7 1", "cannot open output device /dev/video7"},
        {config + " /dev/video0 soon", "SECONDS must be a number"},
    };
    for (const Case& c : cases) {
        std::string args = c.args;
        if (args.find(' ') == std::string::npos) args += " /dev/video0 1";
        const ToolRun r = RunTestSignal(dir, args);
        EXPECT_NE(0, r.status) << args;
        EXPECT_NE(std::string::npos, r.err.find(c.message)) << args << "\n" << r.err;
    }
}

}  // namespace
