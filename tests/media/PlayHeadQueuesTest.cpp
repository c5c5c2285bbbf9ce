// The rules of the playhead's packet queues, frame queues and decoder loop.

#include "media/PlayHead.h"

#include "RecordingDevice.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

namespace {

AVPacket* Packet(int size, int64_t duration = 0)
{
    AVPacket* pkt = av_packet_alloc();
    EXPECT_EQ(0, av_new_packet(pkt, size));
    memset(pkt->data, 0, size_t(size));
    pkt->duration = duration;
    return pkt;
}

struct PacketQueueFixture {
    PacketQueue q;
    PacketQueueFixture() { EXPECT_EQ(0, PlayHead::packet_queue_init(&q)); }
    ~PacketQueueFixture() { PlayHead::packet_queue_destroy(&q); }
};

}  // namespace

TEST(PacketQueue, RefusesEverythingUntilStartedAndAfterAbort)
{
    PacketQueueFixture f;
    AVPacket* pkt = Packet(10);
    EXPECT_EQ(-1, PlayHead::packet_queue_put(&f.q, pkt)) << "only initialised";
    EXPECT_EQ(0, pkt->size) << "a refused packet is released";
    EXPECT_EQ(-1, PlayHead::packet_queue_get(&f.q, pkt, 1, nullptr)) << "a get must not block either";

    PlayHead::packet_queue_start(&f.q);
    av_packet_free(&pkt);
    pkt = Packet(10);
    EXPECT_EQ(0, PlayHead::packet_queue_put(&f.q, pkt));
    PlayHead::packet_queue_abort(&f.q);
    av_packet_free(&pkt);
    pkt = Packet(10);
    EXPECT_EQ(-1, PlayHead::packet_queue_put(&f.q, pkt));
    EXPECT_EQ(-1, PlayHead::packet_queue_get(&f.q, pkt, 1, nullptr));
    av_packet_free(&pkt);
}

TEST(PacketQueue, CountsGrowsAndKeepsOrderAndSerials)
{
    PacketQueueFixture f;
    PlayHead::packet_queue_start(&f.q);
    EXPECT_EQ(1, f.q.serial);
    // More entries than the FIFO starts with: it grows.
    for (int i = 1; i <= 20; i++) {
        AVPacket* pkt = Packet(i, 2);
        ASSERT_EQ(0, PlayHead::packet_queue_put(&f.q, pkt));
        av_packet_free(&pkt);
    }
    EXPECT_EQ(20, f.q.nb_packets);
    EXPECT_EQ(210 + 20 * int(sizeof(MyAVPacketList)), f.q.size);
    EXPECT_EQ(40, f.q.duration);

    AVPacket* out = av_packet_alloc();
    int serial = 0;
    ASSERT_EQ(1, PlayHead::packet_queue_get(&f.q, out, 0, &serial));
    EXPECT_EQ(1, out->size);
    EXPECT_EQ(1, serial);
    av_packet_unref(out);

    // A flush empties the queue and starts a new generation, so decoders
    // and consumers can tell what came from before it.
    PlayHead::packet_queue_flush(&f.q);
    EXPECT_EQ(0, f.q.nb_packets);
    EXPECT_EQ(0, f.q.size);
    EXPECT_EQ(2, f.q.serial);
    EXPECT_EQ(0, PlayHead::packet_queue_get(&f.q, out, 0, &serial)) << "empty, not blocking";
    AVPacket* pkt = Packet(7);
    PlayHead::packet_queue_put(&f.q, pkt);
    av_packet_free(&pkt);
    ASSERT_EQ(1, PlayHead::packet_queue_get(&f.q, out, 1, &serial));
    EXPECT_EQ(2, serial);
    av_packet_free(&out);
}

