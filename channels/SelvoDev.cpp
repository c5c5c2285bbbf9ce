#include "channels/SelvoDev.h"

#include "board/Board.h"
#include "shell/Log.h"
#include "shell/Utility.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <cstring>

namespace {

AVSampleFormat GetFmtFromAlsa(snd_pcm_format_t format)
{
    switch (format) {
    case SND_PCM_FORMAT_U8: return AV_SAMPLE_FMT_U8;
    case SND_PCM_FORMAT_S16_LE: return AV_SAMPLE_FMT_S16;
    case SND_PCM_FORMAT_S32_LE: return AV_SAMPLE_FMT_S32;
    case SND_PCM_FORMAT_FLOAT_LE: return AV_SAMPLE_FMT_FLT;
    case SND_PCM_FORMAT_FLOAT64_LE: return AV_SAMPLE_FMT_DBL;
    default: return AV_SAMPLE_FMT_NONE;
    }
}

bool IsWholeFrameField(uint32_t field)
{
    return field == V4L2_FIELD_NONE || field == V4L2_FIELD_INTERLACED || field == V4L2_FIELD_SEQ_TB ||
           field == V4L2_FIELD_SEQ_BT;
}

}  // namespace

SelvoDev::SelvoDev() = default;

SelvoDev::~SelvoDev() { CloseDevice(); }

bool SelvoDev::OpenDevice(const char* name, bool input)
{
    Board& board = Board::Current();
    MsgToLog(L_DEBUG, "Opening device %s ...\n", name ? name : "(null)");
    if (!name) {
        MsgToLog(L_ERROR, "Cannot open video device: no device name provided.\n");
        return false;
    }
    struct stat st;
    if (board.Stat(name, &st) != 0) {
        MsgToLog(L_ERROR, "Video device %s is not accessible or does not exist.\n", name);
        return false;
    }
    if (!S_ISCHR(st.st_mode)) {
        MsgToLog(L_ERROR, "Wrong mode for video device: %s\n", name);
        return false;
    }
    int fd = board.Open(name, O_RDWR | O_NONBLOCK);
    if (fd < 0) {
        MsgToLog(L_ERROR, "Cannot open video device: %s\n", name);
        return false;
    }
    MsgToLog(L_DEBUG, "Video device %s opened.\n", name);

    if (!query_dev_caps(fd, input ? V4L2_CAP_VIDEO_CAPTURE : V4L2_CAP_VIDEO_OUTPUT)) {
        MsgToLog(L_ERROR, "Video device %s has wrong capabilities.\n", name);
        board.Close(fd);
        return false;
    }

    CloseDevice();
    bufType = input ? V4L2_BUF_TYPE_VIDEO_CAPTURE : V4L2_BUF_TYPE_VIDEO_OUTPUT;

    // From here on every failure drops the new descriptor and the audio objects.
    auto fail = [&]() {
        bufType = -1;
        board.Close(fd);
        if (audioDev) {
            board.PcmClose(audioDev);
            audioDev = nullptr;
        }
        if (audioHwParams) {
            board.HwParamsFree(audioHwParams);
            audioHwParams = nullptr;
        }
        if (audioStatus) {
            board.StatusFree(audioStatus);
            audioStatus = nullptr;
        }
        return false;
    };

    v4l2_format fmt;
    memset(&fmt, 0, sizeof(fmt));
    fmt.type = uint32_t(bufType);
    if (xioctl(fd, VIDIOC_G_FMT, &fmt) == -1) {
        MsgToLog(L_ERROR, "Cannot obtain video format for device %s\n", name);
        return fail();
    }
    v4l2_streamparm parm;
    memset(&parm, 0, sizeof(parm));
    parm.type = uint32_t(bufType);
    const v4l2_fract& tpf = input ? parm.parm.capture.timeperframe : parm.parm.output.timeperframe;
    // A driver that leaves the time per frame empty gives no frame rate to
    // pace or size the audio by; a zero here would divide by zero below.
    if (xioctl(fd, VIDIOC_G_PARM, &parm) == -1 || tpf.numerator == 0 || tpf.denominator == 0) {
        MsgToLog(L_ERROR, "Cannot obtain streaming parameters for device %s\n", name);
        return fail();
    }
    fWidth = fmt.fmt.pix.width;
    fHeight = fmt.fmt.pix.height;
    isProgressive = IsWholeFrameField(fmt.fmt.pix.field);
    frameRate = double(tpf.denominator) / double(tpf.numerator);

    // The board's sound card: the first card whose name begins "SV7".
    int card = -1;
    int cardIndex = -1;
    for (;;) {
        if (board.CardNext(&card) < 0) {
            MsgToLog(L_ERROR, "Error enumerating audio devices.\n");
            return fail();
        }
        if (card < 0) break;
        char* cardName = nullptr;
        if (board.CardGetName(card, &cardName) < 0 || !cardName) continue;
        bool found = strncmp(cardName, "SV7", 3) == 0;
        free(cardName);
        if (found) {
            cardIndex = card;
            break;
        }
    }
    if (cardIndex < 0) {
        MsgToLog(L_ERROR, "Cannot obtain SVxxxx card index.\n");
        return fail();
    }

    // The PCM device is the last digit of the node name (/dev/video12 -> 2).
    size_t len = strlen(name);
    char last = len ? name[len - 1] : '\0';
    int pcmDevice = (last >= '0' && last <= '9') ? last - '0' : 0;
    char pcmName[64];
    snprintf(pcmName, sizeof(pcmName), "hw:%i,%i", cardIndex, pcmDevice);

    if (board.PcmOpen(&audioDev, pcmName, input ? SND_PCM_STREAM_CAPTURE : SND_PCM_STREAM_PLAYBACK,
                      SND_PCM_NONBLOCK) < 0) {
        audioDev = nullptr;
        MsgToLog(L_ERROR, "Cannot open audio device %s\n", pcmName);
        return fail();
    }
    if (!AudioSetup()) {
        MsgToLog(L_ERROR, "Cannot setup audio device %s\n", pcmName);
        return fail();
    }
    MsgToLog(L_DEBUG, "Audio device %s opened.\n", pcmName);

    portDesc = fd;
    isInput = input;
    vidDevName = name;
    isOpened = true;
    MsgToLog(L_DEBUG, "Device %s : %s opened.\n", name, pcmName);
    return true;
}

