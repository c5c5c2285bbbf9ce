// The playhead's pipeline: opening and closing a clip, the read thread with
// its read-ahead and cue checks, and the video and audio decode threads.

#include "media/PlayHead.h"

#include "channels/SelvoDev.h"
#include "shell/Log.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/opt.h>
#include <libavutil/pixfmt.h>
}

#include <chrono>
#include <cmath>
#include <cstring>
#include <exception>
#include <new>
#include <thread>

namespace {

// Read-ahead limit over all packet queues of a clip. Big enough to hold the
// stretch between a seek point and the cue point of long-GOP material.
constexpr int MAX_QUEUE_SIZE = 15 * 1024 * 1024;
// Decoded pictures held ahead of delivery.
constexpr int VIDEO_PICTURE_QUEUE_SIZE = 25;
// Decoded audio frames held ahead of delivery, per stream and for the sets.
constexpr int SAMPLE_QUEUE_SIZE = 50;
constexpr int SUBPICTURE_QUEUE_SIZE = 50;
// The read thread's idle wait, in milliseconds: short enough to keep up with
// a decoder, long enough not to spin.
constexpr int kReadWaitMs = 10;
// How often the read thread retries readLock while delivery holds it.
constexpr int kLockRetryMs = 1;
// A picture or audio frame counts as at the cue point within this many seconds.
constexpr double kCueTolerance = 0.01;
// Consecutive read failures (one per idle wait) after which a file that keeps
// failing without reaching its end is treated as ended where it broke.
constexpr int kMaxReadFailures = 100;
// IMX/D-10 pictures are coded 608 lines high: 32 lines of vertical blanking
// above the 576-line picture.
constexpr int kD10CodedLines = 608;
constexpr int kD10BlankingLines = 32;

// The playhead whose read thread runs on this thread, if any.
thread_local PlayHead* tlsReadThreadOwner = nullptr;

void print_error(int port, int headIndex, const char* filename, int err)
{
    char errbuf[128];
    const char* errbuf_ptr = errbuf;
    if (av_strerror(err, errbuf, sizeof(errbuf)) < 0) errbuf_ptr = strerror(AVUNERROR(err));
    MsgToLog(L_ERROR, "Port %i:%i : %s: %s\n", port, headIndex, filename, errbuf_ptr);
}

}  // namespace

// ------------------------------------------------------------------ utilities

bool PlayHead::on_read_thread() const { return tlsReadThreadOwner == this; }

bool PlayHead::lock_read(ReadLock& lk)
{
    if (!on_read_thread()) {
        lk.lock();
        return true;
    }
    // `is` cannot go away under its own read thread: stream_close joins it first.
    while (!lk.try_lock()) {
        if (is && is->abort_request) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(kLockRetryMs));
    }
    return true;
}

void PlayHead::read_wait(std::mutex& waitMutex, int ms)
{
    std::unique_lock<std::mutex> lk(waitMutex);
    is->continue_read_thread->wait_for(lk, std::chrono::milliseconds(ms));
}

int PlayHead::decode_interrupt_callback(void* ctx)
{
    return static_cast<VideoState*>(ctx)->abort_request.load();
}

int PlayHead::audio_queue_size()
{
    int size = 0;
    for (int i = 0; i < is->nb_audStreams; i++) size += is->audQueues[i]->size;
    return size;
}

bool PlayHead::audio_streams_finished()
{
    for (int i = 0; i < is->nb_audStreams; i++) {
        if (is->audDecoders[i]->finished != is->audQueues[i]->serial) return false;
    }
    return true;
}

int PlayHead::put_audio_stream_packet(int stream_index, AVPacket* pkt)
{
    for (int i = 0; i < is->nb_audStreams; i++) {
        if (is->audStreamsId[i] == stream_index) {
            packet_queue_put(is->audQueues[i], pkt);
            return 1;
        }
    }
    return 0;
}

int PlayHead::is_realtime(AVFormatContext* s)
{
    if (!strcmp(s->iformat->name, "rtp") || !strcmp(s->iformat->name, "rtsp") || !strcmp(s->iformat->name, "sdp"))
        return 1;
    if (s->pb && s->url && (!strncmp(s->url, "rtp:", 4) || !strncmp(s->url, "udp:", 4))) return 1;
    return 0;
}

AVDictionary* PlayHead::filter_codec_opts(AVDictionary* opts, enum AVCodecID codec_id, AVFormatContext* s,
                                          AVStream* st, const AVCodec* codec)
{
    AVDictionary* ret = nullptr;
    const AVDictionaryEntry* t = nullptr;
    int flags = s->oformat ? AV_OPT_FLAG_ENCODING_PARAM : AV_OPT_FLAG_DECODING_PARAM;
    if (!codec) codec = s->oformat ? avcodec_find_encoder(codec_id) : avcodec_find_decoder(codec_id);
    switch (st->codecpar->codec_type) {
    case AVMEDIA_TYPE_VIDEO: flags |= AV_OPT_FLAG_VIDEO_PARAM; break;
    case AVMEDIA_TYPE_AUDIO: flags |= AV_OPT_FLAG_AUDIO_PARAM; break;
    case AVMEDIA_TYPE_SUBTITLE: flags |= AV_OPT_FLAG_SUBTITLE_PARAM; break;
    default: break;
    }
    const AVClass* cc = avcodec_get_class();
    while ((t = av_dict_get(opts, "", t, AV_DICT_IGNORE_SUFFIX))) {
        // Only options a decoder of this kind understands are passed on.
        if (av_opt_find(&cc, t->key, nullptr, flags, AV_OPT_SEARCH_FAKE_OBJ) ||
            (codec && codec->priv_class &&
             av_opt_find(const_cast<AVClass**>(&codec->priv_class), t->key, nullptr, flags, AV_OPT_SEARCH_FAKE_OBJ)))
            av_dict_set(&ret, t->key, t->value, 0);
    }
    return ret;
}

