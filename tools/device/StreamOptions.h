#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace caldrovex::device {

// What `caldrovex-device stream` asks for and what it reports.
struct StreamOptions {
    std::optional<int64_t> fps;
    std::optional<int64_t> maxWidth;
    std::optional<int64_t> bitrate;
    std::optional<uint32_t> displayID;
    bool restart = false;
    // Stream this long, then say "disconnect" and exit; nullopt: until interrupted.
    std::optional<double> seconds;
    // Where the latest decoded picture is saved when the stream ends.
    std::optional<std::filesystem::path> png;
    // One JSON line per decoded frame.
    bool logFrames = false;
    // The point whose colour frame lines report, in 0…1 of the picture.
    double probeX = 0.5;
    double probeY = 0.5;
};

}  // namespace caldrovex::device
