// SimBoard: video nodes, buffer queues, select() and the node clocks.
// The sound card lives in SimBoardAudio.cpp.
#include "board/SimBoard.h"

#include "board/SimPreview.h"
#include "shell/Log.h"

#include <boost/filesystem.hpp>

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

namespace {

constexpr unsigned kMaxBuffers = 32;
constexpr uint64_t kNsPerSecond = 1000000000ull;
constexpr uint64_t kPreviewIntervalNs = kNsPerSecond;

uint64_t NowNs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * kNsPerSecond + uint64_t(ts.tv_nsec);
}

// steady_clock is CLOCK_MONOTONIC, so its waits share the periods' time base.
std::chrono::steady_clock::time_point AtNs(uint64_t ns)
{
    return std::chrono::steady_clock::time_point(std::chrono::nanoseconds(ns));
}

timeval ToTimeval(uint64_t ns)
{
    timeval tv;
    tv.tv_sec = time_t(ns / kNsPerSecond);
    tv.tv_usec = suseconds_t((ns % kNsPerSecond) / 1000);
    return tv;
}

bool IsWholeFrameField(v4l2_field field)
{
    return field == V4L2_FIELD_NONE || field == V4L2_FIELD_INTERLACED || field == V4L2_FIELD_SEQ_TB ||
           field == V4L2_FIELD_SEQ_BT;
}

uint32_t NodeType(bool output) { return output ? V4L2_BUF_TYPE_VIDEO_OUTPUT : V4L2_BUF_TYPE_VIDEO_CAPTURE; }

int Fail(int err)
{
    errno = err;
    return -1;
}

}  // namespace

// What a clock thread keeps from one period to the next.
struct SimBoard::ClockState {
    std::vector<int32_t> audio;       // the period of sound on air
    uint8_t thumb[576] = {};          // of the picture on air
    int thumbOf = -2;                 // buffer the thumbnail belongs to (-2: none yet)
    uint64_t thumbSeq = 0;            // ... and the QBUF that put that picture there
    uint64_t lastPreviewNs = 0;
    bool previewWritten = false;
    bool previewFailed = false;
};

SimBoard::SimBoard(const SimBoardConfig& cfg) : config(cfg)
{
    const int total = std::max(0, config.outputs) + std::max(0, config.inputs);
    for (int i = 0; i < total; ++i) {
        nodes.emplace_back(new Node());
        nodes.back()->number = i;
        nodes.back()->output = i < config.outputs;
    }
}

SimBoard::~SimBoard()
{
    for (auto& np : nodes) {
        Node& node = *np;
        std::lock_guard<std::mutex> ctl(node.ctlMtx);
        StopStreaming(node);
        std::lock_guard<std::mutex> lk(node.mtx);
        FreeBuffers(node, false);
        node.pcm = nullptr;
    }
    ReleaseAudio();
    std::lock_guard<std::mutex> lk(boardMtx);
    for (auto& f : files) ::close(f.first);
    files.clear();
}

std::string SimBoard::OutputNode(int index) const { return "/dev/video" + std::to_string(index); }
std::string SimBoard::InputNode(int index) const { return "/dev/video" + std::to_string(config.outputs + index); }

int SimBoard::PictureLines() const { return IsWholeFrameField(config.field) ? config.height : 2 * config.height; }

uint64_t SimBoard::PeriodStartNs(uint64_t t0, uint64_t n) const
{
    // The frame rate is num/den frames a second: period n starts n*den/num s after T0.
    uint64_t num = config.frameRateNum, den = config.frameRateDen;
    if (num == 0 || den == 0) num = 25, den = 1;   // a board that reports no rate still keeps time
    const unsigned __int128 ns = (unsigned __int128)n * den * kNsPerSecond / num;
    return t0 + uint64_t(ns);
}

// ---- observation and fault injection ----

void SimBoard::SetTap(int node, Tap tap)
{
    if (node < 0 || node >= NodeCount()) return;
    std::lock_guard<std::mutex> lk(NodeAt(node).tapMtx);
    NodeAt(node).tap = std::move(tap);
}

