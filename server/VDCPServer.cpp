// VDCPServer: construction and teardown, device enumeration, TCP listeners.
#include "server/VDCPServer.h"

#include "shell/Log.h"
#include "shell/Utility.h"

#include <arpa/inet.h>
#include <errno.h>
#include <ifaddrs.h>
#include <linux/videodev2.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "board/Board.h"

namespace {

// Appends the path of every node /dev/video0, 1, ... that has one of
// `reqCaps`; stops at the first node that is missing or does not open.
int EnumerateVideoDevices(std::vector<char*>& list, int reqCaps)
{
    int added = 0;
    for (int n = 0;; ++n) {
        char path[32];
        snprintf(path, sizeof(path), "/dev/video%i", n);
        int fd = open_dev(path);
        if (fd < 0) break;
        if (query_dev_caps(fd, reqCaps)) {
            list.push_back(CopyParam(path));
            ++added;
        }
        Board::Current().Close(fd);
    }
    return added;
}

// Shuts a socket down both ways (wakes a thread blocked in recv) and closes it.
void ShutAndClose(SOCKET s)
{
    shutdown(s, SHUT_RDWR);
    close(s);
}

}  // namespace

std::string GetIpString(DWORD ip)
{
    in_addr a;
    a.s_addr = in_addr_t(ip & 0xFFFFFFFFu);
    char buf[INET_ADDRSTRLEN];
    if (!inet_ntop(AF_INET, &a, buf, sizeof(buf))) return "0.0.0.0";
    return buf;
}

VDCPServer::VDCPServer()
{
    EnumerateVideoDevices(inputDevs, V4L2_CAP_VIDEO_CAPTURE);
    EnumerateVideoDevices(outputDevs, V4L2_CAP_VIDEO_OUTPUT);
    for (char* d : inputDevs) MsgToLog(L_DEBUG, "Input device found: %s\n", d);
    for (char* d : outputDevs) MsgToLog(L_DEBUG, "Output device found: %s\n", d);
}

VDCPServer::~VDCPServer()
{
    DeleteAllServers();
    // Command ports unregister themselves in their destructors.
    DeleteComPorts();
    free(errMsg);
    errMsg = nullptr;
    DeleteStorage();
    for (char* d : inputDevs) free(d);
    for (char* d : outputDevs) free(d);
    inputDevs.clear();
    outputDevs.clear();
}

int VDCPServer::GetInterfacesTable(char*** ptr)
{
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return -1;
    std::vector<char*> found;
    for (ifaddrs* i = list; i; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
        char host[1025];
        if (getnameinfo(i->ifa_addr, sizeof(sockaddr_in), host, sizeof(host), nullptr, 0, NI_NUMERICHOST) != 0)
            continue;
        if (char* copy = CopyParam(host)) found.push_back(copy);
    }
    freeifaddrs(list);
    if (found.empty()) {
        *ptr = nullptr;
        return 0;
    }
    char** table = static_cast<char**>(malloc(found.size() * sizeof(char*)));
    if (!table) {
        for (char* s : found) free(s);
        return -1;
    }
    std::copy(found.begin(), found.end(), table);
    *ptr = table;
    return int(found.size());
}

int VDCPServer::StartVDCPServers(int port, SrvProtocol /*proto*/)
{
    char** table = nullptr;
    int count = GetInterfacesTable(&table);
    for (int i = 0; i < count; ++i) {
        StartServer(table[i], port, protoVDCP, nullptr);
        free(table[i]);
    }
    free(table);
    return int(servers.size());
}

bool VDCPServer::StartServer(const char* ip, int port, SrvProtocol proto, const char* devName)
{
    in_addr addr;
    addr.s_addr = htonl(INADDR_ANY);
    if (ip && *ip && inet_pton(AF_INET, ip, &addr) != 1) {
        MsgToLog(L_ERROR, "%s:%i Invalid IPv4 address, listener not started.\n", ip, port);
        errorCode = vdWrongSrvInitParams;
        return false;
    }
    return CreateNetworkServer(DWORD(addr.s_addr), port, proto, devName);
}

int VDCPServer::FindNetworkServer(DWORD ip, int port)
{
    for (size_t i = 0; i < servers.size(); ++i)
        if (servers[i]->ip == ip && servers[i]->port == port) return int(i);
    return -1;
}

