#include "vdcp/VDCP_Definitions.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {
// A receive buffer as the connection holds it, viewed as a frame.
struct Frame {
    BYTE buf[VDCP_RECV_BUFFER] = {};
    VDCPCommand& cmd() { return *reinterpret_cast<VDCPCommand*>(buf); }
};
}  // namespace

TEST(VdcpFrame, ChecksumOfTheExample)
{
    Frame f;
    BYTE bytes[] = {0x02, 0x03, 0x30, 0x05, 0x01, 0xCA};
    memcpy(f.buf, bytes, sizeof(bytes));
    EXPECT_TRUE(f.cmd().IsCSValid());
    f.buf[5] = 0xCB;
    EXPECT_FALSE(f.cmd().IsCSValid());
    f.buf[0] = 0;
    f.cmd().CalcCS();
    EXPECT_EQ(0xCA, f.buf[5]);
    EXPECT_EQ(VDCP_STX, f.buf[0]);
}

TEST(VdcpFrame, ByteCountBelowTwoIsNeverValid)
{
    for (BYTE bc : {BYTE(0), BYTE(1)}) {
        for (int last = 0; last < 256; ++last) {
            Frame f;
            f.buf[0] = VDCP_STX;
            f.buf[1] = bc;
            f.buf[2] = BYTE(last);
            f.buf[3] = BYTE(last);
            EXPECT_FALSE(f.cmd().IsCSValid());
        }
    }
}

TEST(VdcpFrame, ReplyInPlace)
{
    Frame f;
    BYTE request[] = {0x02, 0x03, 0x30, 0x05, 0x01, 0xCA};
    memcpy(f.buf, request, sizeof(request));
    EXPECT_EQ(5, f.cmd().SetResponse(0));
    const BYTE expected[] = {0x02, 0x02, 0x30, 0x85, 0x4B};
    EXPECT_EQ(0, memcmp(expected, f.buf, sizeof(expected)));

    // A reply with data: the handler writes at DATA, then SetResponse.
    f.cmd().cmd2 = 0x05;
    f.cmd().dataCS[0] = 0x81;
    f.buf[5] = 0x7F;
    EXPECT_EQ(7, f.cmd().SetResponse(2));
    EXPECT_TRUE(f.cmd().IsCSValid());
    EXPECT_EQ(0x85, f.buf[3]);

    // More data than BC can count is cut to the largest reply.
    EXPECT_EQ(253 + 5, f.cmd().SetResponse(254));
    EXPECT_EQ(255, f.buf[1]);
    EXPECT_TRUE(f.cmd().IsCSValid());

    f.cmd().Init();
    EXPECT_EQ(VDCP_STX, f.buf[0]);
    EXPECT_EQ(0, f.buf[1] | f.buf[2] | f.buf[3] | f.buf[4]);
}

TEST(VdcpStatus, WordsAndDefaults)
{
    PORTSTATUS st;
    st.portNum = 0x81;
    st.SetPs1(ps1_Idle | ps1_CueInitDone);
    st.SetPs3(ps3_InvalidPort | ps3ext_PvwReady);
    st.ClearPs1(ps1_Idle);
    EXPECT_EQ(ps1_CueInitDone, st.ps1);
    EXPECT_EQ((1ull << 2) | (1ull << 28), st.ps3);
    st.Clean();
    EXPECT_EQ(0, st.portNum);
    EXPECT_EQ(0u, st.ps1 | st.ps2 | st.ps4);
    EXPECT_EQ(0u, st.ps3);

    VdcpIdExt facts;
    EXPECT_EQ(0, facts.protect);
    EXPECT_EQ(1, facts.available);
    EXPECT_EQ(1, facts.transferInProgress);
    EXPECT_EQ(0u, facts.duration);
    EXPECT_EQ("n/a", facts.format);
    EXPECT_EQ("n/a", facts.aspect);
    EXPECT_EQ(0.0, facts.frameRate);
    EXPECT_EQ(0, facts.sampleRate);
}
