// SimBoard: a simulated video board that behaves like the real drivers as far
// as the server relies on them.
//
// Video nodes: /dev/video0 .. are the outputs, then the inputs. Every open
// gets a real descriptor of its own (a memfd), so descriptors never collide
// with other files of the process.
#pragma once

#include "board/Board.h"
#include "board/SimBoardConfig.h"

#include <map>
#include <mutex>
#include <set>
#include <string>

class SimBoard : public Board {
public:
    explicit SimBoard(const SimBoardConfig& config);
    ~SimBoard() override;

    const SimBoardConfig& Config() const { return config; }

    // Node path of output `index` / input `index` ("/dev/video<N>").
    std::string OutputNode(int index) const;
    std::string InputNode(int index) const;

    // ---- fault injection (tests) ----
    // A node that is removed fails stat() with ENOENT, as a missing device does.
    void RemoveNode(int nodeNumber);

    // ---- Board ----
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

private:
    struct OpenFile {
        int node = -1;   // node number
    };

    // Node number for a path "/dev/video<N>" of this board, or -1.
    int NodeOf(const char* path) const;
    bool IsOutput(int node) const { return node < config.outputs; }

    const SimBoardConfig config;

    // Guards removedNodes and files.
    mutable std::mutex mtx;
    std::set<int> removedNodes;
    std::map<int, OpenFile> files;   // by descriptor
};
