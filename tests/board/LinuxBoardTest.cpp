// The production board on a machine without the video board.
#include "board/LinuxBoard.h"

#include "fixtures/CapturedLog.h"
#include "fixtures/TestDevice.h"

#include <gtest/gtest.h>

TEST(LinuxBoard, OpenDeviceFailsCleanlyWithoutTheNode)
{
    CapturedLog log;
    Board::Install(nullptr);   // the Linux board
    TestDevice dev;
    EXPECT_FALSE(dev.OpenDevice("/dev/video-zezeruviv-absent", false));
    EXPECT_TRUE(log.Contains("Video device /dev/video-zezeruviv-absent is not accessible or does not exist.\n"));
    EXPECT_FALSE(dev.isOpened);
    EXPECT_EQ(-1, dev.portDesc);
    EXPECT_EQ(nullptr, dev.audioDev);
}

TEST(LinuxBoard, OpenDeviceRefusesAFileThatIsNotADevice)
{
    CapturedLog log;
    TestDevice dev;
    EXPECT_FALSE(dev.OpenDevice("/proc/version", false));
    EXPECT_TRUE(log.Contains("Wrong mode for video device: /proc/version\n"));
}
