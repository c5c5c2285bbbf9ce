// VDCPServer: the storage facade. Ports reach the clip catalogue only through
// these operations; without a watcher they answer empty, zero or false.
#include "server/VDCPServer.h"

#include "storage/StorageWatcher.h"

bool VDCPServer::SetupStorage(const std::string& dbPath, const std::string& mediaPath, const std::string& ext)
{
    if (!sWatcher) {
        sWatcher = new StorageWatcher(this, dbPath, mediaPath, ext);
    } else {
        if (!dbPath.empty()) sWatcher->SetDatabasePath(dbPath);
        if (!mediaPath.empty() && !ext.empty()) sWatcher->SetNewStorage(mediaPath, ext);
    }
    return sWatcher->IsValid();
}

void VDCPServer::DeleteStorage()
{
    delete sWatcher;
    sWatcher = nullptr;
}

size_t VDCPServer::QueryIdListSize()
{
    return sWatcher ? sWatcher->GetStorageContentSize() : 0;
}

void VDCPServer::QueryIdList(std::vector<VdcpId>& list)
{
    if (sWatcher)
        sWatcher->GetStorageContent(list);
    else
        list.clear();
}

void VDCPServer::QueryProcessedIdList(std::vector<VdcpId>& list)
{
    if (sWatcher)
        sWatcher->GetProcessedContent(list);
    else
        list.clear();
}

int VDCPServer::QueryIdFlags(std::string& id, BYTE* flags)
{
    return sWatcher ? sWatcher->GetIdFlags(id, flags) : 0;
}

bool VDCPServer::QueryIdSizeBCD(std::string& id, BYTE* bcdTC)
{
    return sWatcher ? sWatcher->GetIdSizeBCD(id, bcdTC) : false;
}

bool VDCPServer::QueryIdSize(std::string& id, cTime& time)
{
    return sWatcher ? sWatcher->GetIdSize(id, time) : false;
}

bool VDCPServer::QueryMediaPath(std::string& id, std::string& mediaPath)
{
    return sWatcher ? sWatcher->GetIdPath(id, mediaPath) : false;
}