SimBoard::NodeStats SimBoard::Stats(int node) const
{
    if (node < 0 || node >= NodeCount()) return NodeStats();
    Node& n = NodeAt(node);
    std::lock_guard<std::mutex> lk(n.mtx);
    return n.stats;
}

bool SimBoard::WaitForPeriods(int node, uint64_t periods, std::chrono::milliseconds limit) const
{
    if (node < 0 || node >= NodeCount()) return false;
    Node& n = NodeAt(node);
    std::unique_lock<std::mutex> lk(n.mtx);
    return n.cv.wait_for(lk, limit, [&] { return n.stats.periods >= periods; });
}

int SimBoard::OpenCount(int node) const
{
    if (node < 0 || node >= NodeCount()) return 0;
    Node& n = NodeAt(node);
    std::lock_guard<std::mutex> lk(n.mtx);
    return n.openCount;
}

void SimBoard::InjectFault(int node, VideoOp op, unsigned nth, int err, unsigned times)
{
    if (node < 0 || node >= NodeCount() || nth == 0 || times == 0) return;
    Node& n = NodeAt(node);
    std::lock_guard<std::mutex> lk(n.mtx);
    n.faults[op] = Fault{nth - 1, times, err};
}

void SimBoard::GrantBuffers(int node, unsigned count)
{
    if (node < 0 || node >= NodeCount()) return;
    Node& n = NodeAt(node);
    std::lock_guard<std::mutex> lk(n.mtx);
    n.grantLimit = count;
}

void SimBoard::RemoveNode(int nodeNumber)
{
    std::lock_guard<std::mutex> lk(boardMtx);
    removedNodes.insert(nodeNumber);
}

bool SimBoard::Faulted(Node& node, VideoOp op)
{
    auto it = node.faults.find(op);
    if (it == node.faults.end()) return false;
    Fault& f = it->second;
    if (f.skip > 0) {
        --f.skip;
        return false;
    }
    const int err = f.err;
    if (--f.times == 0) node.faults.erase(it);
    errno = err;
    return true;
}

void SimBoard::Notify(Node& node)
{
    node.cv.notify_all();
    {
        std::lock_guard<std::mutex> lk(evMtx);
        ++evGen;
    }
    evCv.notify_all();
}

// ---- descriptors ----

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
    if (n >= NodeCount() || removedNodes.count(n)) return -1;
    return n;
}

bool SimBoard::Lookup(int fd, OpenFile& file) const
{
    std::lock_guard<std::mutex> lk(boardMtx);
    auto it = files.find(fd);
    if (it == files.end()) {
        errno = EBADF;
        return false;
    }
    file = it->second;
    file.fd = fd;
    return true;
}

int SimBoard::Stat(const char* path, struct stat* st)
{
    std::lock_guard<std::mutex> lk(boardMtx);
    if (!st) return Fail(EFAULT);
    if (NodeOf(path) < 0) return Fail(ENOENT);
    memset(st, 0, sizeof(*st));
    st->st_mode = S_IFCHR | 0660;
    st->st_rdev = makedev(81, unsigned(NodeOf(path)));
    return 0;
}

int SimBoard::Open(const char* path, int flags)
{
    OpenFile file;
    {
        std::lock_guard<std::mutex> lk(boardMtx);
        const int node = NodeOf(path);
        if (node < 0) return Fail(ENOENT);
        const int fd = memfd_create("simboard-video", MFD_CLOEXEC);
        if (fd < 0) return -1;
        file.fd = fd;
        file.node = node;
        file.openId = nextOpenId++;
        file.nonBlocking = (flags & O_NONBLOCK) != 0;
        files[fd] = file;
    }
    Node& node = NodeAt(file.node);
    std::lock_guard<std::mutex> lk(node.mtx);
    ++node.openCount;
    node.openSeq = file.openId;
    return file.fd;
}

int SimBoard::Close(int fd)
{
    OpenFile file;
    {
        std::lock_guard<std::mutex> lk(boardMtx);
        auto it = files.find(fd);
        if (it == files.end()) return Fail(EBADF);
        file = it->second;
        files.erase(it);
    }
    Node& node = NodeAt(file.node);
    {
        std::lock_guard<std::mutex> ctl(node.ctlMtx);
        bool owner;
        {
            std::lock_guard<std::mutex> lk(node.mtx);
            --node.openCount;
            owner = node.ownerId == file.openId;
        }
        // Closing the owner ends streaming and releases the buffers, as the
        // driver does; mappings the application still holds stay valid.
        if (owner) {
            StopStreaming(node);
            std::lock_guard<std::mutex> lk(node.mtx);
            FreeBuffers(node, false);
            node.ownerId = 0;
            node.ownerFd = -1;
        }
    }
    return ::close(fd);
}

