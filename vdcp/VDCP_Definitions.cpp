#include "vdcp/VDCP_Definitions.h"

// The frame record is a view over a whole receive buffer: the checksum lies
// past the declared end of the record, which the compiler cannot know.
#pragma GCC diagnostic ignored "-Wstringop-overflow"
#pragma GCC diagnostic ignored "-Warray-bounds"

const char* const na = "n/a";

void tag_VDCPCommand::Init()
{
    stx = 0;
    bc = 0;
    cmd1 = 0;
    cmd2 = 0;
    dataCS[0] = 0;
    stx = VDCP_STX;
}

BYTE tag_VDCPCommand::Checksum() const
{
    const BYTE* p = &cmd1;
    unsigned sum = 0;
    for (int i = 0; i < bc; ++i) sum += p[i];
    return BYTE(0u - sum);
}

void tag_VDCPCommand::CalcCS()
{
    if (bc < 2) return;
    Bytes()[bc + 2] = Checksum();
    stx = VDCP_STX;
}

bool tag_VDCPCommand::IsCSValid() const
{
    if (bc < 2) return false;
    return Bytes()[bc + 2] == Checksum();
}

int tag_VDCPCommand::SetResponse(BYTE byteCount)
{
    if (byteCount > 253) byteCount = 253;
    bc = BYTE(byteCount + 2);
    cmd2 |= 0x80;
    CalcCS();
    return bc + 3;
}