bool VDCPServer::CreateNetworkServer(DWORD ip, int port, SrvProtocol proto, const char* devName)
{
    std::string ipText = GetIpString(ip);
    MsgToLog(L_DEBUG, "%s:%i Spawning Network Server...\n", ipText.c_str(), port);
    if (proto == protoQuarn && !devName) {
        MsgToLog(L_ERROR, "Error while spawning Network Server: no device name.\n");
        errorCode = vdWrongSrvInitParams;
        return false;
    }
    if (FindNetworkServer(ip, port) >= 0) {
        errorCode = vdServerExists;
        return false;
    }

    std::unique_lock<std::mutex> lk(mxServer);
    SRVDATA* s = new SRVDATA;
    s->srvPtr = this;
    s->ip = ip;
    s->port = port;
    s->protocol = proto;
    s->devName = (proto == protoQuarn && devName) ? devName : "";
    s->srvThread = new std::thread(ServerThread, s);

    bool listening = startEvent.wait_for(lk, std::chrono::milliseconds(1000), [s] { return s->started; });
    if (listening) {
        errorCode = vdNoError;
        servers.push_back(s);
        return true;
    }
    // Failed, or too slow: a thread that reports from now on sees `abandoned`
    // and ends without listening, so the join below cannot hang.
    s->abandoned = true;
    s->inProgress = false;
    lk.unlock();
    s->srvThread->join();
    delete s->srvThread;
    errorCode = s->error == vdNoError ? vdSystemError : s->error.load();
    free(errMsg);
    errMsg = s->errMsg;
    s->errMsg = nullptr;
    if (!errMsg) CreateErrorMsg(&errMsg, "Listener did not start within 1000 ms");
    delete s;
    return false;
}

void VDCPServer::ServerThread(SRVDATA* srvDat)
{
    const std::string ipText = GetIpString(srvDat->ip);
    const char* ip = ipText.c_str();
    const int port = srvDat->port;

    SOCKET sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (sock < 0) {
        srvDat->error = vdSystemError;
        CreateErrorMsg(&srvDat->errMsg, "Error opening socket with code %d", errno);
        srvDat->inProgress = false;
        MsgToLog(L_ERROR, "%s:%i %s\n", ip, port, srvDat->errMsg);
        return;
    }
    // Without SO_REUSEADDR a restarted server could not bind its port for a
    // minute while connections of the previous run sit in TIME_WAIT. It does
    // not let two listeners share a port: a port another program listens on
    // still fails with EADDRINUSE.
    int reuse = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof(reuse));
    sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_port = htons(uint16_t(port));
    addr.sin_addr.s_addr = in_addr_t(srvDat->ip & 0xFFFFFFFFu);
    if (bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        srvDat->error = vdSystemError;
        CreateErrorMsg(&srvDat->errMsg, "Error binding socket with code %i", errno);
        close(sock);
        srvDat->inProgress = false;
        MsgToLog(L_ERROR, "%s:%i %s\n", ip, port, srvDat->errMsg);
        return;
    }

    // Listen before reporting, so that a client may connect as soon as the
    // start request returns; a failure here shows in the loop's own listen.
    listen(sock, 1);
    {
        std::lock_guard<std::mutex> lk(srvDat->srvPtr->mxServer);
        if (srvDat->abandoned) {
            close(sock);
            return;
        }
        srvDat->sock = sock;
        srvDat->started = true;
    }
    srvDat->srvPtr->startEvent.notify_all();
    MsgToLog(L_MSG, "%s:%i (%s) Network Server started.\n", ip, port,
             srvDat->protocol == protoQuarn ? "QUARN" : "VDCP");

    while (srvDat->inProgress) {
        if (listen(sock, 1) != 0) {
            srvDat->error = vdSystemError;
            CreateErrorMsg(&srvDat->errMsg, "Error listening socket with code %i", errno);
            break;
        }
        SOCKET client = accept4(sock, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) {
            int err = errno;
            srvDat->error = vdSystemError;
            CreateErrorMsg(&srvDat->errMsg, "Error accepting connection with code: %i", err);
            if (err == EINVAL)
                MsgToLog(L_WARN, "%s:%i Connection interrupted.\n", ip, port);
            else
                MsgToLog(L_ERROR, "%s:%i %s\n", ip, port, srvDat->errMsg);
        } else {
            RECVDATA* r = new RECVDATA;
            r->socket = client;
            if (srvDat->protocol == protoQuarn) {
                MsgToLog(L_DEBUG, "%s:%i Quarn Recv Thread spawn.\n", ip, port);
                r->recvThread = new std::thread(QuarnReceivingThread, r);
            } else {
                MsgToLog(L_DEBUG, "%s:%i VDCP Recv Thread spawn.\n", ip, port);
                r->recvThread = new std::thread(VdcpReceivingThread, r);
            }
            srvDat->receivers.push_back(r);
        }
        // Reap the connections whose threads have ended.
        auto& rv = srvDat->receivers;
        for (auto it = rv.begin(); it != rv.end();) {
            RECVDATA* r = *it;
            if (r->inProgress) {
                ++it;
                continue;
            }
            r->recvThread->join();
            delete r->recvThread;
            free(r->errMsg);
            delete r;
            it = rv.erase(it);
        }
    }

    srvDat->inProgress = false;
    for (RECVDATA* r : srvDat->receivers) {
        r->inProgress = false;
        // Shut the socket down to wake the reader, but close it only after the
        // join, so the reader never touches a descriptor number reused elsewhere.
        SOCKET s = r->socket.exchange(-1);
        if (s != -1) shutdown(s, SHUT_RDWR);
        r->recvThread->join();
        if (s != -1) close(s);
        delete r->recvThread;
        free(r->errMsg);
        delete r;
    }
    srvDat->receivers.clear();

    SOCKET own = srvDat->sock.exchange(-1);
    if (own != -1) ShutAndClose(own);
    MsgToLog(L_MSG, "%s:%i Network Server finished.\n", ip, port);
}