bool SelvoDev::AudioSetup()
{
    Board& board = Board::Current();
    if (board.HwParamsMalloc(&audioHwParams) < 0) {
        audioHwParams = nullptr;
        MsgToLog(L_ERROR, "Cannot alloc audio hw params\n\n");
        return false;
    }
    if (board.StatusMalloc(&audioStatus) < 0) {
        audioStatus = nullptr;
        MsgToLog(L_ERROR, "Cannot alloc pcm status\n\n");
        return false;
    }
    if (board.HwParamsAny(audioDev, audioHwParams) < 0) {
        MsgToLog(L_ERROR, "Cannot get any hw params\n\n");
        return false;
    }
    if (board.HwParamsSetAccess(audioDev, audioHwParams, SND_PCM_ACCESS_RW_INTERLEAVED) < 0) {
        MsgToLog(L_ERROR, "Cannot set pcm access mode\n\n");
        return false;
    }
    samplesPerFrame = snd_pcm_uframes_t(double(sampleRate) / frameRate);
    int dir = 0;
    if (board.HwParamsSetPeriodSizeNear(audioDev, audioHwParams, &samplesPerFrame, &dir) < 0) {
        MsgToLog(L_ERROR, "Cannot set pcm period size\n\n");
        return false;
    }
    unsigned int periods = 4;
    dir = 0;
    if (board.HwParamsSetPeriodsNear(audioDev, audioHwParams, &periods, &dir) < 0) {
        MsgToLog(L_ERROR, "Cannot set pcm periods\n\n");
        return false;
    }
    if (board.HwParamsSetChannels(audioDev, audioHwParams, sChannels) < 0) {
        MsgToLog(L_ERROR, "Cannot set %i channels.\n\n", int(sChannels));
        return false;
    }
    if (board.HwParams(audioDev, audioHwParams) < 0) {
        MsgToLog(L_ERROR, "Cannot set hw params\n\n");
        return false;
    }

    snd_pcm_sw_params_t* sw = nullptr;
    if (board.SwParamsMalloc(&sw) < 0 || !sw) {
        MsgToLog(L_ERROR, "Cannot get sw params\n\n");
        return false;
    }
    bool swOk = false;
    if (board.SwParamsCurrent(audioDev, sw) < 0)
        MsgToLog(L_ERROR, "Cannot get sw params\n\n");
    else if (board.SwParamsSetTstampMode(audioDev, sw, SND_PCM_TSTAMP_ENABLE) < 0)
        MsgToLog(L_ERROR, "Cannot enable pcm timestamping\n\n");
    else if (board.SwParams(audioDev, sw) < 0)
        MsgToLog(L_ERROR, "Cannot set sw params\n\n");
    else
        swOk = true;
    board.SwParamsFree(sw);
    if (!swOk) return false;

    if (board.PcmPrepare(audioDev) < 0) MsgToLog(L_ERROR, "Cannot prepare pcm capture\n\n");

    snd_pcm_format_t format;
    if (board.HwParamsGetFormat(audioHwParams, &format) < 0) {
        MsgToLog(L_ERROR, "Cannot get pcm hw params\n\n");
        return false;
    }
    int width = snd_pcm_format_width(format);
    sampleSize = width > 0 ? sChannels * unsigned(width) / 8 : 0;
    audioFormat = GetFmtFromAlsa(format);
    return true;
}