AVDictionary** PlayHead::setup_find_stream_info_opts(AVFormatContext* s, AVDictionary* codec_opts)
{
    if (!s->nb_streams) return nullptr;
    AVDictionary** opts = static_cast<AVDictionary**>(av_calloc(s->nb_streams, sizeof(*opts)));
    if (!opts) return nullptr;
    for (unsigned int i = 0; i < s->nb_streams; i++)
        opts[i] = filter_codec_opts(codec_opts, s->streams[i]->codecpar->codec_id, s, s->streams[i], nullptr);
    return opts;
}

// ------------------------------------------------------------ open and close

bool PlayHead::stream_open(const char* filename, const AVInputFormat* iformat)
{
    VideoState* vs = new (std::nothrow) VideoState;
    if (!vs) return false;
    is = vs;
    MsgToLog(L_DEBUG, "Port %i:%i : CUEING %s ...\n", svDev->portNum, playHeadIndex, filename);
    state = ph_CueInProgress;

    vs->filename = av_strdup(filename);
    if (!vs->filename) {
        stream_close();
        return false;
    }
    vs->iformat = iformat;
    vs->swr_ctx = nullptr;
    vs->img_convert_ctx = nullptr;
    vs->video_st = nullptr;
    vs->subtitle_st = nullptr;
    mix_audio = 1;
    vs->nb_audStreams = 0;
    vs->video_stream = vs->subtitle_stream = -1;

    if (frame_queue_init(&vs->pictq, &vs->videoq, VIDEO_PICTURE_QUEUE_SIZE, 1) < 0 ||
        frame_queue_init(&vs->subpq, &vs->subtitleq, SUBPICTURE_QUEUE_SIZE, 0) < 0 ||
        packet_queue_init(&vs->videoq) < 0 || packet_queue_init(&vs->subtitleq) < 0) {
        stream_close();
        return false;
    }

    vs->continue_read_thread = new std::condition_variable;
    vs->muted = 0;
    // A clip always opens paused: it waits for SetToPlay on its first picture.
    vs->paused = 1;
    vs->last_paused = 1;

    try {
        vs->read_tid = new std::thread(read_thread, this);
    } catch (const std::exception& e) {
        MsgToLog(L_DEBUG, "\n!!!!! C++ Exception in PlayHead::stream_open, what='%s' !!!!!\n\n", e.what());
        stream_close();
        return false;
    }
    return true;
}

void PlayHead::stream_component_close(int stream_index)
{
    AVFormatContext* ic = is->ic;
    if (!ic || stream_index < 0 || stream_index >= int(ic->nb_streams)) return;
    AVCodecParameters* codecpar = ic->streams[stream_index]->codecpar;
    switch (codecpar->codec_type) {
    case AVMEDIA_TYPE_VIDEO:
        decoder_abort(&is->viddec, &is->pictq);
        decoder_destroy(&is->viddec);
        break;
    case AVMEDIA_TYPE_SUBTITLE:
        decoder_abort(&is->subdec, &is->subpq);
        decoder_destroy(&is->subdec);
        break;
    default: break;
    }
    ic->streams[stream_index]->discard = AVDISCARD_ALL;
    switch (codecpar->codec_type) {
    case AVMEDIA_TYPE_VIDEO:
        is->video_st = nullptr;
        is->video_stream = -1;
        break;
    case AVMEDIA_TYPE_SUBTITLE:
        is->subtitle_st = nullptr;
        is->subtitle_stream = -1;
        break;
    default: break;
    }
}

