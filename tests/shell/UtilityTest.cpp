#include "shell/Utility.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

TEST(Bcd, ConvertsAndRefusesOutOfRange)
{
    EXPECT_EQ(-1, BCDToInt(0x9A));
    EXPECT_EQ(-1, BCDToInt(0xA0));
    EXPECT_EQ(99, BCDToInt(0x99));
    EXPECT_EQ(0, BCDToInt(0x00));
    EXPECT_EQ(0x42, IntToBCD(42));
    EXPECT_EQ(0xFF, IntToBCD(100));
    EXPECT_EQ(0xFF, IntToBCD(-1));
}

TEST(Timecode, FramesRoundTrip)
{
    EXPECT_EQ(0x01000000u, FramesToCTime(90000, 25));
    EXPECT_EQ(90000, CTimeToFrames(0x01000000, 25));
    EXPECT_EQ(0x01020304u, FramesToCTime(CTimeToFrames(0x01020304, 25), 25));
    EXPECT_EQ(0x00000029u, FramesToCTime(29, 30));
    // 100 hours do not fit BCD: the hours byte is 0xFF.
    EXPECT_EQ(0xFFu, FramesToCTime(360000 * 25, 25) >> 24);
    // A negative count gives 0xFF units, never a wrapped timecode.
    EXPECT_EQ(0xFFu, FramesToCTime(-1, 25) & 0xFF);
    // A frame rate of 0 is refused rather than divided by.
    EXPECT_EQ(0u, FramesToCTime(100, 0));
    // Invalid BCD units contribute -1 in their place.
    EXPECT_EQ(-1 + 25 * 1, CTimeToFrames(0x0000010A, 25));
}

struct MicrosCase {
    cTime tc;
    double rate;
    int64_t expected;
};

TEST(Timecode, ToMicroseconds)
{
    const MicrosCase cases[] = {
        {0x00000025, 25.0, 0},            // frame 25 is not below the rate
        {0x00000100, 25.0, 1000000},
        {0x00600000, 25.0, 0},            // 60 minutes
        {0x00006000, 25.0, 0},            // 60 seconds
        {0x00000000, 25.0, 0},
        {0x00000100, 0.0, 0},
        {0xA0000000, 25.0, 0},            // hours not BCD
        {0x99000000, 25.0, 99ll * 3600 * 1000000},
        {0x01020304, 25.0, (3600 + 120 + 3) * 1000000ll + 160000},
        {0x00000029, 29.97, 967634},      // frame 29 exists at 29.97
        {0x00000030, 29.97, 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.expected, cTimeToMicroseconds(c.tc, c.rate)) << std::hex << c.tc << " @ " << c.rate;
}

TEST(Timecode, FromText)
{
    const std::pair<const char*, cTime> cases[] = {
        {"1:2:3:4", 0x01020304},
        {"10:00:00;00", 0x10000000},
        {"10:00:00", 0},
        {"100:00:00:00", 0},
        {"10:00:00:00:05", 0x10000000},
        {"00:75:00:00", 0x00750000},      // fields are not compared with 59
        {"::1:", 0x00000100},             // empty fields are 0, the last one too
        {"", 0},
        {"n/a", 0},
        {"-1:00:00:00", 0},
    };
    for (const auto& c : cases) EXPECT_EQ(c.second, CharToCTime(c.first)) << c.first;
    EXPECT_EQ(0u, CharToCTime(nullptr));
}

TEST(Timecode, FromWire)
{
    BYTE wire[4] = {0x12, 0x34, 0x56, 0x10};
    EXPECT_EQ(0x10563412u, VdcpTimeToCTime(wire));
}

TEST(ErrorText, CopyAndReplace)
{
    EXPECT_EQ(nullptr, CopyParam(nullptr));
    EXPECT_EQ(nullptr, CopyParam(""));
    char* text = nullptr;
    CreateErrorMsg(&text, "Error binding socket with code %i", 98);
    ASSERT_NE(nullptr, text);
    EXPECT_STREQ("Error binding socket with code 98", text);
    CreateErrorMsg(&text, "%s", "");
    EXPECT_EQ(nullptr, text);
    std::string longText(5000, 'x');
    CreateErrorMsg(&text, "%s", longText.c_str());
    ASSERT_NE(nullptr, text);
    EXPECT_EQ(1023u, strlen(text));
    free(text);
    CreateErrorMsg(nullptr, "ignored");
}
