// The program itself, run as a process on loopback.
#include "fixtures/LogCapture.h"
#include "fixtures/ServerProcess.h"
#include "fixtures/TempDir.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/filesystem.hpp>

#include <cstring>
#include <thread>

using namespace std::chrono_literals;

namespace {

const std::string kRule = "-----------------------------------\n";

// Start-up is over once the closing rule follows the count line.
bool WaitUntilRunning(ServerProcess& p)
{
    return p.WaitForStdout("Number of Network Servers:", 20s) &&
           p.WaitForStdout(kRule + "-----------------------------------\n", 20s);
}

bool WaitForFile(const std::string& path, std::chrono::milliseconds limit)
{
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!boost::filesystem::exists(path)) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

std::string Entry(const std::string& body) { return "  - type: tcpip\n    ip: 127.0.0.1\n" + body; }

}  // namespace

TEST(Program, ReadsTheInterfacesUntilABadValueAndStopsCleanlyOnSigint)
{
    TempDir dir;
    PortHolder busy;
    int vdcp = FreeLoopbackPort(), quarn = FreeLoopbackPort(), never = FreeLoopbackPort();
    std::string config =
        "log-files-path: " + dir / "logs" + "\n"
        "database:\n  path: " + dir / "missing/two-levels" + "\n"
        "board:\n  type: simulated\n  outputs: 2\n  inputs: 1\n  width: 64\n  height: 36\n"
        "interfaces:\n" +
        Entry("    port: " + std::to_string(vdcp) + "\n    protocol: vdcp\n") +
        Entry("    port: " + std::to_string(vdcp) + "\n") +                                   // duplicate
        Entry("    port: " + std::to_string(quarn) + "\n    protocol: QuArN\n    device-index: 1\n") +
        Entry("    port: " + std::to_string(never + 1) + "\n    protocol: quarn\n") +          // no device-index
        Entry("    port: " + std::to_string(never + 2) + "\n    protocol: quarn\n    device-index: -1\n") +
        Entry("    port: " + std::to_string(never + 3) + "\n    protocol: quarn\n    device-index: 0\n") +
        "  - type: com\n    port-name: /dev/ttyS0\n" +
        "  - type: carrier-pigeon\n" +
        "  - ip: 127.0.0.1\n    port: 1\n" +                                                  // no type
        Entry("    port: " + std::to_string(busy.port) + "\n") +                              // in use
        Entry("    port: not-a-number\n") +                                                  // reading stops here
        Entry("    port: " + std::to_string(never) + "\n");
    std::string path = dir.Write("config.yaml", config);

    ServerProcess p(dir.Path(), path);
    ASSERT_TRUE(p.Start());
    ASSERT_TRUE(WaitUntilRunning(p)) << p.Stdout();

    std::string out = p.Stdout();
    EXPECT_NE(std::string::npos, out.find("0.7.5"));
    EXPECT_EQ(0u, out.find("zezeruviv"));
    EXPECT_NE(std::string::npos, out.find("Reading configuration from " + path +
                                          " ... FAILED\nDatabase path does not exist and cannot be created."));
    EXPECT_NE(std::string::npos, out.find("FAILED\nCannot load configuartion from " + path + ": "));
    EXPECT_NE(std::string::npos, out.find("\nOK\n"));
    EXPECT_NE(std::string::npos, out.find("Number of Network Servers: 2\n" + kRule));

    std::string logFile = TodaysLogFile(dir / "logs");
    std::string log = ReadFileText(logFile);
    EXPECT_NE(std::string::npos, log.find("INFO : -------------- INIT VDCP SERVER --------------\n"));
    size_t invalid = 0;
    for (size_t at = 0; (at = log.find("ERROR: Invalid output device index for interface 127.0.0.1.\n", at)) !=
                        std::string::npos;
         ++at)
        ++invalid;
    EXPECT_EQ(3u, invalid);
    EXPECT_NE(std::string::npos,
              log.find("127.0.0.1:" + std::to_string(busy.port) + " Error binding socket with code 98\n"));
    EXPECT_NE(std::string::npos, log.find("INFO : 127.0.0.1 port " + std::to_string(vdcp) + " (NO ERRORS)\n"));
    EXPECT_NE(std::string::npos, log.find("INFO : 127.0.0.1 port " + std::to_string(quarn) + " (NO ERRORS)\n"));
    EXPECT_NE(std::string::npos, log.find("(QUARN) Network Server started."));
    // The database folder could not be made: the database lands in the working directory.
    EXPECT_TRUE(WaitForFile(dir / "Storage.db", 20s));
    EXPECT_FALSE(boost::filesystem::exists(dir / "missing"));

    EXPECT_EQ(-1, ConnectLoopback(never));
    int quarnClient = ConnectLoopback(quarn);
    EXPECT_GE(quarnClient, 0);
    int silent = ConnectLoopback(vdcp);
    ASSERT_GE(silent, 0);
    ASSERT_TRUE(p.WaitForStderr("VDCP Recv Thread started", 10s));

    p.Interrupt();
    int status = -1;
    ASSERT_TRUE(p.Wait(30s, status)) << "the silent client held the server up";
    EXPECT_EQ(0, status);
    log = ReadFileText(logFile);
    std::string v = "127.0.0.1:" + std::to_string(vdcp);
    EXPECT_TRUE(AppearsInOrder(log, v + " Connection interrupted.\n", v + " Network Server finished.\n")) << log;
    EXPECT_NE(std::string::npos, log.find("VDCP Recv Thread finished on socket"));
    char b;
    EXPECT_EQ(0, recv(silent, &b, 1, 0));
    close(silent);
    close(quarnClient);
}

