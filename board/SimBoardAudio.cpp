// SimBoard: the sound card. The ALSA handle and parameter types are opaque to
// the caller; behind them stand this board's own objects.
#include "board/SimBoard.h"

#include <errno.h>
#include <string.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr snd_pcm_uframes_t kMinPeriod = 64;
constexpr snd_pcm_uframes_t kMaxPeriod = 16384;
constexpr unsigned kMinPeriods = 2;
constexpr unsigned kMaxPeriods = 8;
// Used when the application installs parameters without choosing these.
constexpr snd_pcm_uframes_t kDefaultPeriod = 1024;
constexpr unsigned kDefaultPeriods = 4;

constexpr const char* kOnboardCardName = "Onboard Audio";
constexpr const char* kBoardCardName = "SV7 Simulated Video Board";

// The capture test tone: 1 kHz at -20 dBFS (peak 0.1 of full scale).
constexpr double kToneHz = 1000.0;
constexpr double kTonePeak = 0.1 * 2147483647.0;

struct HwParamsObj {
    bool filled = false;   // set by HwParamsAny: the device's whole configuration space
    snd_pcm_uframes_t periodSize = 0;
    unsigned periods = 0;
};

struct SwParamsObj {
    bool filled = false;
    snd_pcm_tstamp_t tstamp = SND_PCM_TSTAMP_NONE;
};

struct StatusObj {
    snd_pcm_state_t state = SND_PCM_STATE_OPEN;
};

// The board's own parameter object behind `params`, or null.
HwParamsObj* FindHw(const std::set<void*>& registry, std::mutex& mtx, const snd_pcm_hw_params_t* params)
{
    void* p = const_cast<snd_pcm_hw_params_t*>(params);
    std::lock_guard<std::mutex> lk(mtx);
    return registry.count(p) ? static_cast<HwParamsObj*>(p) : nullptr;
}

}  // namespace

void SimBoard::ReleaseAudio()
{
    std::lock_guard<std::mutex> lk(boardMtx);
    for (Substream* p : pcms) delete p;
    pcms.clear();
    for (void* p : hwParams) delete static_cast<HwParamsObj*>(p);
    hwParams.clear();
    for (void* p : swParams) delete static_cast<SwParamsObj*>(p);
    swParams.clear();
    for (void* p : statuses) delete static_cast<StatusObj*>(p);
    statuses.clear();
}

SimBoard::Substream* SimBoard::LookupPcm(snd_pcm_t* handle) const
{
    std::lock_guard<std::mutex> lk(boardMtx);
    Substream* p = reinterpret_cast<Substream*>(handle);
    return pcms.count(p) ? p : nullptr;
}

bool SimBoard::PcmFaulted(int device, PcmOp op, int& err) const
{
    std::lock_guard<std::mutex> lk(boardMtx);
    auto it = pcmFaults.find(std::make_pair(device, op));
    if (it == pcmFaults.end()) return false;
    err = it->second;
    return true;
}

void SimBoard::InjectPcmFault(int device, PcmOp op, int err)
{
    std::lock_guard<std::mutex> lk(boardMtx);
    pcmFaults[std::make_pair(device, op)] = err < 0 ? err : -err;
}

void SimBoard::ClearPcmFaults()
{
    std::lock_guard<std::mutex> lk(boardMtx);
    pcmFaults.clear();
}

void SimBoard::SetSoundCardPresent(bool present)
{
    std::lock_guard<std::mutex> lk(boardMtx);
    cardPresent = present;
}

void SimBoard::SetGrantedPeriodSize(snd_pcm_uframes_t frames)
{
    std::lock_guard<std::mutex> lk(boardMtx);
    grantedPeriodSize = frames;
}

SimBoard::PcmInfo SimBoard::PcmOf(int node) const
{
    PcmInfo info;
    if (node < 0 || node >= NodeCount()) return info;
    Node& n = NodeAt(node);
    std::lock_guard<std::mutex> lk(n.mtx);
    if (!n.pcm) return info;
    info.open = true;
    info.device = n.pcm->device;
    info.requestedPeriodSize = n.pcm->requestedPeriodSize;
    info.periodSize = n.pcm->periodSize;
    info.periods = n.pcm->periods;
    info.channels = n.pcm->channels;
    info.state = n.pcm->state;
    return info;
}

// ---- cards ----

