// The playhead's packet queues, frame queues and decoder loop.

#include "media/PlayHead.h"

#include "channels/SelvoDev.h"
#include "shell/Log.h"

extern "C" {
#include <libavutil/error.h>
}

#include <chrono>
#include <cmath>

namespace {
// A frame-queue wait re-tests its condition and the abort flag of its packet
// queue at least this often, so an abort reaches every waiter promptly.
constexpr auto kFrameQueueWaitSlice = std::chrono::milliseconds(100);
// Accounting overhead of one queued packet, as counted against the read-ahead.
constexpr int kPacketEntryBytes = int(sizeof(MyAVPacketList));

bool Aborted(const FrameQueue* f) { return f->pktq && f->pktq->abort_request.load(); }
}  // namespace

// ---------------------------------------------------------------- packet queue

int PlayHead::packet_queue_init(PacketQueue* q)
{
    q->pkt_list = av_fifo_alloc2(1, sizeof(MyAVPacketList), 0);
    if (!q->pkt_list) return AVERROR(ENOMEM);
    q->nb_packets = 0;
    q->size = 0;
    q->duration = 0;
    q->serial = 0;
    q->mutex = new std::mutex;
    q->cond = new std::condition_variable;
    q->abort_request = 1;
    return 0;
}

void PlayHead::packet_queue_start(PacketQueue* q)
{
    std::lock_guard<std::mutex> lk(*q->mutex);
    q->abort_request = 0;
    q->serial++;
}

int PlayHead::packet_queue_put_private(PacketQueue* q, AVPacket* pkt)
{
    if (q->abort_request) return -1;
    if (av_fifo_can_write(q->pkt_list) < 1 && av_fifo_grow2(q->pkt_list, av_fifo_can_read(q->pkt_list)) < 0)
        return -1;
    MyAVPacketList entry{pkt, q->serial.load()};
    if (av_fifo_write(q->pkt_list, &entry, 1) < 0) return -1;
    q->nb_packets++;
    q->size += pkt->size + kPacketEntryBytes;
    q->duration += pkt->duration;
    q->cond->notify_one();
    return 0;
}

int PlayHead::packet_queue_put(PacketQueue* q, AVPacket* pkt)
{
    AVPacket* pkt1 = av_packet_alloc();
    if (!pkt1) {
        av_packet_unref(pkt);
        return -1;
    }
    av_packet_move_ref(pkt1, pkt);
    int ret;
    {
        std::lock_guard<std::mutex> lk(*q->mutex);
        ret = packet_queue_put_private(q, pkt1);
    }
    if (ret < 0) av_packet_free(&pkt1);
    return ret;
}

int PlayHead::packet_queue_put_nullpacket(PacketQueue* q, AVPacket* pkt, int stream_index)
{
    pkt->stream_index = stream_index;
    return packet_queue_put(q, pkt);
}

int PlayHead::packet_queue_get(PacketQueue* q, AVPacket* pkt, int block, int* serial)
{
    std::unique_lock<std::mutex> lk(*q->mutex);
    for (;;) {
        if (q->abort_request) return -1;
        MyAVPacketList entry;
        if (av_fifo_read(q->pkt_list, &entry, 1) >= 0) {
            q->nb_packets--;
            q->size -= entry.pkt->size + kPacketEntryBytes;
            q->duration -= entry.pkt->duration;
            av_packet_move_ref(pkt, entry.pkt);
            if (serial) *serial = entry.serial;
            av_packet_free(&entry.pkt);
            return 1;
        }
        if (!block) return 0;
        q->cond->wait(lk);
    }
}

// Drops every queued packet and starts a new generation, so that decoders
// flush their codecs and consumers recognise frames decoded from before.
void PlayHead::packet_queue_flush(PacketQueue* q)
{
    if (!q->mutex) return;
    std::lock_guard<std::mutex> lk(*q->mutex);
    MyAVPacketList entry;
    while (q->pkt_list && av_fifo_read(q->pkt_list, &entry, 1) >= 0) av_packet_free(&entry.pkt);
    q->nb_packets = 0;
    q->size = 0;
    q->duration = 0;
    q->serial++;
}

void PlayHead::packet_queue_abort(PacketQueue* q)
{
    if (!q->mutex) return;
    std::lock_guard<std::mutex> lk(*q->mutex);
    q->abort_request = 1;
    q->cond->notify_all();
}