// ---- ioctl ----

int SimBoard::Ioctl(int fd, unsigned long request, void* arg)
{
    OpenFile file;
    if (!Lookup(fd, file)) return -1;
    if (!arg) return Fail(EFAULT);
    Node& node = NodeAt(file.node);
    const uint32_t type = NodeType(node.output);

    switch (request) {
    case VIDIOC_QUERYCAP: {
        auto* cap = static_cast<v4l2_capability*>(arg);
        memset(cap, 0, sizeof(*cap));
        snprintf(reinterpret_cast<char*>(cap->driver), sizeof(cap->driver), "simboard");
        snprintf(reinterpret_cast<char*>(cap->card), sizeof(cap->card), "SV7 simulated channel %d", node.number);
        snprintf(reinterpret_cast<char*>(cap->bus_info), sizeof(cap->bus_info), "sim:%d", node.number);
        cap->version = 0x050a00;
        cap->device_caps = (node.output ? V4L2_CAP_VIDEO_OUTPUT : V4L2_CAP_VIDEO_CAPTURE) | V4L2_CAP_STREAMING;
        cap->capabilities = cap->device_caps | V4L2_CAP_DEVICE_CAPS;
        return 0;
    }
    case VIDIOC_G_FMT: {
        auto* fmt = static_cast<v4l2_format*>(arg);
        std::lock_guard<std::mutex> lk(node.mtx);
        if (Faulted(node, VideoOp::GFmt)) return -1;
        if (fmt->type != type) return Fail(EINVAL);
        memset(&fmt->fmt, 0, sizeof(fmt->fmt));
        v4l2_pix_format& pix = fmt->fmt.pix;
        pix.width = uint32_t(config.width);
        pix.height = uint32_t(config.height);
        pix.pixelformat = V4L2_PIX_FMT_UYVY;
        pix.field = config.field;
        pix.bytesperline = uint32_t(2 * config.width);
        pix.sizeimage = uint32_t(PictureBytes());
        pix.colorspace = PictureLines() >= 720 ? V4L2_COLORSPACE_REC709 : V4L2_COLORSPACE_SMPTE170M;
        return 0;
    }
    case VIDIOC_G_PARM: {
        auto* parm = static_cast<v4l2_streamparm*>(arg);
        std::lock_guard<std::mutex> lk(node.mtx);
        if (Faulted(node, VideoOp::GParm)) return -1;
        if (parm->type != type) return Fail(EINVAL);
        memset(&parm->parm, 0, sizeof(parm->parm));
        // Time per frame is the reciprocal of the frame rate: 1/25, 1001/30000.
        v4l2_fract tpf;
        tpf.numerator = config.frameRateDen;
        tpf.denominator = config.frameRateNum;
        if (node.output) {
            parm->parm.output.capability = V4L2_CAP_TIMEPERFRAME;
            parm->parm.output.timeperframe = tpf;
        } else {
            parm->parm.capture.capability = V4L2_CAP_TIMEPERFRAME;
            parm->parm.capture.timeperframe = tpf;
        }
        return 0;
    }
    case VIDIOC_REQBUFS: return ReqBufs(node, file, static_cast<v4l2_requestbuffers*>(arg));
    case VIDIOC_QUERYBUF: return QueryBuf(node, static_cast<v4l2_buffer*>(arg));
    case VIDIOC_QBUF: return QBuf(node, file, static_cast<v4l2_buffer*>(arg));
    case VIDIOC_DQBUF: return DQBuf(node, file, static_cast<v4l2_buffer*>(arg));
    case VIDIOC_STREAMON: return StreamOn(node, file, static_cast<const int*>(arg));
    case VIDIOC_STREAMOFF: return StreamOff(node, file, static_cast<const int*>(arg));
    default: return Fail(ENOTTY);
    }
}