TEST(Program, WithoutAConfigurationFileListensOnPort4002OfEveryAddress)
{
    int probe = ConnectLoopback(4002);
    if (probe >= 0) {
        close(probe);
        GTEST_SKIP() << "something else listens on port 4002 here";
    }
    TempDir dir;
    std::string path = dir / "absent.yaml";
    ServerProcess p(dir.Path(), path);
    ASSERT_TRUE(p.Start());
    ASSERT_TRUE(WaitUntilRunning(p)) << p.Stdout();

    std::string out = p.Stdout();
    EXPECT_NE(std::string::npos, out.find("Reading configuration from " + path + " ... FAILED\nCannot load configuartion from " +
                                          path + ": "));
    EXPECT_NE(std::string::npos, out.find("\nOK\n"));
    int c = ConnectLoopback(4002);
    EXPECT_GE(c, 0);
    // The log and the database go to the working directory.
    std::string log = ReadFileText(TodaysLogFile(dir.Path()));
    EXPECT_NE(std::string::npos, log.find("127.0.0.1 port 4002 (NO ERRORS)\n"));

    p.Interrupt();
    int status = -1;
    ASSERT_TRUE(p.Wait(30s, status));
    EXPECT_EQ(0, status);
    if (c >= 0) close(c);
}

TEST(Program, UncreatableLogDirectoryFallsBackToTheWorkingDirectory)
{
    TempDir dir;
    int port = FreeLoopbackPort();
    std::string path = dir.Write("config.yaml", "log-files-path: " + dir / "a/b/c" +
                                                    "\n"
                                                    "storage:\n  path: " + dir / "media" + "\n  extension: .MXF\n"
                                                    "interfaces:\n" + Entry("    port: " + std::to_string(port) + "\n"));
    ServerProcess p(dir.Path(), path);
    ASSERT_TRUE(p.Start());
    ASSERT_TRUE(WaitUntilRunning(p)) << p.Stdout();
    std::string out = p.Stdout();
    EXPECT_NE(std::string::npos, out.find(" ... Log directory cannot be created. Using current working directory.\nOK\n"));
    EXPECT_NE(std::string::npos, out.find("Number of Network Servers: 1\n"));
    EXPECT_NE(std::string::npos, ReadFileText(TodaysLogFile(dir.Path())).find("INIT VDCP SERVER"));
    p.Interrupt();
    int status = -1;
    ASSERT_TRUE(p.Wait(30s, status));
    EXPECT_EQ(0, status);
}