void PlayHead::stream_close()
{
    if (on_read_thread()) {
        // Joining the read thread from itself would never return.
        if (is)
            MsgToLog(L_ERROR, "Port %i:%i : a clip cannot be closed from its own read thread.\n", svDev->portNum,
                     playHeadIndex);
        return;
    }
    ReadLock lk(readLock);
    VideoState* vs = is;
    if (!vs) return;

    try {
        vs->paused = 1;

        // The read thread is the only producer of packets: stop it first.
        if (vs->read_tid) {
            vs->abort_request = 1;
            if (vs->read_tid->joinable()) vs->read_tid->join();
            delete vs->read_tid;
            vs->read_tid = nullptr;
        }
        vs->last_paused = 1;   // the read thread's own copy: touched only once it is gone

        if (!audio_disable) {
            for (int i = 0; i < vs->nb_audStreams; i++) {
                packet_queue_abort(vs->audQueues[i]);
                frame_queue_signal(vs->audSmpQueues[i]);
                vs->audDecoders[i]->decoder_tid = nullptr;   // owned through audio_thread
            }
            if (vs->resSampQInited) frame_queue_signal(&vs->resSampQ);
            if (vs->audio_thread) {
                if (vs->audio_thread->joinable()) vs->audio_thread->join();
                delete vs->audio_thread;
                vs->audio_thread = nullptr;
            }
            for (int i = 0; i < vs->nb_audStreams; i++) {
                packet_queue_flush(vs->audQueues[i]);
                decoder_destroy(vs->audDecoders[i]);
            }
            swr_free(&vs->swr_ctx);
            av_freep(&vs->mix_buf);
            vs->mix_buf_alloc = 0;
            vs->audio_buf = nullptr;
            vs->audio_buf_size = 0;
            for (int i = 0; i < vs->nb_audStreams; i++) vs->audStreams[i]->discard = AVDISCARD_ALL;
        }

        if (vs->video_stream >= 0) stream_component_close(vs->video_stream);
        if (vs->subtitle_stream >= 0) stream_component_close(vs->subtitle_stream);

        avformat_close_input(&vs->ic);

        packet_queue_destroy(&vs->videoq);
        packet_queue_destroy(&vs->subtitleq);
        frame_queue_destory(&vs->pictq);
        frame_queue_destory(&vs->subpq);

        for (int i = 0; i < vs->nb_audStreams; i++) {
            packet_queue_destroy(vs->audQueues[i]);
            frame_queue_destory(vs->audSmpQueues[i]);
            delete vs->audDecoders[i];
            delete vs->audQueues[i];
            if (mix_audio) delete vs->audSmpQueues[i];
            av_freep(&vs->audio_own_bufs[i]);
        }
        if (mix_audio && vs->resSampQInited) frame_queue_destory(&vs->resSampQ);
        vs->nb_audStreams = 0;
        delete[] vs->audStreams;
        delete[] vs->audDecoders;
        delete[] vs->audQueues;
        delete[] vs->audSmpQueues;
        delete[] vs->audio_bufs;
        delete[] vs->audio_buf_sizes;
        delete[] vs->audio_buf_indices;
        delete[] vs->audio_own_bufs;
        delete[] vs->audio_own_sizes;

        delete vs->continue_read_thread;
        sws_freeContext(vs->img_convert_ctx);
        av_free(vs->filename);
        delete vs;
    } catch (const std::exception& e) {
        MsgToLog(L_DEBUG, "\n!!!!! C++ Exception in PlayHead::stream_close, what='%s' !!!!!\n\n", e.what());
    } catch (...) {
        MsgToLog(L_DEBUG, "\n!!!!! Unknown exception in PlayHead::stream_close !!!!!\n\n");
    }
    is = nullptr;
    state = ph_NotCued;
    MsgToLog(L_DEBUG, "Port %i:%i : stream closed.\n", svDev->portNum, playHeadIndex);
}

int PlayHead::stream_component_open(int stream_index)
{
    VideoState* vs = is;
    AVFormatContext* ic = vs->ic;
    if (stream_index < 0 || stream_index >= int(ic->nb_streams)) return -1;
    AVStream* st = ic->streams[stream_index];

    AVCodecContext* avctx = avcodec_alloc_context3(nullptr);
    if (!avctx) return AVERROR(ENOMEM);
    int ret = avcodec_parameters_to_context(avctx, st->codecpar);
    if (ret < 0) {
        avcodec_free_context(&avctx);
        return ret;
    }
    avctx->pkt_timebase = st->time_base;

    const AVCodec* codec = avcodec_find_decoder(avctx->codec_id);
    if (!codec) {
        MsgToLog(L_WARN, "Port %i:%i : No decoder could be found for codec %s.\n", svDev->portNum, playHeadIndex,
                 avcodec_get_name(avctx->codec_id));
        MsgToLog(L_ERROR, "Port %i:%i : Cannot find codec %s.\n", svDev->portNum, playHeadIndex,
                 avcodec_get_name(avctx->codec_id));
        avcodec_free_context(&avctx);
        return AVERROR(EINVAL);
    }
    avctx->codec_id = codec->id;
    avctx->lowres = lowres;
    if (fast) avctx->flags2 |= AV_CODEC_FLAG2_FAST;

    AVDictionary* opts = filter_codec_opts(codec_opts, avctx->codec_id, ic, st, codec);
    if (!av_dict_get(opts, "threads", nullptr, 0)) av_dict_set(&opts, "threads", "auto", 0);
    if ((ret = avcodec_open2(avctx, codec, &opts)) < 0) {
        MsgToLog(L_ERROR, "Port %i:%i : Cannot open codec %s.\n", svDev->portNum, playHeadIndex, codec->name);
        avcodec_free_context(&avctx);
        av_dict_free(&opts);
        return ret;
    }
    const AVDictionaryEntry* t = av_dict_get(opts, "", nullptr, AV_DICT_IGNORE_SUFFIX);
    if (t) {
        MsgToLog(L_ERROR, "Port %i:%i : Option %s not found.\n", svDev->portNum, playHeadIndex, t->key);
        avcodec_free_context(&avctx);
        av_dict_free(&opts);
        return AVERROR_OPTION_NOT_FOUND;
    }
    av_dict_free(&opts);

    vs->eof = 0;
    st->discard = AVDISCARD_DEFAULT;

    switch (avctx->codec_type) {
    case AVMEDIA_TYPE_VIDEO:
        vs->video_stream = stream_index;
        vs->video_st = st;
        if ((ret = decoder_init(&vs->viddec, avctx, &vs->videoq, vs->continue_read_thread)) < 0) {
            MsgToLog(L_ERROR, "Port %i:%i : Cannot initialize Video decoder.\n", svDev->portNum, playHeadIndex);
            avcodec_free_context(&avctx);
            vs->viddec.avctx = nullptr;
            vs->video_stream = -1;
            vs->video_st = nullptr;
            st->discard = AVDISCARD_ALL;
            return ret;
        }
        if (!strcmp(ic->iformat->name, "mxf") && st->codecpar->codec_id == AV_CODEC_ID_MPEG2VIDEO &&
            st->codecpar->width == 720 && st->codecpar->height == kD10CodedLines &&
            (st->codecpar->profile == FF_PROFILE_MPEG2_422 || st->codecpar->format == AV_PIX_FMT_YUV422P))
            vs->vbi_lines = kD10BlankingLines;
        if ((ret = decoder_start(&vs->viddec, video_thread, "video_decoder", this)) < 0) {
            MsgToLog(L_ERROR, "Port %i:%i : Cannot start Video decoder.\n", svDev->portNum, playHeadIndex);
            return ret;
        }
        vs->queue_attachments_req = 1;
        break;

    case AVMEDIA_TYPE_AUDIO: {
        int k = vs->curStreamIndex;
        PacketQueue* pq = new PacketQueue;
        Decoder* dec = new Decoder;
        FrameQueue* sq = mix_audio ? new FrameQueue : &vs->resSampQ;
        bool ok = packet_queue_init(pq) >= 0;
        if (ok) {
            packet_queue_start(pq);
            ok = frame_queue_init(sq, pq, SAMPLE_QUEUE_SIZE, 1) >= 0;
        }
        if (ok && (ret = decoder_init(dec, avctx, pq, vs->continue_read_thread)) < 0) {
            MsgToLog(L_ERROR, "Port %i:%i : Cannot initialize Audio decoder.\n", svDev->portNum, playHeadIndex);
            ok = false;
        }
        if (ok) {
            if ((ic->iformat->flags & (AVFMT_NOBINSEARCH | AVFMT_NOGENSEARCH | AVFMT_NO_BYTE_SEEK)) &&
                !ic->iformat->read_seek) {
                dec->start_pts = st->start_time;
                dec->start_pts_tb = st->time_base;
            }
            vs->audStreams[k] = st;
            vs->audQueues[k] = pq;
            vs->audDecoders[k] = dec;
            vs->audSmpQueues[k] = sq;
            if (mix_audio) vs->resSampQ.pktq = pq;
            if (!mix_audio) {
                if ((ret = decoder_start(dec, audio_thread, "audio_decoder", this)) < 0) {
                    MsgToLog(L_ERROR, "Port %i:%i : Cannot start Audio decoder.\n", svDev->portNum, playHeadIndex);
                    return ret;
                }
                vs->audio_thread = dec->decoder_tid;
            }
            break;
        }
        // The slot stays empty: undo what was made for it; the caller drops the stream.
        if (dec->avctx)
            decoder_destroy(dec);
        else
            avcodec_free_context(&avctx);
        packet_queue_destroy(pq);
        frame_queue_destory(sq);
        delete dec;
        delete pq;
        if (mix_audio) delete sq;
        st->discard = AVDISCARD_ALL;
        return ret < 0 ? ret : AVERROR(ENOMEM);
    }
    default:
        avcodec_free_context(&avctx);
        st->discard = AVDISCARD_ALL;
        break;
    }
    return ret;
}

