// VDCPServer: the command port registry and the device lookup.
#include "server/VDCPServer.h"

#include "shell/Log.h"

#include <algorithm>

const char* VDCPServer::GetDevNameByPortNum(BYTE portNum)
{
    size_t index = portNum & 0x7F;
    if (index == 0) return nullptr;
    const std::vector<char*>& list = (portNum & 0x80) ? inputDevs : outputDevs;
    if (index > list.size()) return nullptr;
    return list[index - 1];
}

int VDCPServer::RegisterComPort(VDCPComPort* vdcpPort)
{
    std::lock_guard<std::recursive_mutex> lk(mxPorts);
    vdcpComPorts.push_back(vdcpPort);
    MsgToLog(L_DEBUG, "VDCPComPort registered.\n");
    return int(vdcpComPorts.size());
}

int VDCPServer::RegisterComPort(QuarnComPort* quarnPort)
{
    std::lock_guard<std::recursive_mutex> lk(mxPorts);
    quarnComPorts.push_back(quarnPort);
    MsgToLog(L_DEBUG, "QuarnComPort registered.\n");
    return int(quarnComPorts.size());
}

bool VDCPServer::UnregisterComPort(VDCPComPort* vdcpPort)
{
    std::lock_guard<std::recursive_mutex> lk(mxPorts);
    auto it = std::find(vdcpComPorts.begin(), vdcpComPorts.end(), vdcpPort);
    if (it == vdcpComPorts.end()) {
        MsgToLog(L_DEBUG, "VDCPComPort unregister FAILED.\n");
        return false;
    }
    vdcpComPorts.erase(it);
    MsgToLog(L_DEBUG, "VDCPComPort unregistered.\n");
    return true;
}

bool VDCPServer::UnregisterComPort(QuarnComPort* quarnPort)
{
    std::lock_guard<std::recursive_mutex> lk(mxPorts);
    auto it = std::find(quarnComPorts.begin(), quarnComPorts.end(), quarnPort);
    if (it == quarnComPorts.end()) {
        MsgToLog(L_DEBUG, "QuarnComPort unregister FAILED.\n");
        return false;
    }
    quarnComPorts.erase(it);
    MsgToLog(L_DEBUG, "QuarnComPort unregistered.\n");
    return true;
}

void VDCPServer::DeleteComPorts()
{
    // The VDCP and Quarn command ports arrive with their own subsystems; until
    // then no port is ever created, so both lists stay empty.
}

// ---- storage reports ----
// The VDCP command ports take these lists into their added and deleted ID
// lists; the command port arrives with the VDCP protocol engine, and until
// then there is no port to tell.

void VDCPServer::ReportIdAdded(VdcpId& id)
{
    std::vector<VdcpId> list{id};
    ReportIdAddedList(list);
}

void VDCPServer::ReportIdDeleted(VdcpId& id)
{
    std::vector<VdcpId> list{id};
    ReportIdDeletedList(list);
}

void VDCPServer::ReportIdAddedList(std::vector<VdcpId>& list)
{
    if (list.empty()) return;
    std::lock_guard<std::recursive_mutex> lk(mxPorts);
}

void VDCPServer::ReportIdDeletedList(std::vector<VdcpId>& list)
{
    if (list.empty()) return;
    std::lock_guard<std::recursive_mutex> lk(mxPorts);
}
