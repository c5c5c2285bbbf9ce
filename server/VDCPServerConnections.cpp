// VDCPServer: the receiving thread of each accepted connection.
//
// For now a connection is read until its peer closes it or its listener stops
// it; frames and messages are not yet interpreted.
#include "server/VDCPServer.h"

#include "shell/Log.h"

#include <sys/socket.h>
#include <unistd.h>

namespace {

// Reads and drops whatever arrives until the peer closes, a read fails, or
// the listener clears inProgress (it shuts the socket down to wake the read).
void DrainConnection(RECVDATA* rData)
{
    char buf[4096];
    while (rData->inProgress) {
        SOCKET s = rData->socket;
        if (s == -1) break;
        ssize_t n = recv(s, buf, sizeof(buf), 0);
        if (n <= 0) {
            rData->error = vdConnectionClosed;
            break;
        }
    }
}

// Closes the socket unless the listener has taken it already.
bool CloseOnce(RECVDATA* rData)
{
    SOCKET s = rData->socket.exchange(-1);
    if (s == -1) return false;
    close(s);
    return true;
}

}  // namespace

void VDCPServer::VdcpReceivingThread(RECVDATA* rData)
{
    const unsigned long long sock = (unsigned long long)rData->socket.load();
    MsgToLog(L_DEBUG, "VDCP Recv Thread started on socket %#llx.\n", sock);
    DrainConnection(rData);
    CloseOnce(rData);
    rData->inProgress = false;
    MsgToLog(L_DEBUG, "VDCP Recv Thread finished on socket %#llx\n", sock);
}

void VDCPServer::QuarnReceivingThread(RECVDATA* rData)
{
    const unsigned long long sock = (unsigned long long)rData->socket.load();
    MsgToLog(L_DEBUG, "Quarn Recv Thread started on socket %#llx.\n", sock);
    DrainConnection(rData);
    if (CloseOnce(rData)) MsgToLog(L_DEBUG, "Socket %#llx closed.\n", sock);
    rData->inProgress = false;
    MsgToLog(L_DEBUG, "Quarn Recv Thread terminated on socket %#llx.\n", sock);
}
