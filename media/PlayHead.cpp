// The playhead's public operations: loading, transport, and the delivery of
// pictures and audio to the channel's device thread.

#include "media/PlayHead.h"

#include "channels/SelvoDev.h"
#include "shell/Log.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/pixdesc.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>
#include <vector>

namespace {

// The end point is inclusive: a picture up to this many seconds after it is
// still delivered.
constexpr double kEndTolerance = 0.01;
// Bytes of silence handed out per block when no audio can be produced.
constexpr int kSilentBlockBytes = 512;
// Longest wait of one audio block for its decoded frames: long enough to ride
// out a decoder's scheduling hiccup, short enough that a starved stream never
// stalls the channel's device thread (which holds readLock meanwhile).
constexpr auto kAudioWaitLimit = std::chrono::milliseconds(500);
constexpr auto kAudioWaitSlice = std::chrono::milliseconds(100);
// Empty blocks in a row after which a call gives up and fills silence.
constexpr int kMaxEmptyBlocks = 8;

int64_t DefaultLayoutMask(int channels)
{
    AVChannelLayout layout;
    av_channel_layout_default(&layout, channels);
    int64_t mask = layout.order == AV_CHANNEL_ORDER_NATIVE ? int64_t(layout.u.mask) : 0;
    av_channel_layout_uninit(&layout);
    return mask;
}

void MakeLayout(AVChannelLayout* layout, int64_t mask, int channels)
{
    if (mask && av_channel_layout_from_mask(layout, uint64_t(mask)) == 0 && layout->nb_channels == channels) return;
    av_channel_layout_default(layout, channels);
}

}  // namespace

PlayHead::PlayHead(SelvoDev* device, int index) : svDev(device), playHeadIndex(index)
{
    wanted_stream_spec = new const char*[AVMEDIA_TYPE_NB]();
    state = ph_NotCued;
}

PlayHead::~PlayHead()
{
    stream_close();
    delete[] wanted_stream_spec;
    av_dict_free(&format_opts);
    av_dict_free(&codec_opts);
}

// ------------------------------------------------------------------ transport

bool PlayHead::ReadyToCue() const
{
    PlayheadState s = state.load();
    return s != ph_Paused && s != ph_Playback;
}

bool PlayHead::IsPaused()
{
    ReadLock lk(readLock, std::defer_lock);
    if (!lock_read(lk)) return false;
    return is && is->paused;
}

bool PlayHead::LoadFile(const std::string& filePath, int64_t startTc, int64_t durationTc)
{
    if (on_read_thread()) {
        MsgToLog(L_ERROR, "Port %i:%i : a clip cannot be closed from its own read thread.\n", svDev->portNum,
                 playHeadIndex);
        return false;
    }
    ReadLock lk(readLock);
    PlayheadState s = state;
    if (s == ph_Paused || s == ph_Playback) {
        MsgToLog(L_ERROR, "Port %i:%i : Not ready to cue.\n", svDev->portNum, playHeadIndex);
        return false;
    }
    if (startTc < 0 || durationTc < 0) {
        MsgToLog(L_ERROR, "Port %i:%i : invalid cue range: start %lld us, length %lld us.\n", svDev->portNum,
                 playHeadIndex, (long long)startTc, (long long)durationTc);
        return false;
    }
    if (is) stream_close();   // the earlier clip is dropped without a report

    start_time = startTc ? startTc : AV_NOPTS_VALUE;
    // One second more than asked, so that the packets around the end point are read.
    duration = durationTc ? durationTc + 1000000 : AV_NOPTS_VALUE;
    start_pts = double(startTc) / 1000000;
    end_pts = durationTc ? double(startTc + durationTc) / 1000000 : -1.0;
    waitForCue = true;
    videoReady = video_disable != 0;
    audioReady = audio_disable != 0;
    return stream_open(filePath.c_str(), nullptr);
}