void PlayHead::open_audio_streams()
{
    VideoState* vs = is;
    int candidates = vs->nb_audStreams;
    vs->audio_buf_size = 0;
    vs->audio_buf_index = 0;
    if (candidates == 1) mix_audio = 0;

    int opened = 0;
    for (int n = 0; n < candidates; n++) {
        int k = opened;
        vs->audStreamsId[k] = vs->audStreamsId[n];
        vs->audStreams[k] = nullptr;
        vs->audDecoders[k] = nullptr;
        vs->audQueues[k] = nullptr;
        vs->audSmpQueues[k] = nullptr;
        vs->audio_bufs[k] = nullptr;
        vs->audio_buf_sizes[k] = 0;
        vs->audio_buf_indices[k] = 0;
        vs->curStreamIndex = k;
        // A single stream's decoder thread starts inside stream_component_open
        // and takes the slot count at once; a failed open takes the slot back.
        vs->nb_audStreams = k + 1;
        if (stream_component_open(vs->audStreamsId[k]) >= 0 && vs->audQueues[k]) {
            opened++;
        } else {
            vs->nb_audStreams = k;
            MsgToLog(L_WARN, "Port %i:%i : audio stream %d cannot be played and is left out.\n", svDev->portNum,
                     playHeadIndex, vs->audStreamsId[n]);
        }
    }
    // nb_audStreams already equals `opened`: it is not written again, since a
    // single stream's decoder thread is running and reads it.
    for (int k = opened; k < MAX_AUDIO_STREAMS; k++) vs->audStreamsId[k] = -1;

    if (opened == 0) {
        // Nothing left to play: the clip behaves as one without audio.
        vs->audio_tgt = AudioParams();
        vs->audio_src = AudioParams();
        return;
    }
    if (mix_audio) {
        try {
            vs->audio_thread = new std::thread(audio_thread, this);
        } catch (const std::exception& e) {
            MsgToLog(L_DEBUG, "\n!!!!! C++ Exception in PlayHead::read_thread, what='%s' !!!!!\n\n", e.what());
            // No thread will ever decode these slots: delivery must not wait for them.
            for (int i = 0; i < vs->nb_audStreams; i++) vs->audDecoders[i]->exited = true;
        }
    }
}

void PlayHead::queue_end_packets(AVPacket* pkt)
{
    VideoState* vs = is;
    if (vs->video_stream >= 0) packet_queue_put_nullpacket(&vs->videoq, pkt, vs->video_stream);
    for (int i = 0; i < vs->nb_audStreams; i++)
        packet_queue_put_nullpacket(vs->audQueues[i], pkt, vs->audStreamsId[i]);
    if (vs->subtitle_stream >= 0) packet_queue_put_nullpacket(&vs->subtitleq, pkt, vs->subtitle_stream);
}

// ----------------------------------------------------------------- read thread

