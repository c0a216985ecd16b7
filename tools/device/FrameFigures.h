#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace caldrovex::device {

// The viewer's running figures: frames and bytes in the current second, and the pacer's
// figures from the host's last "pong". `second` makes the JSON line of a second and starts
// the next one.
struct FrameFigures {
    int64_t frames = 0;
    int64_t bytes = 0;
    int64_t totalFrames = 0;
    int64_t totalBytes = 0;
    std::optional<int64_t> targetBitrate;
    std::optional<int64_t> hostFps;

    void frame(size_t size) {
        ++frames;
        ++totalFrames;
        bytes += static_cast<int64_t>(size);
        totalBytes += static_cast<int64_t>(size);
    }
    std::string second(double seconds);
};

}  // namespace caldrovex::device