void PlayHead::SetToPlay()
{
    ReadLock lk(readLock, std::defer_lock);
    if (!lock_read(lk)) return;
    if (!is) {
        MsgToLog(L_ERROR, "Port %i:%i : cannot play - not initialized.\n", svDev->portNum, playHeadIndex);
        return;
    }
    if (!is->paused) {
        MsgToLog(L_ERROR, "Port %i:%i : ALREADY PLAYING.\n", svDev->portNum, playHeadIndex);
        return;
    }
    state = ph_Playback;
    toggle_pause();
}

void PlayHead::SetToPause()
{
    ReadLock lk(readLock, std::defer_lock);
    if (!lock_read(lk)) return;
    if (!is) {
        MsgToLog(L_ERROR, "Port %i:%i : not initialized.\n", svDev->portNum, playHeadIndex);
        return;
    }
    if (is->paused) {
        MsgToLog(L_ERROR, "Port %i:%i : already on pause.\n", svDev->portNum, playHeadIndex);
        return;
    }
    state = ph_Paused;
    toggle_pause();
}

void PlayHead::Stop()
{
    if (on_read_thread()) {
        MsgToLog(L_ERROR, "Port %i:%i : a clip cannot be closed from its own read thread.\n", svDev->portNum,
                 playHeadIndex);
        return;
    }
    {
        ReadLock lk(readLock);
        if (state != ph_NotCued || is) stream_close();
    }
    MsgToLog(L_DEBUG, "Port %i:%i : STOPPED.\n", svDev->portNum, playHeadIndex);
}

bool PlayHead::GoToTime(int64_t tc, bool reCue)
{
    ReadLock lk(readLock, std::defer_lock);
    if (!lock_read(lk)) return false;
    if (!is || state == ph_NotCued || tc < 0 || !(double(tc) / 1000000 < end_pts)) return false;
    if (reCue) {
        waitForCue = true;
        videoReady = false;
        audioReady = false;
        start_pts = double(tc) / 1000000;
    }
    is->seek_pos = tc;
    is->seek_req = 1;   // a pending request is replaced
    return true;
}

bool PlayHead::UpdateEndTime(int64_t microSec)
{
    ReadLock lk(readLock, std::defer_lock);
    if (!lock_read(lk)) return false;
    if (!is) return false;
    end_pts = double(microSec) / 1000000;
    return true;
}

double PlayHead::Duration()
{
    ReadLock lk(readLock, std::defer_lock);
    if (!lock_read(lk)) return 0.0;
    return end_pts > start_pts ? end_pts - start_pts : 0.0;
}

// Callers hold readLock and have a clip loaded.
void PlayHead::stream_toggle_pause()
{
    is->paused = !is->paused;
    MsgToLog(L_DEBUG, "Port %i:%i : %s\n", svDev->portNum, playHeadIndex,
             is->paused ? "PAUSED" : "RESUMED FROM PAUSE");
}

void PlayHead::toggle_pause()
{
    ReadLock lk(readLock, std::defer_lock);
    if (!lock_read(lk) || !is) return;
    stream_toggle_pause();
    is->step = 0;
}

void PlayHead::toggle_mute()
{
    ReadLock lk(readLock, std::defer_lock);
    if (!lock_read(lk) || !is) return;
    is->muted = !is->muted;
}

void PlayHead::step_to_next_frame()
{
    ReadLock lk(readLock, std::defer_lock);
    if (!lock_read(lk) || !is) return;
    if (is->paused) stream_toggle_pause();
    is->step = 1;
}

// ---------------------------------------------------------------------- video

bool PlayHead::video_ended()
{
    VideoState* vs = is;
    // Until the streams are chosen an empty queue only means "not yet".
    if (!vs->setup_done) return false;
    if (vs->video_stream < 0) return true;
    return vs->viddec.finished == vs->videoq.serial || vs->viddec.exited;
}