int SimBoard::ReqBufs(Node& node, const OpenFile& file, v4l2_requestbuffers* req)
{
    std::lock_guard<std::mutex> ctl(node.ctlMtx);
    std::lock_guard<std::mutex> lk(node.mtx);
    if (Faulted(node, VideoOp::ReqBufs)) return -1;
    if (req->type != NodeType(node.output) || req->memory != V4L2_MEMORY_MMAP) return Fail(EINVAL);
    if (node.ownerId && node.ownerId != file.openId) return Fail(EBUSY);
    // As videobuf2: no new buffers while streaming or while old ones are mapped.
    if (node.streaming || node.mappings > 0) return Fail(EBUSY);
    FreeBuffers(node, true);
    req->capabilities = V4L2_BUF_CAP_SUPPORTS_MMAP;
    if (req->count == 0) {
        node.ownerId = 0;
        node.ownerFd = -1;
        return 0;
    }
    unsigned count = std::min(req->count, kMaxBuffers);
    if (node.grantLimit) count = std::min(count, node.grantLimit);

    const size_t page = size_t(sysconf(_SC_PAGESIZE));
    const size_t len = PictureBytes();
    const size_t stride = (len + page - 1) / page * page;
    const size_t total = stride * count;
    if (ftruncate(file.fd, off_t(total)) != 0) return Fail(ENOMEM);
    void* map = ::mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_SHARED, file.fd, 0);
    if (map == MAP_FAILED) {
        if (ftruncate(file.fd, 0) != 0) { /* the memory goes with the descriptor anyway */ }
        return Fail(ENOMEM);
    }
    node.bufs.assign(count, Buffer());
    node.bufLen = len;
    node.stride = stride;
    node.boardMap = static_cast<uint8_t*>(map);
    node.boardMapLen = total;
    ++node.allocation;
    node.ownerId = file.openId;
    node.ownerFd = file.fd;
    node.stats.buffers = count;
    req->count = count;
    return 0;
}

void SimBoard::FreeBuffers(Node& node, bool truncate)
{
    if (node.boardMap) ::munmap(node.boardMap, node.boardMapLen);
    if (truncate && node.ownerFd >= 0 && node.boardMap) {
        if (ftruncate(node.ownerFd, 0) != 0) { /* only memory lost until close */ }
    }
    node.boardMap = nullptr;
    node.boardMapLen = 0;
    node.bufs.clear();
    node.pending.clear();
    node.done.clear();
    node.onAir = -1;
    node.mappings = 0;
    ++node.allocation;
}

void SimBoard::FillBufferInfo(const Node& node, unsigned index, v4l2_buffer* buf) const
{
    const Buffer& b = node.bufs[index];
    buf->index = index;
    buf->type = NodeType(node.output);
    buf->memory = V4L2_MEMORY_MMAP;
    buf->length = uint32_t(node.bufLen);
    buf->m.offset = uint32_t(index * node.stride);
    buf->bytesused = b.bytesused;
    buf->field = config.field;
    buf->flags = V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC;
    if (node.mappings > 0) buf->flags |= V4L2_BUF_FLAG_MAPPED;
    if (b.state == BufState::Queued || b.state == BufState::Busy) buf->flags |= V4L2_BUF_FLAG_QUEUED;
    if (b.state == BufState::Done) buf->flags |= V4L2_BUF_FLAG_DONE;
    buf->timestamp = ToTimeval(b.timeNs);
    buf->sequence = b.sequence;
}

int SimBoard::QueryBuf(Node& node, v4l2_buffer* buf)
{
    std::lock_guard<std::mutex> lk(node.mtx);
    if (Faulted(node, VideoOp::QueryBuf)) return -1;
    if (buf->type != NodeType(node.output) || buf->memory != V4L2_MEMORY_MMAP) return Fail(EINVAL);
    if (buf->index >= node.bufs.size()) return Fail(EINVAL);
    FillBufferInfo(node, buf->index, buf);
    return 0;
}

