#include "server/VDCPServer.h"

#include "board/SimBoard.h"
#include "fixtures/LogCapture.h"
#include "fixtures/ServerProcess.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <future>

using namespace std::chrono_literals;

namespace {

// Runs f on another thread; false if it has not returned within `limit`.
template <typename F>
bool FinishesWithin(F f, std::chrono::seconds limit)
{
    auto done = std::async(std::launch::async, f);
    return done.wait_for(limit) == std::future_status::ready;
}

}  // namespace

TEST(ServerDevices, EnumeratesOutputsAndInputsOfTheBoard)
{
    SimBoardConfig cfg;
    cfg.outputs = 2;
    cfg.inputs = 1;
    ScopedBoard board(std::make_shared<SimBoard>(cfg));
    VDCPServer srv;
    ASSERT_EQ(2u, srv.OutputDevices().size());
    ASSERT_EQ(1u, srv.InputDevices().size());
    EXPECT_STREQ("/dev/video0", srv.OutputDevices()[0]);
    EXPECT_STREQ("/dev/video2", srv.InputDevices()[0]);

    EXPECT_STREQ("/dev/video1", srv.GetDevNameByPortNum(2));
    EXPECT_STREQ("/dev/video2", srv.GetDevNameByPortNum(0x81));
    EXPECT_EQ(nullptr, srv.GetDevNameByPortNum(0));
    EXPECT_EQ(nullptr, srv.GetDevNameByPortNum(0x80));
    EXPECT_EQ(nullptr, srv.GetDevNameByPortNum(3));
    EXPECT_EQ(nullptr, srv.GetDevNameByPortNum(0x82));
}

TEST(ServerDevices, ScanStopsAtTheFirstMissingNode)
{
    SimBoardConfig cfg;
    cfg.outputs = 3;
    cfg.inputs = 1;
    auto sim = std::make_shared<SimBoard>(cfg);
    sim->RemoveNode(0);
    ScopedBoard board(sim);
    VDCPServer srv;
    EXPECT_TRUE(srv.OutputDevices().empty());
    EXPECT_TRUE(srv.InputDevices().empty());
}

TEST(ServerListeners, StartListAndRefuseDuplicates)
{
    LogCapture log;
    VDCPServer srv;
    int port = FreeLoopbackPort();
    ASSERT_TRUE(srv.StartServer("127.0.0.1", port, protoVDCP, nullptr));
    EXPECT_EQ(vdNoError, srv.GetError());
    EXPECT_FALSE(srv.StartServer("127.0.0.1", port, protoVDCP, nullptr));
    EXPECT_EQ(vdServerExists, srv.GetError());
    EXPECT_FALSE(srv.StartServer("127.0.0.1", port + 1, protoQuarn, nullptr));
    EXPECT_EQ(vdWrongSrvInitParams, srv.GetError());
    EXPECT_FALSE(srv.StartServer("not-an-address", port + 1, protoVDCP, nullptr));
    EXPECT_EQ(1u, srv.ServersCount());

    SRVINFO* table = nullptr;
    ASSERT_EQ(1, srv.GetServersInfo(&table));
    EXPECT_STREQ("127.0.0.1", table[0].ip);
    EXPECT_EQ(port, table[0].port);
    EXPECT_EQ(nullptr, table[0].errMsg);
    delete[] table;
    EXPECT_EQ(0, srv.GetBadServersInfo(&table));
    EXPECT_EQ(nullptr, table);

    int client = ConnectLoopback(port);
    EXPECT_GE(client, 0);
    EXPECT_TRUE(log.WaitFor("VDCP Recv Thread started on socket", 5s));
    close(client);
    EXPECT_TRUE(log.WaitFor("VDCP Recv Thread finished on socket", 5s));
    EXPECT_TRUE(log.Text().find("127.0.0.1:" + std::to_string(port) + " (VDCP) Network Server started.\n") !=
                std::string::npos);

    EXPECT_FALSE(srv.DeleteServer(5));
    EXPECT_TRUE(srv.DeleteServer(0));
    EXPECT_EQ(0u, srv.ServersCount());
    EXPECT_EQ(-1, ConnectLoopback(port));
}

TEST(ServerListeners, PortInUseFailsWithTheBindError)
{
    LogCapture log;
    PortHolder other;
    VDCPServer srv;
    EXPECT_FALSE(srv.StartServer("127.0.0.1", other.port, protoVDCP, nullptr));
    EXPECT_EQ(vdSystemError, srv.GetError());
    ASSERT_NE(nullptr, srv.GetErrorText());
    EXPECT_STREQ("Error binding socket with code 98", srv.GetErrorText());
    EXPECT_NE(std::string::npos,
              log.Text().find("127.0.0.1:" + std::to_string(other.port) + " Error binding socket with code 98\n"));
    EXPECT_EQ(0u, srv.ServersCount());
}

TEST(ServerListeners, SilentClientsDoNotDelayTeardown)
{
    LogCapture log;
    std::string quarnDev = "/dev/video0";
    int vdcpPort = FreeLoopbackPort();
    int quarnPort = FreeLoopbackPort();
    int c1 = -1, c2 = -1;
    {
        VDCPServer srv;
        ASSERT_TRUE(srv.StartServer("127.0.0.1", vdcpPort, protoVDCP, nullptr));
        ASSERT_TRUE(srv.StartServer("127.0.0.1", quarnPort, protoQuarn, quarnDev.c_str()));
        c1 = ConnectLoopback(vdcpPort);
        c2 = ConnectLoopback(quarnPort);
        ASSERT_GE(c1, 0);
        ASSERT_GE(c2, 0);
        ASSERT_TRUE(log.WaitFor("Quarn Recv Thread started", 5s));
        ASSERT_TRUE(log.WaitFor("VDCP Recv Thread started", 5s));
        EXPECT_TRUE(FinishesWithin([&] { srv.DeleteAllServers(); }, std::chrono::seconds(20)));
        EXPECT_EQ(0u, srv.ServersCount());
    }
    std::string text = log.Text();
    std::string v = "127.0.0.1:" + std::to_string(vdcpPort);
    std::string q = "127.0.0.1:" + std::to_string(quarnPort);
    EXPECT_TRUE(AppearsInOrder(text, v + " Terminating Server...\n", v + " Connection interrupted.\n"));
    EXPECT_TRUE(AppearsInOrder(text, v + " Connection interrupted.\n", v + " Network Server finished.\n"));
    EXPECT_TRUE(AppearsInOrder(text, q + " Connection interrupted.\n", q + " Network Server finished.\n"));
    EXPECT_NE(std::string::npos, text.find("Quarn Recv Thread terminated on socket"));
    // The server closed both connections: the clients read end of stream.
    char b;
    EXPECT_EQ(0, recv(c1, &b, 1, 0));
    EXPECT_EQ(0, recv(c2, &b, 1, 0));
    close(c1);
    close(c2);
}

TEST(ServerListeners, EveryHostAddressGetsAListener)
{
    char** table = nullptr;
    int n = VDCPServer::GetInterfacesTable(&table);
    ASSERT_GT(n, 0);
    bool loopback = false;
    for (int i = 0; i < n; ++i) {
        loopback |= std::string(table[i]) == "127.0.0.1";
        free(table[i]);
    }
    free(table);
    EXPECT_TRUE(loopback);

    VDCPServer srv;
    int port = FreeLoopbackPort();
    EXPECT_EQ(n, srv.StartVDCPServers(port, protoQuarn));
    int c = ConnectLoopback(port);
    EXPECT_GE(c, 0);
    close(c);
}