int PlayHead::read_thread(void* arg)
{
    PlayHead* ph = static_cast<PlayHead*>(arg);
    tlsReadThreadOwner = ph;
    int ret;
    try {
        ret = ph->read_thread_local();
    } catch (const std::exception& e) {
        MsgToLog(L_DEBUG, "\n!!!!! C++ Exception in PlayHead::read_thread, what='%s' !!!!!\n\n", e.what());
        ret = -2;
    } catch (...) {
        MsgToLog(L_DEBUG, "\n!!!!! Unknown exception in PlayHead::read_thread !!!!!\n\n");
        ret = -3;
    }
    ph->is->setup_done = true;
    tlsReadThreadOwner = nullptr;
    return ret;
}

int PlayHead::read_thread_local()
{
    VideoState* vs = is;
    AVFormatContext* ic = nullptr;
    int err, ret = 0;
    int st_index[AVMEDIA_TYPE_NB];
    std::mutex wait_mutex;   // only for the timed waits on continue_read_thread
    bool scan_all_pmts_set = false;
    int readFailures = 0;
    const int port = svDev->portNum;
    AVPacket* pkt = nullptr;

    memset(st_index, -1, sizeof(st_index));
    vs->eof = 0;

    pkt = av_packet_alloc();
    if (!pkt) {
        MsgToLog(L_ERROR, "Port %i:%i : Could not allocate packet.\n", port, playHeadIndex);
        goto fail;
    }
    ic = avformat_alloc_context();
    if (!ic) {
        MsgToLog(L_ERROR, "Port %i:%i : Could not allocate context.\n", port, playHeadIndex);
        goto fail;
    }
    ic->interrupt_callback.callback = decode_interrupt_callback;
    ic->interrupt_callback.opaque = vs;
    if (!av_dict_get(format_opts, "scan_all_pmts", nullptr, AV_DICT_MATCH_CASE)) {
        av_dict_set(&format_opts, "scan_all_pmts", "1", AV_DICT_DONT_OVERWRITE);
        scan_all_pmts_set = true;
    }
    err = avformat_open_input(&ic, vs->filename, vs->iformat, &format_opts);
    // Removed whether the open worked or not: left behind after a failed open
    // it would make the next clip's open fail with "Option ... not found".
    if (scan_all_pmts_set) av_dict_set(&format_opts, "scan_all_pmts", nullptr, AV_DICT_MATCH_CASE);
    if (err < 0) {
        // An open cut short by stream_close is no failure of the file.
        if (!vs->abort_request) print_error(port, playHeadIndex, vs->filename, err);
        ic = nullptr;   // freed by the failed open
        goto fail;
    }
    {
        const AVDictionaryEntry* t = av_dict_get(format_opts, "", nullptr, AV_DICT_IGNORE_SUFFIX);
        if (t) {
            MsgToLog(L_ERROR, "Port %i:%i : Option %s not found.\n", port, playHeadIndex, t->key);
            av_dict_free(&format_opts);
            goto fail;
        }
    }
    vs->ic = ic;
    if (genpts) ic->flags |= AVFMT_FLAG_GENPTS;
    av_format_inject_global_side_data(ic);

    if (find_stream_info) {
        AVDictionary** opts = setup_find_stream_info_opts(ic, codec_opts);
        if (!opts) {
            MsgToLog(L_ERROR, "Port %i:%i : Cannot find stream options.\n", port, playHeadIndex);
            goto fail;
        }
        unsigned int orig_nb_streams = ic->nb_streams;
        err = avformat_find_stream_info(ic, opts);
        for (unsigned int i = 0; i < orig_nb_streams; i++) av_dict_free(&opts[i]);
        av_freep(&opts);
        if (err < 0)
            MsgToLog(L_WARN, "Port %i:%i : %s: could not find codec parameters\n", port, playHeadIndex, vs->filename);
    }

    if (ic->pb) ic->pb->eof_reached = 0;

    if (start_time != AV_NOPTS_VALUE) {
        int64_t timestamp = start_time;
        if (ic->start_time != AV_NOPTS_VALUE) timestamp += ic->start_time;
        if (avformat_seek_file(ic, -1, INT64_MIN, timestamp, INT64_MAX, 0) < 0)
            MsgToLog(L_WARN, "Port %i:%i : %s: could not seek to position %0.3f\n", port, playHeadIndex, vs->filename,
                     double(timestamp) / AV_TIME_BASE);
    }

    vs->realtime = is_realtime(ic);

    {
        // Delivery reads the stream choice and the audio format: make them
        // under readLock so it never sees them half made.
        ReadLock lk(readLock, std::defer_lock);
        if (!lock_read(lk)) goto fail;

        for (unsigned int i = 0; i < ic->nb_streams; i++) ic->streams[i]->discard = AVDISCARD_ALL;

        if (!video_disable)
            st_index[AVMEDIA_TYPE_VIDEO] =
                av_find_best_stream(ic, AVMEDIA_TYPE_VIDEO, st_index[AVMEDIA_TYPE_VIDEO], -1, nullptr, 0);

        vs->nb_audStreams = 0;
        if (!audio_disable) {
            for (unsigned int i = 0; i < ic->nb_streams && vs->nb_audStreams < MAX_AUDIO_STREAMS; i++) {
                if (ic->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO)
                    vs->audStreamsId[vs->nb_audStreams++] = int(i);
            }
        }
        if (vs->nb_audStreams > 1) {
            if (frame_queue_init(&vs->resSampQ, nullptr, SAMPLE_QUEUE_SIZE, 1) < 0) {
                frame_queue_destory(&vs->resSampQ);
                vs->nb_audStreams = 0;
            } else {
                vs->resSampQInited = true;
            }
        }

        if (vs->nb_audStreams > 0) {
            int n = vs->nb_audStreams;
            vs->audStreams = new AVStream*[n]();
            vs->audDecoders = new Decoder*[n]();
            vs->audQueues = new PacketQueue*[n]();
            vs->audSmpQueues = new FrameQueue*[n]();
            vs->audio_bufs = new uint8_t*[n]();
            vs->audio_buf_sizes = new unsigned int[n]();
            vs->audio_buf_indices = new int[n]();
            vs->audio_own_bufs = new uint8_t*[n]();
            vs->audio_own_sizes = new unsigned int[n]();

            AudioParams& tgt = vs->audio_tgt;
            tgt.fmt = svDev->audioFormat;
            tgt.freq = int(svDev->sampleRate);
            tgt.channels = n == 1 ? int(svDev->sChannels) : 1;
            AVChannelLayout layout;
            av_channel_layout_default(&layout, tgt.channels);
            tgt.channel_layout = layout.order == AV_CHANNEL_ORDER_NATIVE ? int64_t(layout.u.mask) : 0;
            av_channel_layout_uninit(&layout);
            tgt.frame_size = av_samples_get_buffer_size(nullptr, tgt.channels, 1, tgt.fmt, 1);
            tgt.bytes_per_sec = av_samples_get_buffer_size(nullptr, tgt.channels, tgt.freq, tgt.fmt, 1);
            if (tgt.frame_size <= 0 || tgt.bytes_per_sec <= 0) {
                MsgToLog(L_ERROR, "Port %i:%i : Cannot initialize Audio parameters.\n", port, playHeadIndex);
                // No slot was opened: the clip is left without audio.
                vs->audio_tgt = AudioParams();
                vs->nb_audStreams = 0;
                goto fail;
            }
            vs->audio_src = tgt;
            open_audio_streams();
        }

        ret = -1;
        if (st_index[AVMEDIA_TYPE_VIDEO] >= 0) ret = stream_component_open(st_index[AVMEDIA_TYPE_VIDEO]);

        if (vs->video_stream < 0 && vs->nb_audStreams == 0) {
            MsgToLog(L_ERROR, "Port %i:%i : Failed to open file '%s' or configure filtergraph.\n", port,
                     playHeadIndex, vs->filename);
            goto fail;
        }
        if (infinite_buffer < 0 && vs->realtime) infinite_buffer = 1;
        vs->setup_done = true;
    }

    for (;;) {
        if (vs->abort_request) break;
        if (vs->paused != vs->last_paused) {
            vs->last_paused = vs->paused;
            if (vs->last_paused)
                av_read_pause(ic);
            else
                av_read_play(ic);
        }

        if (vs->seek_req) {
            ReadLock lk(readLock, std::defer_lock);
            if (!lock_read(lk)) break;
            int64_t seek_target = vs->seek_pos;
            int64_t seek_min = vs->seek_rel > 0 ? seek_target - vs->seek_rel + 2 : INT64_MIN;
            int64_t seek_max = vs->seek_rel < 0 ? seek_target - vs->seek_rel - 2 : INT64_MAX;
            ret = avformat_seek_file(ic, -1, seek_min, seek_target, seek_max, vs->seek_flags);
            if (ret < 0) {
                MsgToLog(L_ERROR, "Port %i:%i :%s: error while seeking.\n", port, playHeadIndex, ic->url);
            } else if (waitForCue) {
                for (int i = 0; i < vs->nb_audStreams; i++) packet_queue_flush(vs->audQueues[i]);
                if (vs->subtitle_stream >= 0) packet_queue_flush(&vs->subtitleq);
                if (vs->video_stream >= 0) packet_queue_flush(&vs->videoq);
                // Audio left over from the old position must not follow the new cue.
                vs->audio_buf = nullptr;
                vs->audio_buf_size = 0;
                vs->audio_buf_index = 0;
            }
            vs->seek_req = 0;
            vs->eof = 0;
        }

        if (vs->queue_attachments_req) {
            if (vs->video_st && (vs->video_st->disposition & AV_DISPOSITION_ATTACHED_PIC)) {
                if (av_packet_ref(pkt, &vs->video_st->attached_pic) < 0) break;
                packet_queue_put(&vs->videoq, pkt);
                packet_queue_put_nullpacket(&vs->videoq, pkt, vs->video_stream);
            }
            vs->queue_attachments_req = 0;
        }

        bool full = infinite_buffer < 1 &&
                    audio_queue_size() + vs->videoq.size + vs->subtitleq.size > MAX_QUEUE_SIZE;

        // The cue checks run once the read-ahead is full, and also once the
        // whole input is read: a short clip or a short range must be cued
        // on its start frame as well.
        if (waitForCue && (full || vs->eof)) {
            ReadLock lk(readLock, std::defer_lock);
            if (!lock_read(lk)) break;
            bool done = waitForCue && cue_checks();
            if (done) {
                waitForCue = false;
                state = ph_Cued;
                if (vs->eof)
                    MsgToLog(L_DEBUG, "Port %i:%i : EOF - CUE DONE: %s\n", port, playHeadIndex, vs->filename);
                else
                    MsgToLog(L_DEBUG, "Port %i:%i : CUE DONE: %s\n", port, playHeadIndex, vs->filename);
            }
            lk.unlock();
            if (done) {
                svDev->ReportCueDone(playHeadIndex);
                continue;
            }
            if (full) {
                read_wait(wait_mutex, kReadWaitMs);
                continue;
            }
        } else if (full) {
            read_wait(wait_mutex, kReadWaitMs);
            continue;
        }

        // With audio, resSampQ is the one stream's sample queue or the set queue.
        if (!vs->paused &&
            (vs->nb_audStreams == 0 ||
             (audio_streams_finished() && frame_queue_nb_remaining(&vs->resSampQ) == 0)) &&
            (!vs->video_st ||
             (vs->viddec.finished == vs->videoq.serial && frame_queue_nb_remaining(&vs->pictq) == 0))) {
            if (loop != 1 && (!loop || --loop)) {
                avformat_seek_file(ic, -1, INT64_MIN, start_time != AV_NOPTS_VALUE ? start_time : 0, INT64_MAX, 0);
            } else if (autoexit) {
                ret = AVERROR_EOF;
                break;
            }
        }

        ret = av_read_frame(ic, pkt);
        if (ret < 0) {
            bool atEnd = ret == AVERROR_EOF || (ic->pb && avio_feof(ic->pb));
            if (!atEnd && !vs->eof && ++readFailures >= kMaxReadFailures) {
                print_error(port, playHeadIndex, vs->filename, ret);
                atEnd = true;
            }
            if (atEnd && !vs->eof) {
                queue_end_packets(pkt);
                vs->eof = 1;
            }
            if (ic->pb && ic->pb->error) break;
            read_wait(wait_mutex, kReadWaitMs);
            continue;
        }
        vs->eof = 0;
        readFailures = 0;

        AVStream* pst = ic->streams[pkt->stream_index];
        int64_t stream_start_time = pst->start_time;
        int64_t pkt_ts = pkt->pts == AV_NOPTS_VALUE ? pkt->dts : pkt->pts;
        bool pkt_in_play_range =
            duration == AV_NOPTS_VALUE ||
            double(pkt_ts - (stream_start_time != AV_NOPTS_VALUE ? stream_start_time : 0)) * av_q2d(pst->time_base) -
                    double(start_time != AV_NOPTS_VALUE ? start_time : 0) / 1000000 <=
                double(duration) / 1000000;
        if (!pkt_in_play_range) {
            av_packet_unref(pkt);
        } else if (pkt->stream_index == vs->video_stream && !(pst->disposition & AV_DISPOSITION_ATTACHED_PIC)) {
            packet_queue_put(&vs->videoq, pkt);
        } else if (pkt->stream_index == vs->subtitle_stream) {
            packet_queue_put(&vs->subtitleq, pkt);
        } else if (!put_audio_stream_packet(pkt->stream_index, pkt)) {
            av_packet_unref(pkt);
        }
    }

fail:
    if (ic && !vs->ic) avformat_close_input(&ic);
    av_packet_free(&pkt);
    return ret;
}