int SimBoard::QBuf(Node& node, const OpenFile& file, v4l2_buffer* buf)
{
    std::lock_guard<std::mutex> lk(node.mtx);
    if (Faulted(node, VideoOp::QBuf)) return -1;
    if (buf->type != NodeType(node.output) || buf->memory != V4L2_MEMORY_MMAP) return Fail(EINVAL);
    if (node.ownerId != file.openId) return Fail(EBUSY);
    if (buf->index >= node.bufs.size()) return Fail(EINVAL);
    Buffer& b = node.bufs[buf->index];
    if (b.state != BufState::Dequeued) return Fail(EINVAL);
    if (node.output) {
        // videobuf2 takes a zero bytesused of an output buffer as the whole buffer.
        const uint32_t used = buf->bytesused ? buf->bytesused : uint32_t(node.bufLen);
        if (used > node.bufLen) return Fail(EINVAL);
        b.bytesused = used;
    }
    b.state = BufState::Queued;
    b.queueSeq = ++node.queueSeq;
    node.pending.push_back(buf->index);
    FillBufferInfo(node, buf->index, buf);
    Notify(node);
    return 0;
}

int SimBoard::DQBuf(Node& node, const OpenFile& file, v4l2_buffer* buf)
{
    std::unique_lock<std::mutex> lk(node.mtx);
    if (Faulted(node, VideoOp::DQBuf)) return -1;
    if (buf->type != NodeType(node.output) || buf->memory != V4L2_MEMORY_MMAP) return Fail(EINVAL);
    if (node.ownerId != file.openId) return Fail(EBUSY);
    for (;;) {
        if (!node.streaming) return Fail(EINVAL);
        if (!node.done.empty()) break;
        if (file.nonBlocking) return Fail(EAGAIN);
        node.cv.wait(lk);
    }
    const unsigned index = node.done.front();
    node.done.pop_front();
    node.bufs[index].state = BufState::Dequeued;
    FillBufferInfo(node, index, buf);
    return 0;
}

int SimBoard::StreamOn(Node& node, const OpenFile& file, const int* type)
{
    std::lock_guard<std::mutex> ctl(node.ctlMtx);
    {
        std::lock_guard<std::mutex> lk(node.mtx);
        if (Faulted(node, VideoOp::StreamOn)) return -1;
        if (uint32_t(*type) != NodeType(node.output)) return Fail(EINVAL);
        if (node.ownerId != file.openId) return Fail(EBUSY);
        if (node.bufs.empty()) return Fail(EINVAL);
        if (node.streaming) return 0;
    }
    std::unique_ptr<SimFrameLog> log;
    if (node.output && !config.frameLog.empty()) {
        boost::system::error_code ec;
        boost::filesystem::create_directories(config.frameLog, ec);
        log.reset(new SimFrameLog());
        if (!log->Open(config.frameLog + "/video" + std::to_string(node.number) + ".frames")) log.reset();
    }
    if (node.output && !config.preview.empty()) {
        boost::system::error_code ec;
        boost::filesystem::create_directories(config.preview, ec);
    }
    std::lock_guard<std::mutex> lk(node.mtx);
    const unsigned buffers = node.stats.buffers;
    node.stats = NodeStats();
    node.stats.buffers = buffers;
    node.stats.streaming = true;
    node.streaming = true;
    node.stop = false;
    node.onAir = -1;
    node.frameLog = std::move(log);
    try {
        node.clock = std::thread(&SimBoard::ClockThread, this, &node, NowNs());
    } catch (const std::exception& e) {
        MsgToLog(L_ERROR, "SimBoard: cannot start the clock of /dev/video%d: %s\n", node.number, e.what());
        node.frameLog.reset();
        node.streaming = false;
        node.stats.streaming = false;
        return Fail(ENOMEM);
    }
    Notify(node);
    return 0;
}

int SimBoard::StreamOff(Node& node, const OpenFile& file, const int* type)
{
    std::lock_guard<std::mutex> ctl(node.ctlMtx);
    {
        std::lock_guard<std::mutex> lk(node.mtx);
        if (Faulted(node, VideoOp::StreamOff)) return -1;
        if (uint32_t(*type) != NodeType(node.output)) return Fail(EINVAL);
        if (node.ownerId != file.openId) return Fail(EBUSY);
    }
    StopStreaming(node);
    return 0;
}

