#include "shell/Log.h"

#include "fixtures/TempDir.h"

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>
#include <unistd.h>

#include <cstring>

namespace {

time_t fakeNow = 0;
time_t FakeClock() { return fakeNow; }

time_t LocalTime(int year, int month, int day, int hour, int minute, int second)
{
    struct tm t;
    memset(&t, 0, sizeof(t));
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    t.tm_isdst = -1;
    return mktime(&t);
}

class LogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        savedDir = logDirectory;
        logDirectory = dir.Path();
        SetLogClock(FakeClock);
    }
    void TearDown() override
    {
        SetLogClock(nullptr);
        logDirectory = savedDir;
    }
    TempDir dir;
    std::string savedDir;
};

}  // namespace

TEST_F(LogTest, EntriesLandInDailyFilesSplitAtMidnight)
{
    fakeNow = LocalTime(2023, 4, 7, 23, 59, 59);
    EXPECT_EQ(1, MsgToLog(L_ERROR, "before %s\n", "midnight"));
    fakeNow = LocalTime(2023, 4, 8, 0, 0, 1);
    EXPECT_EQ(1, MsgToLog(L_WARN, "after\n"));

    EXPECT_EQ("2023-04-07 23:59:59 ERROR: before midnight\n", ReadFileText(dir / "Logs/2023-04-07.log"));
    EXPECT_EQ("2023-04-08 00:00:01 WARN : after\n", ReadFileText(dir / "Logs/2023-04-08.log"));
}

TEST_F(LogTest, LabelsAndUnterminatedEntries)
{
    fakeNow = LocalTime(2024, 1, 2, 3, 4, 5);
    LogSrvMessage("--> ACK", L_DEBUG);
    MsgToLog(L_MSG, "plain\n");
    MsgToLog(LogSeverity(3), "odd severity\n");
    EXPECT_EQ(0, LogSrvMessage(nullptr, L_MSG));
    EXPECT_EQ("2024-01-02 03:04:05 DEBUG: --> ACK"
              "2024-01-02 03:04:05 INFO : plain\n"
              "2024-01-02 03:04:05 INFO : odd severity\n",
              ReadFileText(dir / "Logs/2024-01-02.log"));
}

TEST_F(LogTest, LongMessageIsTruncatedNotOverrun)
{
    fakeNow = LocalTime(2024, 1, 3, 0, 0, 0);
    std::string big(10000, 'y');
    EXPECT_EQ(1, MsgToLog(L_MSG, "%s", big.c_str()));
    std::string text = ReadFileText(dir / "Logs/2024-01-03.log");
    EXPECT_EQ(strlen("2024-01-03 00:00:00 INFO : ") + strlen("%s") + 4095, text.size());
}

TEST_F(LogTest, EmptyDirectoryMeansWorkingDirectory)
{
    fakeNow = LocalTime(2024, 2, 2, 12, 0, 0);
    char cwd[4096];
    ASSERT_NE(nullptr, getcwd(cwd, sizeof(cwd)));
    ASSERT_EQ(0, chdir(dir.Path().c_str()));
    logDirectory.clear();
    MsgToLog(L_MSG, "here\n");
    ASSERT_EQ(0, chdir(cwd));
    EXPECT_NE(std::string::npos, ReadFileText(dir / "Logs/2024-02-02.log").find("INFO : here\n"));
}

TEST_F(LogTest, UnwritableDirectoryReportsOnStderrAndStillEchoes)
{
    fakeNow = LocalTime(2024, 3, 3, 0, 0, 0);
    // A regular file where the log directory should be: neither the Logs
    // folder nor the file can be made, whoever runs the test.
    logDirectory = dir.Write("not-a-dir", "x");
    testing::internal::CaptureStderr();
    EXPECT_EQ(1, MsgToLog(L_ERROR, "lost?\n"));
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(std::string::npos, err.find("Cannot create Logs Directory at \"" + logDirectory + "/Logs\".\nError:  "));
    EXPECT_NE(std::string::npos, err.find("Cannot create log file at " + logDirectory + "/Logs/2024-03-03.log.\nError :  "));
    EXPECT_NE(std::string::npos, err.find("2024-03-03 00:00:00 ERROR: lost?\n"));
}
