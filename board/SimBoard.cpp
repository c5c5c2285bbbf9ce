#include "board/SimBoard.h"

#include <errno.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>

SimBoard::SimBoard(const SimBoardConfig& cfg) : config(cfg) {}

SimBoard::~SimBoard()
{
    std::lock_guard<std::mutex> lk(mtx);
    for (auto& f : files) ::close(f.first);
    files.clear();
}

std::string SimBoard::OutputNode(int index) const { return "/dev/video" + std::to_string(index); }
std::string SimBoard::InputNode(int index) const { return "/dev/video" + std::to_string(config.outputs + index); }

void SimBoard::RemoveNode(int nodeNumber)
{
    std::lock_guard<std::mutex> lk(mtx);
    removedNodes.insert(nodeNumber);
}

int SimBoard::NodeOf(const char* path) const
{
    static const char prefix[] = "/dev/video";
    if (!path || strncmp(path, prefix, sizeof(prefix) - 1) != 0) return -1;
    const char* digits = path + sizeof(prefix) - 1;
    if (*digits == '\0') return -1;
    int n = 0;
    for (const char* p = digits; *p; ++p) {
        if (*p < '0' || *p > '9' || n > 1000) return -1;
        n = n * 10 + (*p - '0');
    }
    if (n >= config.outputs + config.inputs || removedNodes.count(n)) return -1;
    return n;
}

int SimBoard::Stat(const char* path, struct stat* st)
{
    std::lock_guard<std::mutex> lk(mtx);
    if (NodeOf(path) < 0) {
        errno = ENOENT;
        return -1;
    }
    memset(st, 0, sizeof(*st));
    st->st_mode = S_IFCHR | 0660;
    return 0;
}

int SimBoard::Open(const char* path, int /*flags*/)
{
    std::lock_guard<std::mutex> lk(mtx);
    int node = NodeOf(path);
    if (node < 0) {
        errno = ENOENT;
        return -1;
    }
    int fd = memfd_create("simboard-video", MFD_CLOEXEC);
    if (fd < 0) return -1;
    files[fd].node = node;
    return fd;
}

int SimBoard::Close(int fd)
{
    std::lock_guard<std::mutex> lk(mtx);
    auto it = files.find(fd);
    if (it == files.end()) {
        errno = EBADF;
        return -1;
    }
    files.erase(it);
    return ::close(fd);
}

int SimBoard::Ioctl(int fd, unsigned long request, void* arg)
{
    std::lock_guard<std::mutex> lk(mtx);
    auto it = files.find(fd);
    if (it == files.end()) {
        errno = EBADF;
        return -1;
    }
    const int node = it->second.node;
    const bool output = IsOutput(node);
    switch (request) {
    case VIDIOC_QUERYCAP: {
        auto* cap = static_cast<v4l2_capability*>(arg);
        memset(cap, 0, sizeof(*cap));
        snprintf(reinterpret_cast<char*>(cap->driver), sizeof(cap->driver), "simboard");
        snprintf(reinterpret_cast<char*>(cap->card), sizeof(cap->card), "SV7 simulated channel %d", node);
        snprintf(reinterpret_cast<char*>(cap->bus_info), sizeof(cap->bus_info), "sim:%d", node);
        cap->version = 0x050a00;
        cap->device_caps = (output ? V4L2_CAP_VIDEO_OUTPUT : V4L2_CAP_VIDEO_CAPTURE) | V4L2_CAP_STREAMING;
        cap->capabilities = cap->device_caps | V4L2_CAP_DEVICE_CAPS;
        return 0;
    }
    default:
        errno = ENOTTY;
        return -1;
    }
}

void* SimBoard::Mmap(void*, size_t, int, int, int, off_t)
{
    errno = EINVAL;
    return MAP_FAILED;
}
int SimBoard::Munmap(void*, size_t)
{
    errno = EINVAL;
    return -1;
}
int SimBoard::Select(int, fd_set*, fd_set*, fd_set*, struct timeval*)
{
    errno = EINVAL;
    return -1;
}

int SimBoard::CardNext(int* card)
{
    *card = -1;
    return 0;
}
int SimBoard::CardGetName(int, char**) { return -ENODEV; }
int SimBoard::PcmOpen(snd_pcm_t**, const char*, snd_pcm_stream_t, int) { return -ENODEV; }
int SimBoard::PcmClose(snd_pcm_t*) { return -EBADFD; }
int SimBoard::PcmPrepare(snd_pcm_t*) { return -EBADFD; }
snd_pcm_sframes_t SimBoard::PcmWritei(snd_pcm_t*, const void*, snd_pcm_uframes_t) { return -EBADFD; }
snd_pcm_sframes_t SimBoard::PcmReadi(snd_pcm_t*, void*, snd_pcm_uframes_t) { return -EBADFD; }
int SimBoard::HwParamsMalloc(snd_pcm_hw_params_t**) { return -ENOMEM; }
void SimBoard::HwParamsFree(snd_pcm_hw_params_t*) {}
int SimBoard::HwParamsAny(snd_pcm_t*, snd_pcm_hw_params_t*) { return -EBADFD; }
int SimBoard::HwParamsSetAccess(snd_pcm_t*, snd_pcm_hw_params_t*, snd_pcm_access_t) { return -EBADFD; }
int SimBoard::HwParamsSetPeriodSizeNear(snd_pcm_t*, snd_pcm_hw_params_t*, snd_pcm_uframes_t*, int*) { return -EBADFD; }
int SimBoard::HwParamsSetPeriodsNear(snd_pcm_t*, snd_pcm_hw_params_t*, unsigned int*, int*) { return -EBADFD; }
int SimBoard::HwParamsSetChannels(snd_pcm_t*, snd_pcm_hw_params_t*, unsigned int) { return -EBADFD; }
int SimBoard::HwParams(snd_pcm_t*, snd_pcm_hw_params_t*) { return -EBADFD; }
int SimBoard::HwParamsGetFormat(const snd_pcm_hw_params_t*, snd_pcm_format_t*) { return -EBADFD; }
int SimBoard::SwParamsMalloc(snd_pcm_sw_params_t**) { return -ENOMEM; }
void SimBoard::SwParamsFree(snd_pcm_sw_params_t*) {}
int SimBoard::SwParamsCurrent(snd_pcm_t*, snd_pcm_sw_params_t*) { return -EBADFD; }
int SimBoard::SwParamsSetTstampMode(snd_pcm_t*, snd_pcm_sw_params_t*, snd_pcm_tstamp_t) { return -EBADFD; }
int SimBoard::SwParams(snd_pcm_t*, snd_pcm_sw_params_t*) { return -EBADFD; }
int SimBoard::StatusMalloc(snd_pcm_status_t**) { return -ENOMEM; }
void SimBoard::StatusFree(snd_pcm_status_t*) {}