void PlayHead::packet_queue_destroy(PacketQueue* q)
{
    packet_queue_flush(q);
    av_fifo_freep2(&q->pkt_list);
    delete q->mutex;
    q->mutex = nullptr;
    delete q->cond;
    q->cond = nullptr;
}

// ----------------------------------------------------------------- frame queue

int PlayHead::frame_queue_init(FrameQueue* f, PacketQueue* pktq, int max_size, int keep_last)
{
    f->rindex = f->windex = f->size = f->rindex_shown = 0;
    f->mutex = new std::mutex;
    f->cond = new std::condition_variable;
    f->pktq = pktq;
    f->max_size = FFMIN(max_size, FRAME_QUEUE_SIZE);
    if (f->max_size < 1) f->max_size = 1;
    f->keep_last = !!keep_last;
    for (int i = 0; i < f->max_size; i++) {
        f->queue[i] = Frame();
        if (!(f->queue[i].frame = av_frame_alloc())) return AVERROR(ENOMEM);
    }
    return 0;
}

Frame* PlayHead::frame_queue_peek(FrameQueue* f)
{
    std::lock_guard<std::mutex> lk(*f->mutex);
    return &f->queue[(f->rindex + f->rindex_shown) % f->max_size];
}

Frame* PlayHead::frame_queue_peek_last(FrameQueue* f)
{
    std::lock_guard<std::mutex> lk(*f->mutex);
    return &f->queue[f->rindex];
}

Frame* PlayHead::frame_queue_peek_writable(FrameQueue* f)
{
    std::unique_lock<std::mutex> lk(*f->mutex);
    while (f->size >= f->max_size && !Aborted(f)) f->cond->wait_for(lk, kFrameQueueWaitSlice);
    if (Aborted(f)) return nullptr;
    return &f->queue[f->windex];
}

Frame* PlayHead::frame_queue_peek_readable(FrameQueue* f)
{
    std::unique_lock<std::mutex> lk(*f->mutex);
    while (f->size - f->rindex_shown <= 0 && !Aborted(f)) f->cond->wait_for(lk, kFrameQueueWaitSlice);
    if (Aborted(f)) return nullptr;
    return &f->queue[(f->rindex + f->rindex_shown) % f->max_size];
}

void PlayHead::frame_queue_push(FrameQueue* f)
{
    std::lock_guard<std::mutex> lk(*f->mutex);
    if (++f->windex == f->max_size) f->windex = 0;
    f->size++;
    f->cond->notify_all();
}

void PlayHead::frame_queue_next(FrameQueue* f)
{
    {
        std::lock_guard<std::mutex> lk(*f->mutex);
        if (f->keep_last && !f->rindex_shown) {
            f->rindex_shown = 1;
            return;
        }
    }
    frame_queue_unref_item(&f->queue[f->rindex]);
    std::lock_guard<std::mutex> lk(*f->mutex);
    if (++f->rindex == f->max_size) f->rindex = 0;
    f->size--;
    f->cond->notify_all();
}

int PlayHead::frame_queue_nb_remaining(FrameQueue* f)
{
    std::lock_guard<std::mutex> lk(*f->mutex);
    return f->size - f->rindex_shown;
}

void PlayHead::frame_queue_signal(FrameQueue* f)
{
    if (!f->mutex) return;
    std::lock_guard<std::mutex> lk(*f->mutex);
    f->cond->notify_all();
}

void PlayHead::frame_queue_unref_item(Frame* vp)
{
    av_frame_unref(vp->frame);
    avsubtitle_free(&vp->sub);
}

void PlayHead::frame_queue_destory(FrameQueue* f)
{
    for (int i = 0; i < f->max_size; i++) {
        Frame* vp = &f->queue[i];
        if (vp->frame) frame_queue_unref_item(vp);
        av_frame_free(&vp->frame);
    }
    f->max_size = 0;
    delete f->mutex;
    f->mutex = nullptr;
    delete f->cond;
    f->cond = nullptr;
}

// --------------------------------------------------------------------- decoder

