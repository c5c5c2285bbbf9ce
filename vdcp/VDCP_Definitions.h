// The byte-level vocabulary of VDCP as this server speaks it: the frame
// record with its checksum, NAK flags, the per-port status words, ID status
// bits, sort orders, and the per-clip facts record shared with storage.
#pragma once

#include "shell/Utility.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

constexpr BYTE VDCP_STX = 0x02;
constexpr BYTE VDCP_ACK = 0x04;
constexpr BYTE VDCP_NAK = 0x05;
// Longest frame a client may send, and the receive buffer that holds it.
constexpr int VDCP_MAX_FRAME = 257;
constexpr int VDCP_RECV_BUFFER = 258;

typedef enum tag_NakFlags : BYTE {
    vdNakNoError = 0,
    vdNakUndefinedErr = 0x01,
    vdNakChecksumErr = 0x04,
    vdNakParityErr = 0x10,
    vdNakOverrunErr = 0x20,
    vdNakFramingErr = 0x40,
    vdNakTimeout = 0x80,
} NakFlags;

// A VDCP frame viewed in place over a receive buffer of VDCP_RECV_BUFFER
// bytes: STX, BC, CMD-1, CMD-2, then BC - 2 data bytes and the checksum.
// Handlers build their reply in the same buffer.
typedef struct tag_VDCPCommand {
    BYTE stx;
    BYTE bc;
    BYTE cmd1;
    BYTE cmd2;
    BYTE dataCS[1];   // first data byte; the rest follow in the buffer

    BYTE* Bytes() { return &stx; }
    const BYTE* Bytes() const { return &stx; }

    void Init();
    void CalcCS();
    bool IsCSValid() const;
    // Turns the request into a reply carrying `byteCount` data bytes already
    // written at DATA; returns the number of bytes to send. A count above 253
    // does not fit BC and is cut to 253.
    int SetResponse(BYTE byteCount);

    // Checksum of the BC bytes from CMD-1: two's complement of their sum.
    BYTE Checksum() const;
} VDCPCommand;

typedef enum tag_VDCPPortStatus1_Bitmap : uint8_t {
    ps1_Idle = 0x01,
    ps1_CueInit = 0x02,
    ps1_PlayRecord = 0x04,
    ps1_Still = 0x08,
    ps1_Jog = 0x10,
    ps1_VarPlay = 0x20,
    ps1_PortBusy = 0x40,
    ps1_CueInitDone = 0x80,
} PortStatus1;

typedef enum tag_VDCPPortStatus2_Bitmap : uint16_t {
    ps2_PortDown = 0x001,
    ps2_IdsAdded = 0x002,
    ps2_IdsDeleted = 0x004,
    ps2_IdsAddedToArch = 0x008,
    ps2_NoRefInput = 0x010,
    ps2_NoVideoInput = 0x020,
    ps2_NoAudioInput = 0x040,
    ps2_AudioOverload = 0x080,
    ps2ext_NoTimecodeInput = 0x100,
} PortStatus2;

typedef enum tag_VDCPPortStatus3_Bitmap : uint64_t {
    ps3_SystemError = 1ull << 0,
    ps3_IllegalValue = 1ull << 1,
    ps3_InvalidPort = 1ull << 2,
    ps3_WrongPortType = 1ull << 3,
    ps3_CommQueueFull = 1ull << 4,
    ps3_DiskFull = 1ull << 5,
    ps3_CmdWhileBusy = 1ull << 6,
    ps3_NotSupported = 1ull << 7,
    ps3_InvalidId = 1ull << 8,
    ps3_IdNotFound = 1ull << 9,
    ps3_IdAlreadyExists = 1ull << 10,
    ps3_IdStillRecording = 1ull << 11,
    ps3_IdStillPlaying = 1ull << 12,
    ps3_IdNotTransferred = 1ull << 13,
    ps3_IdTransferred = 1ull << 14,
    ps3_IdDeleteProtected = 1ull << 15,
    ps3_NotInCueInitState = 1ull << 16,
    ps3_CueNotDone = 1ull << 17,
    ps3_PortNotIdle = 1ull << 18,
    ps3_PortPlayingActive = 1ull << 19,
    ps3_PortNotActive = 1ull << 20,
    ps3_CueOrOperationFailed = 1ull << 21,
    ps3_NetworkError = 1ull << 22,
    ps3_SystemRebooted = 1ull << 23,
    ps3ext_NoAudioOrVideo = 1ull << 24,
    ps3ext_ExcessiveDrift = 1ull << 25,
    ps3ext_PvwReady = 1ull << 28,
} PortStatus3;

typedef enum tag_VDCPPortStatus4_Bitmap : uint8_t {
    psOff = 0x01,
    psComposite = 0x02,
    psSVideo = 0x04,
    psYUV = 0x08,
    psD1 = 0x10,
} PortStatus4;

// Request bitmap of the port status command.
enum tag_VDCPPortStatusReq : BYTE {
    vdcpPortStatus1 = 0x01,
    vdcpPortStatus2 = 0x02,
    vdcpPortStatus3 = 0x04,
    vdcpPortStatus4 = 0x08,
    vdcpPortStatus5 = 0x10,
    vdcpPortStatusExt3 = 0x20,
    vdcpPortStatusExt2 = 0x40,
};

// The four status words of one VDCP port, and its port number.
typedef struct tag_PORTSTATUS {
    uint8_t ps1 = 0;
    BYTE portNum = 0;
    uint16_t ps2 = 0;
    uint64_t ps3 = 0;
    uint8_t ps4 = 0;

    void Clean() { ps1 = 0; portNum = 0; ps2 = 0; ps3 = 0; ps4 = 0; }
    void SetPs1(uint8_t bits) { ps1 |= bits; }
    void SetPs2(uint16_t bits) { ps2 |= bits; }
    void SetPs3(uint64_t bits) { ps3 |= bits; }
    void SetPs4(uint8_t bits) { ps4 |= bits; }
    void ClearPs1(uint8_t bits) { ps1 &= uint8_t(~bits); }
    void ClearPs2(uint16_t bits) { ps2 &= uint16_t(~bits); }
    void ClearPs3(uint64_t bits) { ps3 &= ~bits; }
    void ClearPs4(uint8_t bits) { ps4 &= uint8_t(~bits); }
} PORTSTATUS;

typedef enum tag_IdStatus : uint16_t {
    id_InDisk = 0x001,
    id_InArcTransferList = 0x002,
    id_InArchive = 0x004,
    id_DeleteProtect = 0x008,
    id_InOfflineStorage = 0x010,
    id_InOffStTransferList = 0x020,
    id_TransferInProgress = 0x040,
    id_QueryPending = 0x080,
    id_NotReadyToPlay = 0x100,
    id_NotReadyToTransfer = 0x200,
    id_NotReadyToArchive = 0x400,
} IdStatus;

typedef enum tag_SortOrder : BYTE {
    sortAlphabet = 0,
    sortFIFO = 1,
} SortOrder;

// A clip ID and the last-write time of its file (seconds since the epoch).
typedef std::pair<std::string, int64_t> VdcpId;
typedef std::vector<VdcpId> VdcpIdList;

// "not available": the default of the text facts.
extern const char* const na;

// What is known of one clip.
typedef struct tag_VdcpIdExt {
    int protect = 0;
    int available = 1;
    int transferInProgress = 1;
    cTime duration = 0;
    std::string format = na;
    std::string aspect = na;
    double frameRate = 0.0;
    int sampleRate = 0;
} VdcpIdExt;