TEST(PacketQueue, AbortReleasesABlockedReader)
{
    PacketQueueFixture f;
    PlayHead::packet_queue_start(&f.q);
    int result = 0;
    std::thread reader([&] {
        AVPacket* pkt = av_packet_alloc();
        result = PlayHead::packet_queue_get(&f.q, pkt, 1, nullptr);
        av_packet_free(&pkt);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    PlayHead::packet_queue_abort(&f.q);
    reader.join();
    EXPECT_EQ(-1, result);
}

TEST(FrameQueue, CapacityKeepLastAndAbort)
{
    PacketQueueFixture pq;
    struct {
        int asked, keepLast, expected;
    } sizes[] = {{60, 1, 50}, {25, 1, 25}, {50, 0, 50}};
    for (auto s : sizes) {
        FrameQueue f;
        ASSERT_EQ(0, PlayHead::frame_queue_init(&f, &pq.q, s.asked, s.keepLast));
        EXPECT_EQ(s.expected, f.max_size);
        PlayHead::frame_queue_destory(&f);
    }

    FrameQueue f;
    ASSERT_EQ(0, PlayHead::frame_queue_init(&f, &pq.q, 2, 1));
    PlayHead::packet_queue_start(&pq.q);
    ASSERT_NE(nullptr, PlayHead::frame_queue_peek_writable(&f));
    PlayHead::frame_queue_push(&f);
    EXPECT_EQ(1, PlayHead::frame_queue_nb_remaining(&f));
    // The first advance only marks the frame as shown; it stays held.
    PlayHead::frame_queue_next(&f);
    EXPECT_EQ(0, PlayHead::frame_queue_nb_remaining(&f));
    EXPECT_EQ(1, f.size);
    EXPECT_EQ(&f.queue[f.rindex], PlayHead::frame_queue_peek_last(&f));
    PlayHead::frame_queue_push(&f);   // second entry
    PlayHead::frame_queue_next(&f);   // releases the shown one
    EXPECT_EQ(1, f.size);
    EXPECT_EQ(0, PlayHead::frame_queue_nb_remaining(&f));

    // Full queue: a writer waits, and an abort of the packet queue frees it.
    PlayHead::frame_queue_peek_writable(&f);
    PlayHead::frame_queue_push(&f);
    EXPECT_EQ(2, f.size);
    Frame* got = &f.queue[0];
    std::thread writer([&] { got = PlayHead::frame_queue_peek_writable(&f); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    PlayHead::packet_queue_abort(&pq.q);
    writer.join();
    EXPECT_EQ(nullptr, got);
    EXPECT_EQ(nullptr, PlayHead::frame_queue_peek_readable(&f)) << "readers are released by the abort too";
    PlayHead::frame_queue_destory(&f);
}

TEST(Decoder, EmptyPacketDrainsTheDecoder)
{
    RecordingDevice dev;
    PlayHead head(&dev, 0);
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_PCM_S16LE);
    AVCodecContext* ctx = avcodec_alloc_context3(codec);
    ctx->sample_rate = 48000;
    av_channel_layout_default(&ctx->ch_layout, 1);
    ctx->pkt_timebase = AVRational{1, 48000};
    ASSERT_EQ(0, avcodec_open2(ctx, codec, nullptr));

    PacketQueueFixture pq;
    std::condition_variable emptyCond;
    Decoder d;
    ASSERT_EQ(0, PlayHead::decoder_init(&d, ctx, &pq.q, &emptyCond));
    PlayHead::packet_queue_start(&pq.q);
    for (int i = 0; i < 3; i++) {
        AVPacket* pkt = Packet(200);
        pkt->pts = i * 100;
        PlayHead::packet_queue_put(&pq.q, pkt);
        av_packet_free(&pkt);
    }
    AVPacket* empty = av_packet_alloc();
    PlayHead::packet_queue_put_nullpacket(&pq.q, empty, 0);
    av_packet_free(&empty);

    AVFrame* frame = av_frame_alloc();
    int frames = 0, r;
    while ((r = head.decoder_decode_frame(&d, frame, nullptr)) == 1) {
        EXPECT_EQ(frames * 100, frame->pts);
        frames++;
        av_frame_unref(frame);
    }
    EXPECT_EQ(0, r);
    EXPECT_EQ(3, frames);
    EXPECT_EQ(d.pkt_serial, d.finished.load());
    EXPECT_EQ(pq.q.serial.load(), d.finished.load());

    // New packets of a new generation restart the decoder.
    PlayHead::packet_queue_flush(&pq.q);
    AVPacket* pkt = Packet(200);
    pkt->pts = 1000;
    PlayHead::packet_queue_put(&pq.q, pkt);
    av_packet_free(&pkt);
    ASSERT_EQ(1, head.decoder_decode_frame(&d, frame, nullptr));
    EXPECT_EQ(1000, frame->pts);
    EXPECT_EQ(0, d.finished.load());
    av_frame_unref(frame);

    PlayHead::packet_queue_abort(&pq.q);
    EXPECT_EQ(-1, head.decoder_decode_frame(&d, frame, nullptr));
    av_frame_free(&frame);
    PlayHead::decoder_destroy(&d);
}