// ------------------------------------------------------------------ cue checks

namespace {
bool AtOrAfter(double pts, double start) { return std::fabs(pts - start) < kCueTolerance || pts > start; }
}  // namespace

bool PlayHead::cue_checks()
{
    bool video = cue_video_ready();
    bool audio = cue_audio_ready();
    return video && audio;
}

bool PlayHead::cue_video_ready()
{
    VideoState* vs = is;
    if (videoReady) return true;
    // A clip without pictures has nothing to wait for on this side.
    if (vs->video_stream < 0) return videoReady = true;
    while (frame_queue_nb_remaining(&vs->pictq) > 0) {
        Frame* vp = frame_queue_peek(&vs->pictq);
        bool current = vp->serial == vs->videoq.serial;
        // Without timestamps nothing can be judged; at the end of the input
        // such pictures are kept rather than all thrown away.
        if (current && (AtOrAfter(vp->pts, start_pts) || (vs->eof && std::isnan(vp->pts)))) return videoReady = true;
        frame_queue_next(&vs->pictq);
        vp->uploaded = 1;
    }
    // Everything decoded lay before the cue point: the clip is cued empty.
    if (vs->eof && vs->setup_done && video_ended()) return videoReady = true;
    return false;
}

bool PlayHead::cue_audio_ready()
{
    VideoState* vs = is;
    if (audioReady) return true;
    if (vs->nb_audStreams == 0) return audioReady = true;
    bool ready = true;
    bool dropped = false;
    for (int i = 0; i < vs->nb_audStreams; i++) {
        FrameQueue* f = vs->audSmpQueues[i];
        bool slotReady = false;
        while (frame_queue_nb_remaining(f) > 0) {
            Frame* af = frame_queue_peek(f);
            bool current = af->serial == vs->audQueues[i]->serial;
            if (current && (AtOrAfter(af->pts, start_pts) || (vs->eof && std::isnan(af->pts)))) {
                slotReady = true;
                break;
            }
            frame_queue_next(f);
            af->uploaded = 1;
            dropped = true;
        }
        if (!slotReady && vs->eof && audio_slot_ended(i)) slotReady = true;
        ready = ready && slotReady;
    }
    if (mix_audio) {
        // The set queue only counts complete sets; its entries carry the
        // last slot's time.
        FrameQueue* f = &vs->resSampQ;
        bool setReady = false;
        while (frame_queue_nb_remaining(f) > 0) {
            Frame* af = frame_queue_peek(f);
            bool current = af->serial == vs->audQueues[0]->serial;
            if (current && (AtOrAfter(af->pts, start_pts) || (vs->eof && std::isnan(af->pts)))) {
                setReady = true;
                break;
            }
            frame_queue_next(f);
            af->uploaded = 1;
        }
        if (!setReady && vs->eof) {
            bool allEnded = true;
            for (int i = 0; i < vs->nb_audStreams; i++) allEnded = allEnded && audio_slot_ended(i);
            setReady = allEnded;
        }
        ready = ready && setReady;
    }
    if (dropped) {
        // The block being delivered may borrow a frame just released, and
        // it lies before the cue point anyway.
        vs->audio_buf = nullptr;
        vs->audio_buf_size = 0;
        vs->audio_buf_index = 0;
    }
    return audioReady = ready;
}

