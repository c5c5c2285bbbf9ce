// zezeruviv: start-up, configuration, and the wait for SIGINT.
#include "board/Board.h"
#include "board/SimBoard.h"
#include "board/SimBoardConfig.h"
#include "server/VDCPServer.h"
#include "shell/Log.h"

#include <boost/filesystem.hpp>
#include <yaml-cpp/yaml.h>

#include <signal.h>
#include <strings.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace fs = boost::filesystem;

// One configured interface.
typedef struct tag_SRVSETTINGS {
    std::string ip;              // dotted IPv4 address, or the serial port name of a "com" entry
    int port = 0;                // 0: no TCP listener, never started
    SrvProtocol proto = protoVDCP;
    int devIndex = -1;           // Quarn: output device number; -1 when not given
} SRVSETTINGS;

// The run flag: set just before SIGINT is caught, cleared by the handler.
static volatile sig_atomic_t inProgress = 0;

static void ExitFunc(int /*status*/) { inProgress = 0; }

static void EnumerateServers(VDCPServer& srv)
{
    SRVINFO* table = nullptr;
    int count = srv.GetServersInfo(&table);
    if (count == 0) return;
    for (int i = 0; i < count; ++i) {
        MsgToLog(L_MSG, "%s port %i (%s)\n", table[i].ip, table[i].port,
                 table[i].errMsg ? table[i].errMsg : "NO ERRORS");
        free(table[i].errMsg);
    }
    delete[] table;
}

// Uses `dir` when it exists, else creates one level of it. False when neither works.
static bool EnsureDirectory(const std::string& dir)
{
    boost::system::error_code ec;
    if (fs::is_directory(dir, ec)) return true;
    return fs::create_directory(dir, ec) && !ec;
}

int main(int argc, char** argv)
{
    std::string configPath = argc > 1 ? argv[1] : "/etc/zezeruviv/config.yaml";
    std::string extension = ".mxf";
    logDirectory = fs::current_path().string();
    std::string databasePath = logDirectory;
    std::string storagePath;
    std::vector<SRVSETTINGS> interfaces;
    std::shared_ptr<Board> board;   // null: the Linux board

    // A client that vanishes must not take the process down with SIGPIPE;
    // sockets are also written with MSG_NOSIGNAL.
    signal(SIGPIPE, SIG_IGN);

    printf("zezeruviv VDCP playout server, version %s\n", ZZ_VERSION);
    printf("Reading configuration from %s ... ", configPath.c_str());
    fflush(stdout);

    try {
        YAML::Node config = YAML::LoadFile(configPath);

        // The board first: the interfaces' device indices refer to its devices.
        if (YAML::Node boardNode = config["board"]) {
            std::string type = boardNode["type"] ? boardNode["type"].as<std::string>() : "linux";
            if (type == "simulated")
                board = std::make_shared<SimBoard>(SimBoardConfig::FromYaml(boardNode));
            else if (type != "linux")
                throw std::invalid_argument("unknown board type \"" + type + "\"");
        }

        if (config["log-files-path"]) {
            std::string logPath = config["log-files-path"].as<std::string>();
            if (EnsureDirectory(logPath))
                logDirectory = logPath;
            else
                printf("Log directory cannot be created. Using current working directory.\n");
        }
        if (YAML::Node storage = config["storage"]) {
            if (storage["path"]) storagePath = storage["path"].as<std::string>();
            if (storage["extension"]) extension = storage["extension"].as<std::string>();
        }
        if (YAML::Node database = config["database"]) {
            if (database["path"]) {
                std::string dbPath = database["path"].as<std::string>();
                if (EnsureDirectory(dbPath))
                    databasePath = dbPath;
                else
                    printf("FAILED\nDatabase path does not exist and cannot be created.");
            }
        }
        if (YAML::Node list = config["interfaces"]) {
            SRVSETTINGS entry;   // the working record, carried from entry to entry
            for (const YAML::Node& item : list) {
                if (!item["type"]) continue;
                std::string type = item["type"].as<std::string>();
                if (type == "tcpip") {
                    entry.ip = item["ip"] ? item["ip"].as<std::string>() : std::string();
                    entry.port = item["port"] ? item["port"].as<int>() : 6000;
                    entry.proto = protoVDCP;
                    if (item["protocol"] && strcasecmp(item["protocol"].as<std::string>().c_str(), "quarn") == 0) {
                        entry.proto = protoQuarn;
                        entry.devIndex = item["device-index"] ? item["device-index"].as<int>() : -1;
                    }
                } else if (type == "com" && item["port-name"]) {
                    entry.ip = item["port-name"].as<std::string>();
                    entry.port = 0;
                } else {
                    // Neither a listener nor a serial line: nothing to list.
                    continue;
                }
                interfaces.push_back(entry);
            }
        }
    } catch (const std::exception& e) {
        printf("FAILED\nCannot load configuartion from %s: %s\n", configPath.c_str(), e.what());
    }

    if (databasePath.empty()) {
        printf("Cannot initialize VDCPServer: DB path is not specified.\n");
        return 0;
    }
    printf("OK\n");
    fflush(stdout);
    MsgToLog(L_MSG, "-------------- INIT VDCP SERVER --------------\n");

    if (board) Board::Install(board);
    {
        std::unique_ptr<VDCPServer> server(new VDCPServer());
        server->SetupStorage(databasePath, storagePath, extension);

        int started = 0;
        if (!interfaces.empty()) {
            for (const SRVSETTINGS& s : interfaces) {
                if (s.port == 0) continue;
                if (s.proto == protoQuarn) {
                    const char* dev = s.devIndex >= 0 ? server->GetDevNameByPortNum(BYTE(s.devIndex & 0xFF)) : nullptr;
                    if (!dev) {
                        MsgToLog(L_ERROR, "Invalid output device index for interface %s.\n", s.ip.c_str());
                        continue;
                    }
                    if (server->StartServer(s.ip.c_str(), s.port, protoQuarn, dev)) ++started;
                } else if (server->StartServer(s.ip.c_str(), s.port, s.proto, nullptr)) {
                    ++started;
                }
            }
        } else {
            started = server->StartVDCPServers(4002, protoVDCP);
        }

        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        printf("Number of Network Servers: %i\n-----------------------------------\n", started);
        fflush(stdout);
        EnumerateServers(*server);
        printf("-----------------------------------\n");
        fflush(stdout);

        inProgress = 1;
        signal(SIGINT, ExitFunc);
        while (inProgress) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    Board::Install(nullptr);
    return 0;
}
