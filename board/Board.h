// Board: the one seam between the server and the video board's drivers.
//
// Every call the server makes to a V4L2 node or to the board's ALSA card goes
// through this interface; its methods mirror the system and libasound calls
// one for one (same arguments, same results, errors reported through errno
// for the video calls and as negative error codes for the audio calls).
//
// Two implementations: LinuxBoard (production, straight to the kernel and
// libasound) and SimBoard (a simulated board that behaves like the real
// drivers, for machines without a board and for tests).
//
// The process has one current board. It is chosen at start-up (the
// configuration's "board" mapping) before any thread uses it; tests swap it
// with ScopedBoard. Board methods themselves are safe to call from any thread.
#pragma once

#include <alsa/asoundlib.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <memory>

class Board {
public:
    virtual ~Board() = default;

    // ---- video nodes (errors: -1 / MAP_FAILED with errno set) ----
    virtual int Stat(const char* path, struct stat* st) = 0;
    virtual int Open(const char* path, int flags) = 0;
    virtual int Close(int fd) = 0;
    virtual int Ioctl(int fd, unsigned long request, void* arg) = 0;
    virtual void* Mmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset) = 0;
    virtual int Munmap(void* addr, size_t length) = 0;
    virtual int Select(int nfds, fd_set* readfds, fd_set* writefds, fd_set* exceptfds,
                       struct timeval* timeout) = 0;

    // ---- ALSA (errors: negative error codes, as libasound returns them) ----
    virtual int CardNext(int* card) = 0;
    // On success *name is a heap string the caller frees with free().
    virtual int CardGetName(int card, char** name) = 0;
    virtual int PcmOpen(snd_pcm_t** pcm, const char* name, snd_pcm_stream_t stream, int mode) = 0;
    virtual int PcmClose(snd_pcm_t* pcm) = 0;
    virtual int PcmPrepare(snd_pcm_t* pcm) = 0;
    virtual snd_pcm_sframes_t PcmWritei(snd_pcm_t* pcm, const void* buffer, snd_pcm_uframes_t size) = 0;
    virtual snd_pcm_sframes_t PcmReadi(snd_pcm_t* pcm, void* buffer, snd_pcm_uframes_t size) = 0;

    virtual int HwParamsMalloc(snd_pcm_hw_params_t** params) = 0;
    virtual void HwParamsFree(snd_pcm_hw_params_t* params) = 0;
    virtual int HwParamsAny(snd_pcm_t* pcm, snd_pcm_hw_params_t* params) = 0;
    virtual int HwParamsSetAccess(snd_pcm_t* pcm, snd_pcm_hw_params_t* params, snd_pcm_access_t access) = 0;
    virtual int HwParamsSetPeriodSizeNear(snd_pcm_t* pcm, snd_pcm_hw_params_t* params,
                                          snd_pcm_uframes_t* val, int* dir) = 0;
    virtual int HwParamsSetPeriodsNear(snd_pcm_t* pcm, snd_pcm_hw_params_t* params, unsigned int* val,
                                       int* dir) = 0;
    virtual int HwParamsSetChannels(snd_pcm_t* pcm, snd_pcm_hw_params_t* params, unsigned int val) = 0;
    virtual int HwParams(snd_pcm_t* pcm, snd_pcm_hw_params_t* params) = 0;
    virtual int HwParamsGetFormat(const snd_pcm_hw_params_t* params, snd_pcm_format_t* format) = 0;

    virtual int SwParamsMalloc(snd_pcm_sw_params_t** params) = 0;
    virtual void SwParamsFree(snd_pcm_sw_params_t* params) = 0;
    virtual int SwParamsCurrent(snd_pcm_t* pcm, snd_pcm_sw_params_t* params) = 0;
    virtual int SwParamsSetTstampMode(snd_pcm_t* pcm, snd_pcm_sw_params_t* params, snd_pcm_tstamp_t mode) = 0;
    virtual int SwParams(snd_pcm_t* pcm, snd_pcm_sw_params_t* params) = 0;

    virtual int StatusMalloc(snd_pcm_status_t** status) = 0;
    virtual void StatusFree(snd_pcm_status_t* status) = 0;

    // ---- the process's current board ----
    // The Linux board unless another one was installed.
    static Board& Current();
    // Installs `board` as the current board; null restores the Linux board.
    // Call only while no thread uses the board.
    static void Install(std::shared_ptr<Board> board);
};

// Makes a board current for the life of the object (tests).
class ScopedBoard {
public:
    explicit ScopedBoard(std::shared_ptr<Board> board) { Board::Install(std::move(board)); }
    ~ScopedBoard() { Board::Install(nullptr); }
    ScopedBoard(const ScopedBoard&) = delete;
    ScopedBoard& operator=(const ScopedBoard&) = delete;
};