// -------------------------------------------------------------- decode threads

int PlayHead::video_thread(void* arg)
{
    PlayHead* ph = static_cast<PlayHead*>(arg);
    int ret;
    try {
        ret = ph->video_thread_local();
    } catch (const std::exception& e) {
        MsgToLog(L_DEBUG, "\n!!!!! C++ Exception in PlayHead::video_thread, what='%s' !!!!!\n\n", e.what());
        ret = -2;
    } catch (...) {
        MsgToLog(L_DEBUG, "\n!!!!! Unknown exception in PlayHead::video_thread !!!!!\n\n");
        ret = -3;
    }
    ph->is->viddec.exited = true;
    return ret;
}

int PlayHead::audio_thread(void* arg)
{
    PlayHead* ph = static_cast<PlayHead*>(arg);
    int ret;
    try {
        ret = ph->audio_thread_local();
    } catch (const std::exception& e) {
        MsgToLog(L_DEBUG, "\n!!!!! C++ Exception in PlayHead::audio_thread, what='%s' !!!!!\n\n", e.what());
        ret = -2;
    } catch (...) {
        MsgToLog(L_DEBUG, "\n!!!!! Unknown exception in PlayHead::audio_thread !!!!!\n\n");
        ret = -3;
    }
    VideoState* vs = ph->is;
    for (int i = 0; i < vs->nb_audStreams; i++) vs->audDecoders[i]->exited = true;
    return ret;
}

