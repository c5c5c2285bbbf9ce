// SimBoardConfig: what a simulated board looks like (the configuration's
// "board" mapping with type "simulated").
#pragma once

#include <linux/videodev2.h>

#include <string>

namespace YAML {
class Node;
}

struct SimBoardConfig {
    enum class Clock { RealTime, FreeRunning };

    int outputs = 2;                 // /dev/video0 .. /dev/video<outputs-1>
    int inputs = 1;                  // the nodes after the outputs
    int width = 1920;
    int height = 1080;
    v4l2_field field = V4L2_FIELD_INTERLACED;
    // time per frame, as VIDIOC_G_PARM reports it (1/25 s by default)
    unsigned frameRateNum = 25;      // frames ...
    unsigned frameRateDen = 1;       // ... per this many seconds
    std::string preview;             // folder for once-a-second PNGs of each output; empty: none
    std::string frameLog;            // folder for the per-output frame logs; empty: none
    Clock clock = Clock::RealTime;

    double FrameRate() const { return double(frameRateNum) / double(frameRateDen); }

    // Reads the "board" mapping. Throws (YAML or std::invalid_argument) on a
    // value of the wrong kind, like every other configuration read. Frame
    // rates lie between 1 and 300 frames a second.
    static SimBoardConfig FromYaml(const YAML::Node& board);
    // V4L2 field order by its name ("none", "interlaced", "alternate", ...);
    // returns false for an unknown name.
    static bool FieldFromName(const std::string& name, v4l2_field& field);
};