double PlayHead::GetVideoFrame(uint8_t* pixels, int pitch)
{
    ReadLock lk(readLock, std::defer_lock);
    if (!lock_read(lk)) return -1.0;
    try {
        VideoState* vs = is;
        if (!vs) return -1.0;
        vs->video_held = 0;
        if (vs->paused && !vs->force_refresh) return -1.0;

        for (;;) {
            if (frame_queue_nb_remaining(&vs->pictq) == 0) {
                // A decoder that has fallen behind is not the end of the clip:
                // the device shows its last picture once more.
                if (!video_ended()) {
                    vs->video_held = !vs->paused;
                    return -1.0;
                }
                stream_close();
                svDev->ReportStreamClosed(playHeadIndex);
                return -1.0;
            }
            Frame* vp = frame_queue_peek(&vs->pictq);
            if (vp->serial != vs->videoq.serial) {
                frame_queue_next(&vs->pictq);
                continue;
            }
            if (!vs->paused) {
                if (end_pts >= 0 && vp->pts > end_pts && std::fabs(vp->pts - end_pts) > kEndTolerance) {
                    stream_close();
                    svDev->ReportStreamClosed(playHeadIndex);
                    return -1.0;
                }
                frame_queue_next(&vs->pictq);
                vs->force_refresh = 1;
                if (vs->step && !vs->paused) stream_toggle_pause();
            }
            break;
        }
        if (vs->force_refresh && vs->pictq.rindex_shown) return video_upload(pixels, pitch);
        return -1.0;
    } catch (const std::exception& e) {
        MsgToLog(L_DEBUG, "\n!!!!! C++ Exception in PlayHead::GetVideoFrame, what='%s' !!!!!\n\n", e.what());
    } catch (...) {
        MsgToLog(L_DEBUG, "\n!!!!! Unknown exception in PlayHead::GetVideoFrame !!!!!\n\n");
    }
    return -1.0;
}

double PlayHead::video_upload(uint8_t* pixels, int pitch)
{
    VideoState* vs = is;
    Frame* vp = frame_queue_peek_last(&vs->pictq);
    if (vp->uploaded) return -1.0;
    const int dstW = int(svDev->fWidth);
    const int dstH = int(svDev->isProgressive ? svDev->fHeight : 2 * svDev->fHeight);
    if (!pixels || dstW <= 0 || dstH <= 0 || pitch < 2 * dstW) return -1.0;

    AVFrame* frame = vp->frame;
    const uint8_t* src[4] = {frame->data[0], frame->data[1], frame->data[2], frame->data[3]};
    int srcStride[4] = {frame->linesize[0], frame->linesize[1], frame->linesize[2], frame->linesize[3]};
    int srcH = frame->height;
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(AVPixelFormat(frame->format));
    if (!desc) return -1.0;
    if (vs->vbi_lines > 0 && frame->height > vs->vbi_lines && frame->height == 576 + vs->vbi_lines &&
        !(desc->flags & AV_PIX_FMT_FLAG_PAL)) {
        // Leave out the vertical blanking coded above the picture.
        for (int p = 0; p < 4 && src[p]; p++) {
            int lines = (p == 1 || p == 2) ? (vs->vbi_lines >> desc->log2_chroma_h) : vs->vbi_lines;
            src[p] += ptrdiff_t(lines) * srcStride[p];
        }
        srcH -= vs->vbi_lines;
    }

    // Made from the first picture and made again whenever the pictures
    // change size or format.
    vs->img_convert_ctx = sws_getCachedContext(vs->img_convert_ctx, frame->width, srcH, AVPixelFormat(frame->format),
                                               dstW, dstH, AV_PIX_FMT_UYVY422, SWS_BICUBIC, nullptr, nullptr, nullptr);
    if (!vs->img_convert_ctx) {
        MsgToLog(L_ERROR, "Port %i:%i : cannot scale %dx%d %s pictures to %dx%d UYVY.\n", svDev->portNum,
                 playHeadIndex, frame->width, srcH, desc->name, dstW, dstH);
        return -1.0;
    }
    uint8_t* dst[4] = {pixels, nullptr, nullptr, nullptr};
    int dstStride[4] = {pitch, 0, 0, 0};
    sws_scale(vs->img_convert_ctx, src, srcStride, 0, srcH, dst, dstStride);
    vp->uploaded = 1;
    vp->flip_v = frame->linesize[0] < 0;
    return vp->pts;
}