bool VDCPServer::DeleteServer(size_t index)
{
    std::lock_guard<std::mutex> lk(mxServer);
    if (index >= servers.size()) return false;
    SRVDATA* s = servers[index];
    MsgToLog(L_DEBUG, "%s:%i Terminating Server...\n", GetIpString(s->ip).c_str(), s->port);
    SOCKET sock = s->sock.exchange(-1);
    s->inProgress = false;
    if (sock != -1) {
        // Shutting the listening socket down wakes the blocked accept (EINVAL).
        shutdown(sock, SHUT_RD);
    }
    s->srvThread->join();
    if (sock != -1) close(sock);
    delete s->srvThread;
    free(s->errMsg);
    delete s;
    servers.erase(servers.begin() + long(index));
    return true;
}

void VDCPServer::DeleteAllServers()
{
    size_t n = servers.size();
    for (size_t i = 0; i < n; ++i) DeleteServer(0);
}

void VDCPServer::FillInfo(SRVDATA* s, SRVINFO& info)
{
    memset(&info, 0, sizeof(info));
    snprintf(info.ip, sizeof(info.ip), "%s", GetIpString(s->ip).c_str());
    info.port = s->port;
    info.errMsg = CopyParam(s->errMsg);
    info.error = s->error;
}

bool VDCPServer::GetServerInfo(int index, SRVINFO& info)
{
    if (index < 0 || size_t(index) >= servers.size()) return false;
    FillInfo(servers[size_t(index)], info);
    return true;
}

int VDCPServer::GetServersInfo(SRVINFO** table)
{
    int count = int(servers.size());
    if (count == 0) return 0;
    SRVINFO* rows = new SRVINFO[size_t(count)];
    for (int i = 0; i < count; ++i) FillInfo(servers[size_t(i)], rows[i]);
    *table = rows;
    return count;
}

int VDCPServer::GetBadServersInfo(SRVINFO** table)
{
    std::vector<SRVDATA*> bad;
    for (SRVDATA* s : servers)
        if (!s->inProgress) bad.push_back(s);
    if (bad.empty()) {
        *table = nullptr;
        return 0;
    }
    SRVINFO* rows = new SRVINFO[bad.size()];
    for (size_t i = 0; i < bad.size(); ++i) FillInfo(bad[i], rows[i]);
    *table = rows;
    return int(bad.size());
}

void VDCPServer::CleanupBadServers()
{
    for (;;) {
        size_t i = 0;
        while (i < servers.size() && servers[i]->inProgress) ++i;
        if (i == servers.size()) return;
        DeleteServer(i);
    }
}