void SimBoard::StopStreaming(Node& node)
{
    {
        std::lock_guard<std::mutex> lk(node.mtx);
        node.stop = true;
        node.cv.notify_all();
    }
    if (node.clock.joinable()) node.clock.join();
    // The clock has stopped: the log is ours alone.
    std::unique_ptr<SimFrameLog> log;
    std::lock_guard<std::mutex> lk(node.mtx);
    log = std::move(node.frameLog);
    node.stop = false;
    node.streaming = false;
    node.stats.streaming = false;
    // Every buffer goes back to the application, queued or not.
    for (Buffer& b : node.bufs) b.state = BufState::Dequeued;
    node.pending.clear();
    node.done.clear();
    node.onAir = -1;
    Notify(node);
    if (log) log->Close();
}

// ---- mapping ----

void* SimBoard::Mmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset)
{
    OpenFile file;
    if (!Lookup(fd, file)) return MAP_FAILED;
    Node& node = NodeAt(file.node);
    void* p;
    uint64_t allocation;
    {
        std::lock_guard<std::mutex> lk(node.mtx);
        if (Faulted(node, VideoOp::Mmap)) return MAP_FAILED;
        // Buffers live in the owner's memory: only its descriptor maps them.
        if (node.ownerId != file.openId || node.bufs.empty() || !(flags & MAP_SHARED) || length == 0 ||
            offset < 0 || size_t(offset) % node.stride != 0 || size_t(offset) / node.stride >= node.bufs.size() ||
            length > node.stride) {
            errno = EINVAL;
            return MAP_FAILED;
        }
        p = ::mmap(addr, length, prot, flags, fd, offset);
        if (p == MAP_FAILED) return MAP_FAILED;
        ++node.mappings;
        allocation = node.allocation;
    }
    std::lock_guard<std::mutex> lk(boardMtx);
    appMappings[p] = std::make_pair(file.node, allocation);
    return p;
}

int SimBoard::Munmap(void* addr, size_t length)
{
    bool ours = false;
    std::pair<int, uint64_t> owner;
    {
        std::lock_guard<std::mutex> lk(boardMtx);
        auto it = appMappings.find(addr);
        if (it != appMappings.end()) {
            ours = true;
            owner = it->second;
            appMappings.erase(it);
        }
    }
    const int r = ::munmap(addr, length);
    const int err = errno;
    if (ours) {
        Node& node = NodeAt(owner.first);
        std::lock_guard<std::mutex> lk(node.mtx);
        if (owner.second == node.allocation && node.mappings > 0) --node.mappings;
    }
    errno = err;
    return r;
}

// ---- select ----

int SimBoard::Select(int nfds, fd_set* readfds, fd_set* writefds, fd_set* exceptfds, struct timeval* timeout)
{
    if (nfds < 0 || nfds > FD_SETSIZE) return Fail(EINVAL);
    if (timeout && (timeout->tv_sec < 0 || timeout->tv_usec < 0)) return Fail(EINVAL);
    struct Watch {
        int fd;
        Node* node;
        bool read, write;
    };
    std::vector<Watch> watches;
    {
        std::lock_guard<std::mutex> lk(boardMtx);
        for (int fd = 0; fd < nfds; ++fd) {
            const bool r = readfds && FD_ISSET(fd, readfds);
            const bool w = writefds && FD_ISSET(fd, writefds);
            const bool e = exceptfds && FD_ISSET(fd, exceptfds);
            if (!r && !w && !e) continue;
            auto it = files.find(fd);
            if (it == files.end()) return Fail(EBADF);   // this board serves only its own nodes
            watches.push_back(Watch{fd, nodes[size_t(it->second.node)].get(), r, w});
        }
    }
    for (const Watch& w : watches) {
        std::lock_guard<std::mutex> lk(w.node->mtx);
        if (Faulted(*w.node, VideoOp::Select)) return -1;
    }

    const uint64_t start = NowNs();
    const bool forever = timeout == nullptr;
    const uint64_t limit =
        forever ? 0 : uint64_t(timeout->tv_sec) * kNsPerSecond + uint64_t(timeout->tv_usec) * 1000ull;
    const uint64_t deadline = start + limit;
    for (;;) {
        uint64_t gen;
        {
            std::lock_guard<std::mutex> lk(evMtx);
            gen = evGen;
        }
        fd_set outR, outW;
        FD_ZERO(&outR);
        FD_ZERO(&outW);
        int count = 0;
        for (const Watch& w : watches) {
            std::lock_guard<std::mutex> lk(w.node->mtx);
            // As videobuf2's poll: a queue that does not stream reports an
            // error, which select() shows as ready for reading and writing.
            const bool error = !w.node->streaming;
            const bool ready = !w.node->done.empty();
            if (w.read && (error || (!w.node->output && ready))) {
                FD_SET(w.fd, &outR);
                ++count;
            }
            if (w.write && (error || (w.node->output && ready))) {
                FD_SET(w.fd, &outW);
                ++count;
            }
        }
        const uint64_t now = NowNs();
        if (count > 0 || (!forever && now >= deadline)) {
            if (readfds) *readfds = outR;
            if (writefds) *writefds = outW;
            if (exceptfds) FD_ZERO(exceptfds);
            if (timeout) *timeout = ToTimeval(now >= deadline ? 0 : deadline - now);
            return count;
        }
        std::unique_lock<std::mutex> lk(evMtx);
        if (forever)
            evCv.wait(lk, [&] { return evGen != gen; });
        else
            evCv.wait_until(lk, AtNs(deadline), [&] { return evGen != gen; });
    }
}

