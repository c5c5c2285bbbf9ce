// VDCPServer: the one central object of the process. It finds the board's
// capture and output devices, runs the TCP listeners with one receiving
// thread per connection, keeps the registry of command ports, and is the
// facade through which ports reach media storage (and storage reports its
// changes back to the ports).
//
// Lock order of the network server, binding on everything that reaches it:
//   mxServer (listener list; never held together with the others)
//   mxPorts -> a command port's portsLock -> its idLock -> the storage
//   watcher's storageLock -> logMtx
// The storage watcher calls the Report operations without holding
// storageLock, and a command port calls TryMoveSignalPort without holding its
// own port lock.
#pragma once

#include "shell/Utility.h"
#include "vdcp/VDCP_Definitions.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class VDCPComPort;
class QuarnComPort;
class StorageWatcher;

typedef enum tag_SrvProtocol {
    protoVDCP = 0,
    protoQuarn = 1,
} SrvProtocol;

typedef enum tag_VDCPError {
    vdNoError = 0,
    vdSocketErr = 1,
    vdComModelError = 2,
    vdSystemError = 3,
    vdServerExists = 4,
    vdConnectionClosed = 5,
    vdBufferOverflow = 6,
    vdInvalidCommand = 7,
    vdCommTimeout = 8,
    vdWrongSrvInitParams = 9,
} VDCPError;

// One accepted connection, owned by its listener.
typedef struct tag_RECVDATA {
    std::atomic<bool> inProgress{true};   // the thread clears it when it ends; the listener to stop it
    std::atomic<VDCPError> error{vdNoError};
    char* errMsg = nullptr;               // heap, freed with the record
    std::atomic<SOCKET> socket{-1};       // -1 once taken for closing
    union {
        VDCPComPort* vdcpPort;
        QuarnComPort* quarnPort;
    } comPort{nullptr};
    std::thread* recvThread = nullptr;
} RECVDATA;

class VDCPServer;

// One listener, owned by the server's list.
typedef struct tag_SRVDATA {
    DWORD ip = 0;
    int port = 0;
    SrvProtocol protocol = protoVDCP;
    std::string devName;                  // Quarn: the output device its connections drive
    std::atomic<bool> inProgress{true};
    std::atomic<VDCPError> error{vdNoError};
    char* errMsg = nullptr;               // written by the listener thread before it reports or ends
    std::atomic<SOCKET> sock{-1};
    VDCPServer* srvPtr = nullptr;
    std::thread* srvThread = nullptr;
    std::vector<RECVDATA*> receivers;     // touched only by the listener thread
    // Start handshake, both guarded by the server's mxServer.
    bool started = false;                 // the thread is listening
    bool abandoned = false;               // the creator gave up waiting: do not listen
} SRVDATA;

// One row of a listener table handed to a caller.
typedef struct tag_SRVINFO {
    char ip[32];
    int port;
    VDCPError error;
    char* errMsg;   // heap copy or null; the caller frees it
} SRVINFO;

class VDCPServer {
public:
    VDCPServer();
    virtual ~VDCPServer();
    VDCPServer(const VDCPServer&) = delete;
    VDCPServer& operator=(const VDCPServer&) = delete;

    // ---- listeners (main thread) ----
    static int GetInterfacesTable(char*** ptr);
    int StartVDCPServers(int port, SrvProtocol proto);
    bool StartServer(const char* ip, int port, SrvProtocol proto, const char* devName);
    bool CreateNetworkServer(DWORD ip, int port, SrvProtocol proto, const char* devName);
    int FindNetworkServer(DWORD ip, int port);
    bool DeleteServer(size_t index);
    void DeleteAllServers();
    int GetServersInfo(SRVINFO** table);
    bool GetServerInfo(int index, SRVINFO& info);
    int GetBadServersInfo(SRVINFO** table);
    void CleanupBadServers();
    size_t ServersCount() const { return servers.size(); }
    VDCPError GetError() const { return errorCode; }
    const char* GetErrorText() const { return errMsg; }

    // ---- devices found at construction ----
    const std::vector<char*>& InputDevices() const { return inputDevs; }
    const std::vector<char*>& OutputDevices() const { return outputDevs; }
    // Device path for a VDCP port number (bit 7: input list; bits 0-6: 1-based index), or null.
    const char* GetDevNameByPortNum(BYTE portNum);

    // ---- command port registry ----
    int RegisterComPort(VDCPComPort* vdcpPort);
    int RegisterComPort(QuarnComPort* quarnPort);
    bool UnregisterComPort(VDCPComPort* vdcpPort);
    bool UnregisterComPort(QuarnComPort* quarnPort);

    // ---- storage facade ----
    bool SetupStorage(const std::string& dbPath, const std::string& mediaPath, const std::string& ext);
    size_t QueryIdListSize();
    void QueryIdList(std::vector<VdcpId>& list);
    void QueryProcessedIdList(std::vector<VdcpId>& list);
    int QueryIdFlags(std::string& id, BYTE* flags);
    bool QueryIdSizeBCD(std::string& id, BYTE* bcdTC);
    bool QueryIdSize(std::string& id, cTime& time);
    bool QueryMediaPath(std::string& id, std::string& mediaPath);
    // Storage changes, fanned out to every VDCP command port. Called by the
    // storage watcher's threads without any storage lock held. Virtual so
    // that a test can stand in for the ports.
    virtual void ReportIdAdded(VdcpId& id);
    virtual void ReportIdAddedList(std::vector<VdcpId>& list);
    virtual void ReportIdDeleted(VdcpId& id);
    virtual void ReportIdDeletedList(std::vector<VdcpId>& list);

    // ---- threads (static, the record names their server) ----
    static void ServerThread(SRVDATA* srvDat);
    static void VdcpReceivingThread(RECVDATA* rData);
    static void QuarnReceivingThread(RECVDATA* rData);

protected:
    std::mutex mxServer;                       // guards servers and the start handshake
    std::condition_variable startEvent;        // signalled when a listener is listening
    std::vector<SRVDATA*> servers;
    std::recursive_mutex mxPorts;              // guards vdcpComPorts and quarnComPorts
    std::vector<VDCPComPort*> vdcpComPorts;    // registration order
    std::vector<QuarnComPort*> quarnComPorts;  // registration order
    std::vector<char*> inputDevs;              // capture device paths, device-number order
    std::vector<char*> outputDevs;             // output device paths, device-number order
    StorageWatcher* sWatcher = nullptr;
    VDCPError errorCode = vdNoError;           // outcome of the last start request
    char* errMsg = nullptr;                    // text of the last failed listener start

private:
    void FillInfo(SRVDATA* s, SRVINFO& info);
    void DeleteComPorts();
    void DeleteStorage();
};

// Dotted text of the IPv4 address in the low 32 bits (thread-safe).
std::string GetIpString(DWORD ip);