// ---------------------------------------------------------------------- audio

bool PlayHead::audio_slot_ended(int slot)
{
    Decoder* d = is->audDecoders[slot];
    return d->finished == is->audQueues[slot]->serial || d->exited;
}

namespace {
// Waits until `f` has a frame to hand out, `gone()` says none will come, or
// the deadline passes. True when a frame is there.
template <typename Gone>
bool WaitReadable(FrameQueue* f, std::chrono::steady_clock::time_point deadline, Gone gone)
{
    std::unique_lock<std::mutex> lk(*f->mutex);
    while (f->size - f->rindex_shown <= 0) {
        if ((f->pktq && f->pktq->abort_request) || gone()) return false;
        auto now = std::chrono::steady_clock::now();
        if (now >= deadline) return false;
        f->cond->wait_until(lk, std::min(deadline, now + kAudioWaitSlice));
    }
    return true;
}
}  // namespace

Frame* PlayHead::audio_slot_frame(int slot, std::chrono::steady_clock::time_point deadline)
{
    FrameQueue* f = is->audSmpQueues[slot];
    PacketQueue* pq = is->audQueues[slot];
    for (;;) {
        if (!WaitReadable(f, deadline, [&] { return audio_slot_ended(slot); })) return nullptr;
        Frame* af = frame_queue_peek(f);
        if (af->serial == pq->serial) return af;
        frame_queue_next(f);   // decoded before the last flush
    }
}

Frame* PlayHead::audio_set_entry(std::chrono::steady_clock::time_point deadline)
{
    FrameQueue* f = &is->resSampQ;
    PacketQueue* pq = is->audQueues[0];
    auto allEnded = [&] {
        for (int i = 0; i < is->nb_audStreams; i++)
            if (!audio_slot_ended(i)) return false;
        return true;
    };
    for (;;) {
        if (!WaitReadable(f, deadline, allEnded)) return nullptr;
        Frame* af = frame_queue_peek(f);
        if (af->serial == pq->serial) return af;
        frame_queue_next(f);
    }
}

