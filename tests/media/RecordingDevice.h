// A channel for playhead tests: the device fields are set directly (nothing is
// opened) and every callback is recorded with the thread it came on.
#pragma once

#include "channels/SelvoDev.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

class RecordingDevice : public SelvoDev {
public:
    struct Report {
        int head;
        std::thread::id thread;
    };

    RecordingDevice(int width = 320, int height = 180, bool progressive = true, double rate = 25.0)
    {
        fWidth = width;
        fHeight = height;
        isProgressive = progressive;
        frameRate = rate;
        samplesPerFrame = rate == 25.0 ? 1920 : (unsigned long)(48000 / rate);
        audioFormat = AV_SAMPLE_FMT_S32;
        sChannels = 4;
        sampleSize = 16;
        portNum = 3;
    }

    void ReportCueDone(int headIndex) override
    {
        if (onCueDone) onCueDone(headIndex);
        std::lock_guard<std::mutex> lk(mx);
        cues.push_back({headIndex, std::this_thread::get_id()});
        cv.notify_all();
    }
    void ReportStreamClosed(int headIndex) override
    {
        std::lock_guard<std::mutex> lk(mx);
        closes.push_back({headIndex, std::this_thread::get_id()});
        cv.notify_all();
    }

    // Waits until at least `n` cue reports arrived; false after `timeout`.
    bool WaitCues(size_t n, std::chrono::seconds timeout = std::chrono::seconds(30))
    {
        std::unique_lock<std::mutex> lk(mx);
        return cv.wait_for(lk, timeout, [&] { return cues.size() >= n; });
    }
    size_t CueCount()
    {
        std::lock_guard<std::mutex> lk(mx);
        return cues.size();
    }
    size_t CloseCount()
    {
        std::lock_guard<std::mutex> lk(mx);
        return closes.size();
    }
    std::vector<Report> Cues()
    {
        std::lock_guard<std::mutex> lk(mx);
        return cues;
    }
    std::vector<Report> Closes()
    {
        std::lock_guard<std::mutex> lk(mx);
        return closes;
    }

    // Called first in ReportCueDone, as a channel reacts to a cue (set before any clip is loaded).
    std::function<void(int)> onCueDone;

    int Lines() const { return int(PictureLines()); }
    int Pitch() const { return int(2 * fWidth); }

private:
    std::mutex mx;   // guards cues and closes
    std::condition_variable cv;
    std::vector<Report> cues;
    std::vector<Report> closes;
};