// ---- clocks ----

void SimBoard::ClockThread(Node* np, uint64_t t0)
{
    // A period that throws must not take the process down; the node then
    // stops giving buffers back, as a failed device would.
    try {
        RunClock(*np, t0);
    } catch (const std::exception& e) {
        MsgToLog(L_DEBUG, "\n!!!!! C++ Exception in SimBoard::ClockThread, what='%s' !!!!!\n\n", e.what());
    } catch (...) {
        MsgToLog(L_DEBUG, "\n!!!!! Unknown exception in SimBoard::ClockThread !!!!!\n\n");
    }
}

void SimBoard::RunClock(Node& node, uint64_t t0)
{
    ClockState cs;
    uint64_t n = 0;
    const bool freeRunning = config.clock == SimBoardConfig::Clock::FreeRunning;
    for (;;) {
        uint64_t now;
        {
            std::unique_lock<std::mutex> lk(node.mtx);
            if (freeRunning)
                node.cv.wait(lk, [&] { return node.stop || !node.pending.empty(); });
            else
                node.cv.wait_until(lk, AtNs(PeriodStartNs(t0, n)), [&] { return node.stop; });
            if (node.stop) break;
        }
        now = NowNs();
        if (freeRunning) {
            if (node.output)
                OutputPeriod(node, n, now, cs);
            else
                CapturePeriod(node, n, now);
            ++n;
            continue;
        }
        // Every period that has started runs, each at its own time, however
        // late this thread woke.
        for (uint64_t at = PeriodStartNs(t0, n); at <= now; at = PeriodStartNs(t0, ++n)) {
            if (node.output)
                OutputPeriod(node, n, at, cs);
            else
                CapturePeriod(node, n, at);
        }
    }
}