int SimBoard::CardNext(int* card)
{
    if (!card) return -EINVAL;
    std::lock_guard<std::mutex> lk(boardMtx);
    if (*card < 0)
        *card = 0;
    else if (*card == 0 && cardPresent)
        *card = kSv7Card;
    else
        *card = -1;
    return 0;
}

int SimBoard::CardGetName(int card, char** name)
{
    if (!name) return -EINVAL;
    const char* text = nullptr;
    {
        std::lock_guard<std::mutex> lk(boardMtx);
        if (card == 0)
            text = kOnboardCardName;
        else if (card == kSv7Card && cardPresent)
            text = kBoardCardName;
    }
    if (!text) return -ENOENT;
    *name = strdup(text);
    return *name ? 0 : -ENOMEM;
}

// ---- PCM handles ----

int SimBoard::PcmOpen(snd_pcm_t** handle, const char* name, snd_pcm_stream_t stream, int /*mode*/)
{
    if (!handle || !name) return -EINVAL;
    int card = -1, device = -1, used = 0;
    if (sscanf(name, "hw:%d,%d%n", &card, &device, &used) != 2 || name[used] != '\0' || device < 0 || device > 9)
        return -ENOENT;
    {
        std::lock_guard<std::mutex> lk(boardMtx);
        if (card != kSv7Card || !cardPresent) return -ENOENT;
    }
    int err = 0;
    if (PcmFaulted(device, PcmOp::Open, err)) return err;

    // The node this substream is the audio of: of the nodes ending in this
    // digit and of this direction, the free one opened most recently.
    const bool playback = stream == SND_PCM_STREAM_PLAYBACK;
    bool exists = false;
    for (;;) {
        Node* best = nullptr;
        uint64_t bestSeq = 0;
        for (auto& np : nodes) {
            Node& n = *np;
            if (n.number % 10 != device || n.output != playback) continue;
            exists = true;
            std::lock_guard<std::mutex> lk(n.mtx);
            if (n.pcm) continue;
            if (!best || n.openSeq > bestSeq) {
                best = &n;
                bestSeq = n.openSeq;
            }
        }
        if (!exists) return -ENOENT;
        if (!best) return -EBUSY;
        std::lock_guard<std::mutex> lk(best->mtx);
        if (best->pcm) continue;   // taken meanwhile: choose again
        Substream* p = new Substream();
        p->device = device;
        p->stream = stream;
        p->node = best->number;
        best->pcm = p;
        {
            std::lock_guard<std::mutex> blk(boardMtx);
            pcms.insert(p);
        }
        *handle = reinterpret_cast<snd_pcm_t*>(p);
        return 0;
    }
}

int SimBoard::PcmClose(snd_pcm_t* handle)
{
    Substream* p = reinterpret_cast<Substream*>(handle);
    {
        std::lock_guard<std::mutex> lk(boardMtx);
        if (!pcms.erase(p)) return -EBADFD;
    }
    Node& node = NodeAt(p->node);
    {
        std::lock_guard<std::mutex> lk(node.mtx);
        if (node.pcm == p) node.pcm = nullptr;
    }
    delete p;
    return 0;
}

int SimBoard::PcmPrepare(snd_pcm_t* handle)
{
    Substream* p = LookupPcm(handle);
    if (!p) return -EBADFD;
    int err = 0;
    if (PcmFaulted(p->device, PcmOp::Prepare, err)) return err;
    Node& node = NodeAt(p->node);
    std::lock_guard<std::mutex> lk(node.mtx);
    if (p->state == SND_PCM_STATE_OPEN) return -EBADFD;
    p->state = SND_PCM_STATE_PREPARED;
    p->head = 0;
    p->fill = 0;
    p->startTagSet = false;
    return 0;
}

