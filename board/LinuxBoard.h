// LinuxBoard: the production board. Every call goes straight to the kernel
// (V4L2 nodes) or to libasound (the board's sound card).
#pragma once

#include "board/Board.h"

class LinuxBoard : public Board {
public:
    int Stat(const char* path, struct stat* st) override;
    int Open(const char* path, int flags) override;
    int Close(int fd) override;
    int Ioctl(int fd, unsigned long request, void* arg) override;
    void* Mmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset) override;
    int Munmap(void* addr, size_t length) override;
    int Select(int nfds, fd_set* readfds, fd_set* writefds, fd_set* exceptfds, struct timeval* timeout) override;

    int CardNext(int* card) override;
    int CardGetName(int card, char** name) override;
    int PcmOpen(snd_pcm_t** pcm, const char* name, snd_pcm_stream_t stream, int mode) override;
    int PcmClose(snd_pcm_t* pcm) override;
    int PcmPrepare(snd_pcm_t* pcm) override;
    snd_pcm_sframes_t PcmWritei(snd_pcm_t* pcm, const void* buffer, snd_pcm_uframes_t size) override;
    snd_pcm_sframes_t PcmReadi(snd_pcm_t* pcm, void* buffer, snd_pcm_uframes_t size) override;

    int HwParamsMalloc(snd_pcm_hw_params_t** params) override;
    void HwParamsFree(snd_pcm_hw_params_t* params) override;
    int HwParamsAny(snd_pcm_t* pcm, snd_pcm_hw_params_t* params) override;
    int HwParamsSetAccess(snd_pcm_t* pcm, snd_pcm_hw_params_t* params, snd_pcm_access_t access) override;
    int HwParamsSetPeriodSizeNear(snd_pcm_t* pcm, snd_pcm_hw_params_t* params, snd_pcm_uframes_t* val,
                                  int* dir) override;
    int HwParamsSetPeriodsNear(snd_pcm_t* pcm, snd_pcm_hw_params_t* params, unsigned int* val, int* dir) override;
    int HwParamsSetChannels(snd_pcm_t* pcm, snd_pcm_hw_params_t* params, unsigned int val) override;
    int HwParams(snd_pcm_t* pcm, snd_pcm_hw_params_t* params) override;
    int HwParamsGetFormat(const snd_pcm_hw_params_t* params, snd_pcm_format_t* format) override;

    int SwParamsMalloc(snd_pcm_sw_params_t** params) override;
    void SwParamsFree(snd_pcm_sw_params_t* params) override;
    int SwParamsCurrent(snd_pcm_t* pcm, snd_pcm_sw_params_t* params) override;
    int SwParamsSetTstampMode(snd_pcm_t* pcm, snd_pcm_sw_params_t* params, snd_pcm_tstamp_t mode) override;
    int SwParams(snd_pcm_t* pcm, snd_pcm_sw_params_t* params) override;

    int StatusMalloc(snd_pcm_status_t** status) override;
    void StatusFree(snd_pcm_status_t* status) override;
};