void SimBoard::OutputPeriod(Node& node, uint64_t n, uint64_t timeNs, ClockState& cs)
{
    ShownFrame f;
    f.node = node.number;
    f.period = n;
    f.timeNs = timeNs;
    int shown;
    uint64_t shownSeq = 0;
    size_t frames = 0;
    SimFrameLog* log;
    {
        std::lock_guard<std::mutex> lk(node.mtx);
        if (!node.pending.empty()) {
            const unsigned next = node.pending.front();
            node.pending.pop_front();
            const int previous = node.onAir;
            node.onAir = int(next);
            node.bufs[next].state = BufState::Busy;
            if (previous >= 0) {
                node.bufs[size_t(previous)].state = BufState::Done;
                node.done.push_back(unsigned(previous));
            }
        } else {
            f.repeat = true;
        }
        shown = node.onAir;
        if (shown >= 0) {
            Buffer& b = node.bufs[size_t(shown)];
            b.sequence = uint32_t(n);
            b.timeNs = timeNs;
            shownSeq = b.queueSeq;
            f.picture = node.boardMap + size_t(shown) * node.stride;
            f.pictureBytes = std::min<size_t>(b.bytesused, node.bufLen);
        }
        f.audioOff = !PlayPeriod(node, cs.audio, frames);
        ++node.stats.periods;
        if (f.repeat) ++node.stats.repeats;
        log = node.frameLog.get();
        Notify(node);
    }

    // The buffer on air belongs to the device until the next period, which
    // this thread runs: it can be read without the lock.
    f.width = config.width;
    f.lines = PictureLines();
    if (f.pictureBytes < size_t(2) * size_t(f.width) * size_t(f.lines)) f.lines = int(f.pictureBytes / (2 * size_t(f.width)));
    if (shown != cs.thumbOf || shownSeq != cs.thumbSeq) {
        SimFrameLog::Thumbnail(f.picture, f.width, f.lines, cs.thumb);
        cs.thumbOf = shown;
        cs.thumbSeq = shownSeq;
    }
    memcpy(f.thumb, cs.thumb, sizeof(f.thumb));
    f.audio = cs.audio.empty() ? nullptr : cs.audio.data();
    f.audioFrames = frames;
    f.channels = kChannels;
    SimFrameLog::Rms(f.audio, frames, kChannels, f.rms);

    if (log) {
        const uint32_t flags =
            (f.repeat ? SimFrameLog::kFlagRepeat : 0u) | (f.audioOff ? SimFrameLog::kFlagAudioOff : 0u);
        log->Append(n, timeNs, flags, f.rms, f.thumb);
    }
    {
        std::lock_guard<std::mutex> lk(node.tapMtx);
        if (node.tap) node.tap(f);
    }
    if (!config.preview.empty() && f.picture && f.lines > 0 &&
        (!cs.previewWritten || timeNs - cs.lastPreviewNs >= kPreviewIntervalNs)) {
        cs.previewWritten = true;
        cs.lastPreviewNs = timeNs;
        const std::string path = config.preview + "/video" + std::to_string(node.number) + ".png";
        if (!SimPreview::Write(path, f.picture, f.width, f.lines)) {
            if (!cs.previewFailed)
                MsgToLog(L_ERROR, "SimBoard: cannot write preview %s\n", path.c_str());
            cs.previewFailed = true;
        } else {
            cs.previewFailed = false;
        }
    }
}

void SimBoard::CapturePeriod(Node& node, uint64_t n, uint64_t timeNs)
{
    int index = -1;
    uint8_t* picture = nullptr;
    {
        std::lock_guard<std::mutex> lk(node.mtx);
        if (!node.pending.empty()) {
            index = int(node.pending.front());
            node.pending.pop_front();
            node.bufs[size_t(index)].state = BufState::Busy;
            picture = node.boardMap + size_t(index) * node.stride;
        } else {
            ++node.stats.dropped;
        }
        CapturePeriodAudio(node);
        ++node.stats.periods;
        if (index < 0) Notify(node);
    }
    if (index < 0) return;
    // The buffer is the device's until it is given back.
    FillTestPicture(picture, n);
    std::lock_guard<std::mutex> lk(node.mtx);
    Buffer& b = node.bufs[size_t(index)];
    b.state = BufState::Done;
    b.sequence = uint32_t(n);
    b.timeNs = timeNs;
    b.bytesused = uint32_t(node.bufLen);
    node.done.push_back(unsigned(index));
    ++node.stats.filled;
    Notify(node);
}

void SimBoard::FillTestPicture(uint8_t* picture, uint64_t n) const
{
    const int width = config.width;
    const int lines = PictureLines();
    const size_t pitch = size_t(2) * size_t(width);
    // A luma ramp from black to white, with a white bar 16 pixels wide that
    // moves 8 pixels a period.
    const int barX = int((n * 8) % uint64_t(width));
    uint8_t* line = picture;
    for (int x = 0; x < width; ++x) {
        const bool bar = x >= barX && x < barX + 16;
        line[2 * x] = 128;   // U or V
        line[2 * x + 1] = bar ? 235 : uint8_t(16 + (int64_t(x) * 219) / width);
    }
    for (int y = 1; y < lines; ++y) memcpy(picture + size_t(y) * pitch, line, pitch);
}