snd_pcm_sframes_t SimBoard::PcmWritei(snd_pcm_t* handle, const void* buffer, snd_pcm_uframes_t size)
{
    Substream* p = LookupPcm(handle);
    if (!p || p->stream != SND_PCM_STREAM_PLAYBACK) return -EBADFD;
    Node& node = NodeAt(p->node);
    std::lock_guard<std::mutex> lk(node.mtx);
    switch (p->state) {
    case SND_PCM_STATE_PREPARED:
    case SND_PCM_STATE_RUNNING: break;
    case SND_PCM_STATE_XRUN: return -EPIPE;
    default: return -EBADFD;
    }
    if (size == 0) return 0;
    if (!buffer) return -EFAULT;
    const size_t cap = p->Capacity();
    const size_t avail = cap - p->fill;
    if (avail == 0) return -EAGAIN;
    const size_t n = std::min<size_t>(avail, size);
    if (p->state == SND_PCM_STATE_PREPARED && !p->startTagSet) {
        // The picture this sound goes with is the one queued last.
        p->startTag = node.queueSeq;
        p->startTagSet = true;
    }
    const int32_t* src = static_cast<const int32_t*>(buffer);
    size_t pos = (p->head + p->fill) % cap;
    for (size_t done = 0; done < n;) {
        const size_t chunk = std::min(n - done, cap - pos);
        memcpy(&p->ring[pos * p->channels], src + done * p->channels, chunk * p->channels * sizeof(int32_t));
        done += chunk;
        pos = (pos + chunk) % cap;
    }
    p->fill += n;
    return snd_pcm_sframes_t(n);
}

snd_pcm_sframes_t SimBoard::PcmReadi(snd_pcm_t* handle, void* buffer, snd_pcm_uframes_t size)
{
    Substream* p = LookupPcm(handle);
    if (!p || p->stream != SND_PCM_STREAM_CAPTURE) return -EBADFD;
    Node& node = NodeAt(p->node);
    std::lock_guard<std::mutex> lk(node.mtx);
    switch (p->state) {
    case SND_PCM_STATE_PREPARED: p->state = SND_PCM_STATE_RUNNING; break;   // capture starts with the first read
    case SND_PCM_STATE_RUNNING: break;
    case SND_PCM_STATE_XRUN: return -EPIPE;
    default: return -EBADFD;
    }
    if (size == 0) return 0;
    if (!buffer) return -EFAULT;
    if (p->fill == 0) return -EAGAIN;
    const size_t cap = p->Capacity();
    const size_t n = std::min<size_t>(p->fill, size);
    int32_t* dst = static_cast<int32_t*>(buffer);
    for (size_t done = 0; done < n;) {
        const size_t chunk = std::min(n - done, cap - p->head);
        memcpy(dst + done * p->channels, &p->ring[p->head * p->channels], chunk * p->channels * sizeof(int32_t));
        done += chunk;
        p->head = (p->head + chunk) % cap;
    }
    p->fill -= n;
    return snd_pcm_sframes_t(n);
}

// ---- what the clocks do with the sound ----

bool SimBoard::PlayPeriod(Node& node, std::vector<int32_t>& out, size_t& frames)
{
    Substream* p = node.pcm;
    if (!p || p->stream != SND_PCM_STREAM_PLAYBACK || p->periodSize == 0) {
        frames = 0;
        out.clear();
        return false;
    }
    frames = p->periodSize;
    out.assign(frames * p->channels, 0);
    if (p->state == SND_PCM_STATE_PREPARED && p->fill > 0) {
        const uint64_t onAirSeq = node.onAir >= 0 ? node.bufs[size_t(node.onAir)].queueSeq : 0;
        if (onAirSeq >= p->startTag) p->state = SND_PCM_STATE_RUNNING;
    }
    if (p->state != SND_PCM_STATE_RUNNING) return false;
    const size_t cap = p->Capacity();
    const size_t take = std::min(p->fill, frames);
    for (size_t done = 0; done < take;) {
        const size_t chunk = std::min(take - done, cap - p->head);
        memcpy(&out[done * p->channels], &p->ring[p->head * p->channels], chunk * p->channels * sizeof(int32_t));
        done += chunk;
        p->head = (p->head + chunk) % cap;
    }
    p->fill -= take;
    if (take < frames) {
        // Underrun: what was left has played; the stream stops until prepared.
        p->state = SND_PCM_STATE_XRUN;
        p->fill = 0;
        ++node.stats.audioUnderruns;
        return false;
    }
    return true;
}