size_t SelvoDev::PrepareDevice(std::vector<SvBuffer>& bufList, unsigned int imgBuffSize)
{
    if (portDesc < 0 || bufType < 0) return 0;
    Board& board = Board::Current();
    const char* name = vidDevName.c_str();
    bufList.clear();

    v4l2_requestbuffers req;
    memset(&req, 0, sizeof(req));
    req.count = 4;
    req.type = uint32_t(bufType);
    req.memory = V4L2_MEMORY_MMAP;
    if (xioctl(portDesc, VIDIOC_REQBUFS, &req) == -1) return 0;

    for (unsigned i = 0; i < req.count; ++i) {
        v4l2_buffer buf;
        memset(&buf, 0, sizeof(buf));
        buf.type = uint32_t(bufType);
        buf.memory = V4L2_MEMORY_MMAP;
        buf.index = i;
        if (xioctl(portDesc, VIDIOC_QUERYBUF, &buf) == -1) {
            MsgToLog(L_ERROR, "Device %s buffer %u VIDIOC_QUERYBUF error.\n", name, i);
            break;
        }
        // The device threads copy a whole picture into every buffer; a shorter
        // buffer would be overrun.
        if (buf.length < imgBuffSize) {
            MsgToLog(L_ERROR, "Device %s buffer %u is too short for a picture (%u of %u bytes).\n", name, i,
                     buf.length, imgBuffSize);
            break;
        }
        void* start = board.Mmap(nullptr, buf.length, PROT_READ | PROT_WRITE, MAP_SHARED, portDesc, buf.m.offset);
        if (start == MAP_FAILED) {
            MsgToLog(L_ERROR, "Device %s buffer %u MMAP failed.\n", name, i);
            break;
        }
        bufList.push_back(SvBuffer{int(i), start, buf.length});
    }
    if (bufList.empty()) {
        MsgToLog(L_ERROR, "Device %s: Cannot obtain device buffers.\n", name);
        CleanDevice(bufList);
        return 0;
    }

    for (const SvBuffer& b : bufList) {
        memset(b.start, 0, imgBuffSize);
        v4l2_buffer buf;
        memset(&buf, 0, sizeof(buf));
        buf.type = uint32_t(bufType);
        buf.memory = V4L2_MEMORY_MMAP;
        buf.index = uint32_t(b.index);
        buf.bytesused = imgBuffSize;
        if (xioctl(portDesc, VIDIOC_QBUF, &buf) == -1) {
            MsgToLog(L_ERROR, "Device %s: VIDIOC_QBUF error: %i\n", name, errno);
            CleanDevice(bufList);
            return 0;
        }
    }
    MsgToLog(L_DEBUG, "Device %s: Device buffers (%i) successfully mapped.\n", name, int(bufList.size()));
    MsgToLog(L_DEBUG, "Device %s: portId=%d START !!!\n", name, portDesc);

    int type = bufType;
    if (xioctl(portDesc, VIDIOC_STREAMON, &type) == -1) {
        MsgToLog(L_ERROR, "Device %s: Cannot enable streaming. Error %i\n", name, errno);
        CleanDevice(bufList);
        return 0;
    }
    streamOn = true;
    MsgToLog(L_DEBUG, "Device %s: Streaming enabled.\n", name);
    return bufList.size();
}

