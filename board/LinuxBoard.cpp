#include "board/LinuxBoard.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

int LinuxBoard::Stat(const char* path, struct stat* st) { return ::stat(path, st); }
int LinuxBoard::Open(const char* path, int flags) { return ::open(path, flags); }
int LinuxBoard::Close(int fd) { return ::close(fd); }
int LinuxBoard::Ioctl(int fd, unsigned long request, void* arg) { return ::ioctl(fd, request, arg); }
void* LinuxBoard::Mmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset)
{
    return ::mmap(addr, length, prot, flags, fd, offset);
}
int LinuxBoard::Munmap(void* addr, size_t length) { return ::munmap(addr, length); }
int LinuxBoard::Select(int nfds, fd_set* readfds, fd_set* writefds, fd_set* exceptfds, struct timeval* timeout)
{
    return ::select(nfds, readfds, writefds, exceptfds, timeout);
}

int LinuxBoard::CardNext(int* card) { return snd_card_next(card); }
int LinuxBoard::CardGetName(int card, char** name) { return snd_card_get_name(card, name); }
int LinuxBoard::PcmOpen(snd_pcm_t** pcm, const char* name, snd_pcm_stream_t stream, int mode)
{
    return snd_pcm_open(pcm, name, stream, mode);
}
int LinuxBoard::PcmClose(snd_pcm_t* pcm) { return snd_pcm_close(pcm); }
int LinuxBoard::PcmPrepare(snd_pcm_t* pcm) { return snd_pcm_prepare(pcm); }
snd_pcm_sframes_t LinuxBoard::PcmWritei(snd_pcm_t* pcm, const void* buffer, snd_pcm_uframes_t size)
{
    return snd_pcm_writei(pcm, buffer, size);
}
snd_pcm_sframes_t LinuxBoard::PcmReadi(snd_pcm_t* pcm, void* buffer, snd_pcm_uframes_t size)
{
    return snd_pcm_readi(pcm, buffer, size);
}

int LinuxBoard::HwParamsMalloc(snd_pcm_hw_params_t** params) { return snd_pcm_hw_params_malloc(params); }
void LinuxBoard::HwParamsFree(snd_pcm_hw_params_t* params) { snd_pcm_hw_params_free(params); }
int LinuxBoard::HwParamsAny(snd_pcm_t* pcm, snd_pcm_hw_params_t* params) { return snd_pcm_hw_params_any(pcm, params); }
int LinuxBoard::HwParamsSetAccess(snd_pcm_t* pcm, snd_pcm_hw_params_t* params, snd_pcm_access_t access)
{
    return snd_pcm_hw_params_set_access(pcm, params, access);
}
int LinuxBoard::HwParamsSetPeriodSizeNear(snd_pcm_t* pcm, snd_pcm_hw_params_t* params, snd_pcm_uframes_t* val,
                                          int* dir)
{
    return snd_pcm_hw_params_set_period_size_near(pcm, params, val, dir);
}
int LinuxBoard::HwParamsSetPeriodsNear(snd_pcm_t* pcm, snd_pcm_hw_params_t* params, unsigned int* val, int* dir)
{
    return snd_pcm_hw_params_set_periods_near(pcm, params, val, dir);
}
int LinuxBoard::HwParamsSetChannels(snd_pcm_t* pcm, snd_pcm_hw_params_t* params, unsigned int val)
{
    return snd_pcm_hw_params_set_channels(pcm, params, val);
}
int LinuxBoard::HwParams(snd_pcm_t* pcm, snd_pcm_hw_params_t* params) { return snd_pcm_hw_params(pcm, params); }
int LinuxBoard::HwParamsGetFormat(const snd_pcm_hw_params_t* params, snd_pcm_format_t* format)
{
    return snd_pcm_hw_params_get_format(params, format);
}

int LinuxBoard::SwParamsMalloc(snd_pcm_sw_params_t** params) { return snd_pcm_sw_params_malloc(params); }
void LinuxBoard::SwParamsFree(snd_pcm_sw_params_t* params) { snd_pcm_sw_params_free(params); }
int LinuxBoard::SwParamsCurrent(snd_pcm_t* pcm, snd_pcm_sw_params_t* params)
{
    return snd_pcm_sw_params_current(pcm, params);
}
int LinuxBoard::SwParamsSetTstampMode(snd_pcm_t* pcm, snd_pcm_sw_params_t* params, snd_pcm_tstamp_t mode)
{
    return snd_pcm_sw_params_set_tstamp_mode(pcm, params, mode);
}
int LinuxBoard::SwParams(snd_pcm_t* pcm, snd_pcm_sw_params_t* params) { return snd_pcm_sw_params(pcm, params); }

int LinuxBoard::StatusMalloc(snd_pcm_status_t** status) { return snd_pcm_status_malloc(status); }
void LinuxBoard::StatusFree(snd_pcm_status_t* status) { snd_pcm_status_free(status); }

// ---- the current board ----

namespace {
// Guards currentBoard; readers take a plain pointer under it.
std::mutex boardMtx;
std::shared_ptr<Board> currentBoard;   // guarded by boardMtx; null = the Linux board
std::atomic<Board*> currentRaw{nullptr};

Board& LinuxDefault()
{
    static LinuxBoard kernelBoard;
    return kernelBoard;
}
}  // namespace

Board& Board::Current()
{
    Board* b = currentRaw.load(std::memory_order_acquire);
    return b ? *b : LinuxDefault();
}

void Board::Install(std::shared_ptr<Board> board)
{
    std::lock_guard<std::mutex> lk(boardMtx);
    currentBoard = std::move(board);
    currentRaw.store(currentBoard.get(), std::memory_order_release);
}