void SimBoard::CapturePeriodAudio(Node& node)
{
    Substream* p = node.pcm;
    if (!p || p->stream != SND_PCM_STREAM_CAPTURE || p->state != SND_PCM_STATE_RUNNING) return;
    const size_t cap = p->Capacity();
    if (cap - p->fill < p->periodSize) {
        // Overrun: nobody read in time; the stream stops until prepared.
        p->state = SND_PCM_STATE_XRUN;
        return;
    }
    size_t pos = (p->head + p->fill) % cap;
    for (size_t i = 0; i < p->periodSize; ++i) {
        const double phase = 2.0 * M_PI * kToneHz * double(p->toneFrame++ % kRate) / double(kRate);
        const int32_t v = int32_t(std::lround(kTonePeak * std::sin(phase)));
        for (unsigned c = 0; c < p->channels; ++c) p->ring[pos * p->channels + c] = v;
        pos = (pos + 1) % cap;
    }
    p->fill += p->periodSize;
}

// ---- hardware parameters ----

int SimBoard::HwParamsMalloc(snd_pcm_hw_params_t** params)
{
    if (!params) return -EINVAL;
    HwParamsObj* obj = new HwParamsObj();
    std::lock_guard<std::mutex> lk(boardMtx);
    hwParams.insert(obj);
    *params = reinterpret_cast<snd_pcm_hw_params_t*>(obj);
    return 0;
}

void SimBoard::HwParamsFree(snd_pcm_hw_params_t* params)
{
    {
        std::lock_guard<std::mutex> lk(boardMtx);
        if (!hwParams.erase(params)) return;
    }
    delete reinterpret_cast<HwParamsObj*>(params);
}

int SimBoard::HwParamsAny(snd_pcm_t* handle, snd_pcm_hw_params_t* params)
{
    if (!LookupPcm(handle)) return -EBADFD;
    HwParamsObj* hw = FindHw(hwParams, boardMtx, params);
    if (!hw) return -EINVAL;
    *hw = HwParamsObj();
    hw->filled = true;
    return 0;
}

int SimBoard::HwParamsSetAccess(snd_pcm_t* handle, snd_pcm_hw_params_t* params, snd_pcm_access_t access)
{
    if (!LookupPcm(handle)) return -EBADFD;
    HwParamsObj* hw = FindHw(hwParams, boardMtx, params);
    if (!hw || !hw->filled) return -EINVAL;
    return access == SND_PCM_ACCESS_RW_INTERLEAVED ? 0 : -EINVAL;
}

int SimBoard::HwParamsSetPeriodSizeNear(snd_pcm_t* handle, snd_pcm_hw_params_t* params, snd_pcm_uframes_t* val,
                                        int* dir)
{
    Substream* p = LookupPcm(handle);
    if (!p) return -EBADFD;
    HwParamsObj* hw = FindHw(hwParams, boardMtx, params);
    if (!hw || !hw->filled || !val) return -EINVAL;
    snd_pcm_uframes_t granted;
    {
        std::lock_guard<std::mutex> lk(boardMtx);
        granted = grantedPeriodSize ? grantedPeriodSize : std::min(std::max(*val, kMinPeriod), kMaxPeriod);
    }
    {
        std::lock_guard<std::mutex> lk(NodeAt(p->node).mtx);
        p->requestedPeriodSize = *val;
    }
    hw->periodSize = granted;
    *val = granted;
    if (dir) *dir = 0;
    return 0;
}

int SimBoard::HwParamsSetPeriodsNear(snd_pcm_t* handle, snd_pcm_hw_params_t* params, unsigned int* val, int* dir)
{
    if (!LookupPcm(handle)) return -EBADFD;
    HwParamsObj* hw = FindHw(hwParams, boardMtx, params);
    if (!hw || !hw->filled || !val) return -EINVAL;
    *val = std::min(std::max(*val, kMinPeriods), kMaxPeriods);
    hw->periods = *val;
    if (dir) *dir = 0;
    return 0;
}

int SimBoard::HwParamsSetChannels(snd_pcm_t* handle, snd_pcm_hw_params_t* params, unsigned int val)
{
    if (!LookupPcm(handle)) return -EBADFD;
    HwParamsObj* hw = FindHw(hwParams, boardMtx, params);
    if (!hw || !hw->filled) return -EINVAL;
    return val == kChannels ? 0 : -EINVAL;
}