int PlayHead::subtitle_thread(void* arg)
{
    PlayHead* ph = static_cast<PlayHead*>(arg);
    try {
        return ph->subtitle_thread_local();
    } catch (const std::exception& e) {
        MsgToLog(L_DEBUG, "\n!!!!! C++ Exception in PlayHead::subtitle_thread, what='%s' !!!!!\n\n", e.what());
        return -2;
    } catch (...) {
        MsgToLog(L_DEBUG, "\n!!!!! Unknown exception in PlayHead::subtitle_thread !!!!!\n\n");
        return -3;
    }
}

int PlayHead::subtitle_thread_local()
{
    // Subtitle streams are never selected; the thread would only drain its queue.
    AVPacket* pkt = av_packet_alloc();
    if (!pkt) return AVERROR(ENOMEM);
    int serial = 0;
    while (packet_queue_get(&is->subtitleq, pkt, 1, &serial) >= 0) av_packet_unref(pkt);
    av_packet_free(&pkt);
    return 0;
}

int PlayHead::video_thread_local()
{
    VideoState* vs = is;
    AVFrame* frame = av_frame_alloc();
    if (!frame) return AVERROR(ENOMEM);
    AVRational tb = vs->video_st->time_base;
    AVRational frame_rate = av_guess_frame_rate(vs->ic, vs->video_st, nullptr);

    for (;;) {
        int ret = decoder_decode_frame(&vs->viddec, frame, nullptr);
        if (ret < 0) break;
        if (!ret) continue;

        frame->sample_aspect_ratio = av_guess_sample_aspect_ratio(vs->ic, vs->video_st, frame);
        double duration = (frame_rate.num && frame_rate.den) ? av_q2d(AVRational{frame_rate.den, frame_rate.num}) : 0;
        double pts = (frame->pts == AV_NOPTS_VALUE) ? NAN : double(frame->pts) * av_q2d(tb);

        Frame* vp = frame_queue_peek_writable(&vs->pictq);
        if (!vp) break;
        vp->sar = frame->sample_aspect_ratio;
        vp->uploaded = 0;
        vp->width = frame->width;
        vp->height = frame->height;
        vp->format = frame->format;
        vp->pts = pts;
        vp->duration = duration;
        vp->pos = frame->pkt_pos;
        vp->serial = vs->viddec.pkt_serial;
        av_frame_move_ref(vp->frame, frame);
        frame_queue_push(&vs->pictq);
        av_frame_unref(frame);
    }
    av_frame_free(&frame);
    return 0;
}

int PlayHead::audio_thread_local()
{
    VideoState* vs = is;
    AVFrame* frame = av_frame_alloc();
    if (!frame) return AVERROR(ENOMEM);
    const int nb = vs->nb_audStreams;
    const int lastIndex = nb - 1;
    int failures;
    do {
        failures = 0;
        for (int i = 0; i < nb; i++) {
            Decoder* d = vs->audDecoders[i];
            int got = decoder_decode_frame(d, frame, nullptr);
            if (got < 0) {
                failures++;
                continue;
            }
            if (!got) continue;

            AVRational tb{1, frame->sample_rate > 0 ? frame->sample_rate : 1};
            Frame* af = frame_queue_peek_writable(vs->audSmpQueues[i]);
            if (!af) {
                av_frame_unref(frame);
                failures++;
                continue;
            }
            af->pts = (frame->pts == AV_NOPTS_VALUE) ? NAN : double(frame->pts) * av_q2d(tb);
            af->pos = frame->pkt_pos;
            af->serial = d->pkt_serial;
            af->duration = av_q2d(AVRational{frame->nb_samples, tb.den});
            af->uploaded = 0;
            double pts = af->pts;
            double dur = af->duration;
            int64_t pos = af->pos;
            av_frame_move_ref(af->frame, frame);
            frame_queue_push(vs->audSmpQueues[i]);

            if (mix_audio && i == lastIndex) {
                // A set entry holds no samples: it marks one more frame from every slot.
                Frame* res = frame_queue_peek_writable(&vs->resSampQ);
                if (!res) break;
                res->pts = pts;
                res->duration = dur;
                res->pos = pos;
                res->serial = d->pkt_serial;
                res->uploaded = 0;
                frame_queue_push(&vs->resSampQ);
            }
        }
    } while (failures < nb);
    av_frame_free(&frame);
    return 0;
}
