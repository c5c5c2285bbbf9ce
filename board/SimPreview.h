// SimPreview: writes the picture on air of a simulated output as a PNG, scaled
// down, for a person to look at. Internal to board/.
#pragma once

#include <cstdint>
#include <string>

class SimPreview {
public:
    // Widest preview written; larger pictures are decimated by a whole factor.
    static constexpr int kMaxWidth = 480;

    // Writes `path` atomically (a temporary file renamed over it). The colour
    // matrix is BT.709 from 720 lines up, BT.601 below. False when it cannot;
    // the caller decides what to log.
    static bool Write(const std::string& path, const uint8_t* uyvy, int width, int lines);
};