int SimBoard::HwParams(snd_pcm_t* handle, snd_pcm_hw_params_t* params)
{
    Substream* p = LookupPcm(handle);
    if (!p) return -EBADFD;
    HwParamsObj* hw = FindHw(hwParams, boardMtx, params);
    if (!hw || !hw->filled) return -EINVAL;
    int err = 0;
    if (PcmFaulted(p->device, PcmOp::HwParams, err)) return err;
    std::lock_guard<std::mutex> lk(NodeAt(p->node).mtx);
    if (p->state == SND_PCM_STATE_RUNNING) return -EBADFD;
    p->periodSize = hw->periodSize ? hw->periodSize : kDefaultPeriod;
    p->periods = hw->periods ? hw->periods : kDefaultPeriods;
    p->channels = kChannels;
    p->ring.assign(p->Capacity() * p->channels, 0);
    p->head = 0;
    p->fill = 0;
    p->startTagSet = false;
    p->state = SND_PCM_STATE_SETUP;
    // The installed parameters are the fixed configuration.
    hw->periodSize = p->periodSize;
    hw->periods = p->periods;
    return 0;
}

int SimBoard::HwParamsGetFormat(const snd_pcm_hw_params_t* params, snd_pcm_format_t* format)
{
    HwParamsObj* hw = FindHw(hwParams, boardMtx, params);
    if (!hw || !hw->filled || !format) return -EINVAL;
    // The device has one format, so any configuration of it fixes the format.
    *format = kFormat;
    return 0;
}

// ---- software parameters and status ----

int SimBoard::SwParamsMalloc(snd_pcm_sw_params_t** params)
{
    if (!params) return -EINVAL;
    SwParamsObj* obj = new SwParamsObj();
    std::lock_guard<std::mutex> lk(boardMtx);
    swParams.insert(obj);
    *params = reinterpret_cast<snd_pcm_sw_params_t*>(obj);
    return 0;
}

void SimBoard::SwParamsFree(snd_pcm_sw_params_t* params)
{
    {
        std::lock_guard<std::mutex> lk(boardMtx);
        if (!swParams.erase(params)) return;
    }
    delete reinterpret_cast<SwParamsObj*>(params);
}

int SimBoard::SwParamsCurrent(snd_pcm_t* handle, snd_pcm_sw_params_t* params)
{
    Substream* p = LookupPcm(handle);
    if (!p) return -EBADFD;
    SwParamsObj* sw = nullptr;
    {
        std::lock_guard<std::mutex> lk(boardMtx);
        if (swParams.count(params)) sw = reinterpret_cast<SwParamsObj*>(params);
    }
    if (!sw) return -EINVAL;
    std::lock_guard<std::mutex> lk(NodeAt(p->node).mtx);
    if (p->state == SND_PCM_STATE_OPEN) return -EBADFD;
    sw->filled = true;
    return 0;
}

int SimBoard::SwParamsSetTstampMode(snd_pcm_t* handle, snd_pcm_sw_params_t* params, snd_pcm_tstamp_t mode)
{
    if (!LookupPcm(handle)) return -EBADFD;
    std::lock_guard<std::mutex> lk(boardMtx);
    if (!swParams.count(params)) return -EINVAL;
    SwParamsObj* sw = reinterpret_cast<SwParamsObj*>(params);
    if (!sw->filled || mode > SND_PCM_TSTAMP_LAST) return -EINVAL;
    sw->tstamp = mode;
    return 0;
}

int SimBoard::SwParams(snd_pcm_t* handle, snd_pcm_sw_params_t* params)
{
    Substream* p = LookupPcm(handle);
    if (!p) return -EBADFD;
    {
        std::lock_guard<std::mutex> lk(boardMtx);
        if (!swParams.count(params) || !reinterpret_cast<SwParamsObj*>(params)->filled) return -EINVAL;
    }
    std::lock_guard<std::mutex> lk(NodeAt(p->node).mtx);
    return p->state == SND_PCM_STATE_OPEN ? -EBADFD : 0;
}

int SimBoard::StatusMalloc(snd_pcm_status_t** status)
{
    if (!status) return -EINVAL;
    StatusObj* obj = new StatusObj();
    std::lock_guard<std::mutex> lk(boardMtx);
    statuses.insert(obj);
    *status = reinterpret_cast<snd_pcm_status_t*>(obj);
    return 0;
}

void SimBoard::StatusFree(snd_pcm_status_t* status)
{
    {
        std::lock_guard<std::mutex> lk(boardMtx);
        if (!statuses.erase(status)) return;
    }
    delete reinterpret_cast<StatusObj*>(status);
}