int PlayHead::audio_convert_slot(int slot, AVFrame* af)
{
    VideoState* vs = is;
    AudioParams& tgt = vs->audio_tgt;
    const int channels = af->ch_layout.nb_channels;
    if (channels <= 0 || af->sample_rate <= 0) return -1;
    const AVSampleFormat fmt = AVSampleFormat(af->format);
    int data_size = av_samples_get_buffer_size(nullptr, channels, af->nb_samples, fmt, 1);
    if (data_size < 0) return -1;
    int64_t dec_channel_layout =
        (af->ch_layout.order == AV_CHANNEL_ORDER_NATIVE && af->ch_layout.nb_channels == channels)
            ? int64_t(af->ch_layout.u.mask)
            : DefaultLayoutMask(channels);

    bool differsFromSrc = fmt != vs->audio_src.fmt || dec_channel_layout != vs->audio_src.channel_layout ||
                          channels != vs->audio_src.channels || af->sample_rate != vs->audio_src.freq;
    bool differsFromTgt = fmt != tgt.fmt || dec_channel_layout != tgt.channel_layout || channels != tgt.channels ||
                          af->sample_rate != tgt.freq;
    if (differsFromTgt && (differsFromSrc || !vs->swr_ctx)) {
        swr_free(&vs->swr_ctx);
        AVChannelLayout inLayout, outLayout;
        MakeLayout(&inLayout, dec_channel_layout, channels);
        MakeLayout(&outLayout, tgt.channel_layout, tgt.channels);
        int r = swr_alloc_set_opts2(&vs->swr_ctx, &outLayout, tgt.fmt, tgt.freq, &inLayout, fmt, af->sample_rate, 0,
                                    nullptr);
        if (r >= 0 && !mix_audio && channels != tgt.channels) {
            // One stream over all device channels: its channels in order,
            // repeated over the device's (mono on every channel, stereo as
            // L R L R); a stream with more channels gives its first ones.
            std::vector<double> matrix(size_t(tgt.channels) * size_t(channels), 0.0);
            for (int o = 0; o < tgt.channels; o++) matrix[size_t(o) * size_t(channels) + size_t(o % channels)] = 1.0;
            r = swr_set_matrix(vs->swr_ctx, matrix.data(), channels);
        }
        if (r < 0 || swr_init(vs->swr_ctx) < 0) {
            MsgToLog(L_ERROR,
                     "Port %i:%i : Cannot create sample rate converter for conversion of %d Hz %s %d channels to %d "
                     "Hz %s %d channels!\n",
                     svDev->portNum, playHeadIndex, af->sample_rate, av_get_sample_fmt_name(fmt), channels, tgt.freq,
                     av_get_sample_fmt_name(tgt.fmt), tgt.channels);
            swr_free(&vs->swr_ctx);
            av_channel_layout_uninit(&inLayout);
            av_channel_layout_uninit(&outLayout);
            return -1;
        }
        av_channel_layout_uninit(&inLayout);
        av_channel_layout_uninit(&outLayout);
        vs->audio_src.channel_layout = dec_channel_layout;
        vs->audio_src.channels = channels;
        vs->audio_src.freq = af->sample_rate;
        vs->audio_src.fmt = fmt;
    }

    if (differsFromTgt && vs->swr_ctx) {
        const uint8_t** in = const_cast<const uint8_t**>(af->extended_data);
        int out_count = int(int64_t(af->nb_samples) * tgt.freq / af->sample_rate + 256);
        int out_size = av_samples_get_buffer_size(nullptr, tgt.channels, out_count, tgt.fmt, 0);
        if (out_size < 0) {
            MsgToLog(L_ERROR, "Port %i:%i : av_samples_get_buffer_size() failed.\n", svDev->portNum, playHeadIndex);
            return -1;
        }
        av_fast_malloc(&vs->audio_own_bufs[slot], &vs->audio_own_sizes[slot], size_t(out_size));
        if (!vs->audio_own_bufs[slot]) {
            vs->audio_own_sizes[slot] = 0;
            vs->audio_bufs[slot] = nullptr;
            vs->audio_buf_indices[slot] = 0;
            return AVERROR(ENOMEM);
        }
        uint8_t** out = &vs->audio_own_bufs[slot];
        int len2 = swr_convert(vs->swr_ctx, out, out_count, in, af->nb_samples);
        if (len2 < 0) {
            MsgToLog(L_ERROR, "Port %i:%i : swr_convert() failed.\n", svDev->portNum, playHeadIndex);
            return -1;
        }
        if (len2 == out_count) {
            MsgToLog(L_WARN, "Port %i:%i : audio buffer is probably too small.\n", svDev->portNum, playHeadIndex);
            if (swr_init(vs->swr_ctx) < 0) swr_free(&vs->swr_ctx);
        }
        vs->audio_bufs[slot] = vs->audio_own_bufs[slot];
        vs->audio_buf_indices[slot] = 1;
        vs->audio_buf_sizes[slot] = unsigned(len2 * tgt.channels * av_get_bytes_per_sample(tgt.fmt));
    } else if (differsFromTgt) {
        return -1;
    } else {
        // Already in the device's format: the frame's own samples are used.
        vs->audio_bufs[slot] = af->data[0];
        vs->audio_buf_indices[slot] = 0;
        vs->audio_buf_sizes[slot] = unsigned(data_size);
    }
    return 0;
}