int PlayHead::decoder_init(Decoder* d, AVCodecContext* avctx, PacketQueue* queue,
                           std::condition_variable* empty_queue_cond)
{
    d->pkt = av_packet_alloc();
    if (!d->pkt) return AVERROR(ENOMEM);
    d->avctx = avctx;
    d->queue = queue;
    d->empty_queue_cond = empty_queue_cond;
    d->start_pts = AV_NOPTS_VALUE;
    d->start_pts_tb = AVRational{0, 1};
    d->next_pts = AV_NOPTS_VALUE;
    d->next_pts_tb = AVRational{0, 1};
    d->pkt_serial = -1;
    d->finished = 0;
    d->packet_pending = 0;
    d->decoder_tid = nullptr;
    d->exited = false;
    return 0;
}

int PlayHead::decoder_start(Decoder* d, int (*fn)(void*), const char* /*thread_name*/, void* arg)
{
    packet_queue_start(d->queue);
    d->decoder_tid = new std::thread(fn, arg);
    return 0;
}

int PlayHead::decoder_decode_frame(Decoder* d, AVFrame* frame, AVSubtitle* /*sub*/)
{
    int ret = AVERROR(EAGAIN);
    for (;;) {
        if (d->queue->serial == d->pkt_serial) {
            do {
                if (d->queue->abort_request) return -1;
                ret = avcodec_receive_frame(d->avctx, frame);
                if (ret >= 0) {
                    if (d->avctx->codec_type == AVMEDIA_TYPE_VIDEO) {
                        if (decoder_reorder_pts == -1)
                            frame->pts = frame->best_effort_timestamp;
                        else if (!decoder_reorder_pts)
                            frame->pts = frame->pkt_dts;
                    } else if (d->avctx->codec_type == AVMEDIA_TYPE_AUDIO && frame->sample_rate > 0) {
                        AVRational tb{1, frame->sample_rate};
                        if (frame->pts != AV_NOPTS_VALUE)
                            frame->pts = av_rescale_q(frame->pts, d->avctx->pkt_timebase, tb);
                        else if (d->next_pts != AV_NOPTS_VALUE)
                            frame->pts = av_rescale_q(d->next_pts, d->next_pts_tb, tb);
                        if (frame->pts != AV_NOPTS_VALUE) {
                            d->next_pts = frame->pts + frame->nb_samples;
                            d->next_pts_tb = tb;
                        }
                    }
                }
                if (ret == AVERROR_EOF) {
                    d->finished = d->pkt_serial;
                    avcodec_flush_buffers(d->avctx);
                    return 0;
                }
                if (ret >= 0) return 1;
            } while (ret != AVERROR(EAGAIN));
        }

        do {
            if (d->queue->nb_packets == 0 && d->empty_queue_cond) d->empty_queue_cond->notify_all();
            if (d->packet_pending) {
                d->packet_pending = 0;
            } else {
                int old_serial = d->pkt_serial;
                if (packet_queue_get(d->queue, d->pkt, 1, &d->pkt_serial) < 0) return -1;
                if (old_serial != d->pkt_serial) {
                    avcodec_flush_buffers(d->avctx);
                    d->finished = 0;
                    d->next_pts = d->start_pts;
                    d->next_pts_tb = d->start_pts_tb;
                }
            }
            if (d->queue->serial == d->pkt_serial) break;
            av_packet_unref(d->pkt);
        } while (true);

        // An empty packet (no data) asks the codec to drain: FFmpeg treats it as the end of the stream.
        if (avcodec_send_packet(d->avctx, d->pkt) == AVERROR(EAGAIN)) {
            MsgToLog(L_ERROR,
                     "Port %i:%i : Receive_frame and send_packet both returned EAGAIN, which is an API violation.\n",
                     svDev->portNum, playHeadIndex);
            d->packet_pending = 1;
        } else {
            av_packet_unref(d->pkt);
        }
    }
}

void PlayHead::decoder_abort(Decoder* d, FrameQueue* fq)
{
    if (d->queue) packet_queue_abort(d->queue);
    frame_queue_signal(fq);
    if (d->decoder_tid) {
        if (d->decoder_tid->joinable()) d->decoder_tid->join();
        delete d->decoder_tid;
        d->decoder_tid = nullptr;
    }
    if (d->queue) packet_queue_flush(d->queue);
}

void PlayHead::decoder_destroy(Decoder* d)
{
    av_packet_free(&d->pkt);
    avcodec_free_context(&d->avctx);
}