bool SelvoDev::CleanDevice(std::vector<SvBuffer>& bufList)
{
    Board& board = Board::Current();
    const char* name = vidDevName.c_str();
    if (streamOn) {
        MsgToLog(L_DEBUG, "Device %s: portId=%d FINISH !!!\n", name, portDesc);
        int type = bufType;
        if (xioctl(portDesc, VIDIOC_STREAMOFF, &type) == -1)
            MsgToLog(L_ERROR, "Device %s: Cannot stop streaming for device %s. Error %i\n", name, name, errno);
        else
            MsgToLog(L_DEBUG, "Device %s: Streaming disabled.\n", name);
    }
    streamOn = false;
    if (bufList.empty()) return false;
    for (size_t i = 0; i < bufList.size(); ++i) {
        if (board.Munmap(bufList[i].start, bufList[i].length) == -1)
            MsgToLog(L_ERROR, "Device %s: Cannot unmap buffer %u. Error %i\n", name, unsigned(i), errno);
    }
    bufList.clear();
    MsgToLog(L_DEBUG, "Device %s: Video buffers unmapped.\n", name);
    return true;
}

void SelvoDev::CloseDevice()
{
    Board& board = Board::Current();
    bufType = -1;
    if (portDesc >= 0) {
        board.Close(portDesc);
        MsgToLog(L_DEBUG, "Device %s descriptor closed.\n", vidDevName.c_str());
        portDesc = -1;
    }
    if (audioDev) {
        board.PcmClose(audioDev);
        MsgToLog(L_DEBUG, "Port %s audio device closed.\n", vidDevName.c_str());
        audioDev = nullptr;
    }
    if (audioHwParams) {
        board.HwParamsFree(audioHwParams);
        audioHwParams = nullptr;
    }
    if (audioStatus) {
        board.StatusFree(audioStatus);
        audioStatus = nullptr;
    }
    vidDevName.clear();
    isOpened = false;
}

int SelvoDev::WaitAndDequeue(v4l2_buffer& buf, int timeoutMs)
{
    Board& board = Board::Current();
    fd_set set;
    FD_ZERO(&set);
    FD_SET(portDesc, &set);
    timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    const int r = isInput ? board.Select(portDesc + 1, &set, nullptr, nullptr, &tv)
                          : board.Select(portDesc + 1, nullptr, &set, nullptr, &tv);
    if (r == 0) return 0;
    if (r < 0 && errno == EINTR) return -1;
    memset(&buf, 0, sizeof(buf));
    buf.type = uint32_t(bufType);
    buf.memory = V4L2_MEMORY_MMAP;
    return xioctl(portDesc, VIDIOC_DQBUF, &buf) == -1 ? -1 : 1;
}

bool SelvoDev::QueuePicture(v4l2_buffer& buf, const std::vector<SvBuffer>& bufList, const uint8_t* picture,
                            size_t bytes)
{
    if (picture && buf.index < bufList.size()) {
        const SvBuffer& target = bufList[buf.index];
        memcpy(target.start, picture, bytes < target.length ? bytes : target.length);
        buf.bytesused = uint32_t(bytes);
    }
    return xioctl(portDesc, VIDIOC_QBUF, &buf) != -1;
}

snd_pcm_sframes_t SelvoDev::WriteAudioFrame(const void* audio)
{
    Board& board = Board::Current();
    snd_pcm_sframes_t w = board.PcmWritei(audioDev, audio, samplesPerFrame);
    if (w == -EPIPE && board.PcmPrepare(audioDev) == 0) w = board.PcmWritei(audioDev, audio, samplesPerFrame);
    return w;
}