int PlayHead::audio_decode_frame()
{
    VideoState* vs = is;
    if (vs->paused) return -1;
    const int nb = vs->nb_audStreams;
    if (nb <= 0) return -1;

    // Every slot (and the set queue) must have its next frame before any is
    // taken, so that a slot that cannot deliver never leaves the others a
    // frame ahead.
    auto deadline = std::chrono::steady_clock::now() + kAudioWaitLimit;
    Frame* frames[MAX_AUDIO_STREAMS] = {};
    for (int i = 0; i < nb; i++) {
        if (!(frames[i] = audio_slot_frame(i, deadline))) return -1;
    }
    if (mix_audio) {
        if (!audio_set_entry(deadline)) return -1;
        frame_queue_next(&vs->resSampQ);
    }
    for (int i = 0; i < nb; i++) {
        // The frame becomes the queue's kept last entry and stays referenced
        // until the slot's next frame is taken.
        frame_queue_next(vs->audSmpQueues[i]);
        int r = audio_convert_slot(i, frames[i]->frame);
        if (r < 0) return r;
    }

    if (!mix_audio) {
        vs->audio_buf = vs->audio_bufs[0];
        return int(vs->audio_buf_sizes[0]);
    }

    const int bps = av_get_bytes_per_sample(vs->audio_tgt.fmt);
    const int chans = int(svDev->sChannels);
    if (bps <= 0 || chans <= 0) return -1;
    const unsigned int block = vs->audio_buf_sizes[0] * unsigned(chans);
    av_fast_malloc(&vs->mix_buf, &vs->mix_buf_alloc, block);
    if (!vs->mix_buf) {
        vs->mix_buf_alloc = 0;
        return AVERROR(ENOMEM);
    }
    memset(vs->mix_buf, 0, block);
    const int step = bps * chans;
    const int blockSamples = int(block) / step;
    for (int j = 0; j < nb && j < chans; j++) {
        if (!vs->audio_bufs[j]) continue;
        int samples = std::min(int(vs->audio_buf_sizes[j]) / bps, blockSamples);
        const uint8_t* from = vs->audio_bufs[j];
        uint8_t* to = vs->mix_buf + j * bps;
        for (int k = 0; k < samples; k++) memcpy(to + ptrdiff_t(k) * step, from + ptrdiff_t(k) * bps, size_t(bps));
    }
    vs->audio_buf = vs->mix_buf;
    return int(block);
}

int PlayHead::GetAudioFrame(uint8_t* stream, int len)
{
    if (len < 0) len = 0;
    ReadLock lk(readLock, std::defer_lock);
    if (!lock_read(lk)) {
        if (stream && len) memset(stream, 0, size_t(len));
        return 0;
    }
    VideoState* vs = is;
    if (!vs || audio_disable) {
        if (stream && len) memset(stream, 0, size_t(len));
        return 0;
    }
    if (vs->audio_tgt.freq == 0) return 0;
    if (vs->video_held) {
        vs->video_held = 0;
        if (stream && len) memset(stream, 0, size_t(len));
        return len;
    }

    const int deviceFrame = av_get_bytes_per_sample(vs->audio_tgt.fmt) * int(svDev->sChannels);
    int silentBlock = deviceFrame > 0 ? std::max(kSilentBlockBytes / deviceFrame, 1) * deviceFrame : kSilentBlockBytes;
    int total = 0;
    int emptyBlocks = 0;
    try {
        while (len > 0) {
            if (vs->audio_buf_index >= int(vs->audio_buf_size)) {
                int audio_size = emptyBlocks < kMaxEmptyBlocks ? audio_decode_frame() : -1;
                if (audio_size < 0) {
                    vs->audio_buf = nullptr;
                    vs->audio_buf_size = unsigned(silentBlock);
                } else {
                    vs->audio_buf_size = unsigned(audio_size);
                    emptyBlocks = audio_size == 0 ? emptyBlocks + 1 : 0;
                }
                vs->audio_buf_index = 0;
            }
            int len1 = std::min(int(vs->audio_buf_size) - vs->audio_buf_index, len);
            if (stream) {
                if (vs->muted || !vs->audio_buf)
                    memset(stream, 0, size_t(len1));
                else
                    memcpy(stream, vs->audio_buf + vs->audio_buf_index, size_t(len1));
                stream += len1;
            }
            len -= len1;
            vs->audio_buf_index += len1;
            total += len1;
        }
    } catch (...) {
        // Nothing in here throws by design; should it, the rest is silence.
        if (stream && len > 0) memset(stream, 0, size_t(len));
        total += len;
    }
    return total;
}
