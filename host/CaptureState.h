#pragma once

#include <vector>

#include "protocol/RemoteDisplay.h"

namespace caldrovex {

// The settings of the running capture: what the device asked for (after bounds) and what
// the screen streamer chose. A plain value type.
struct CaptureState {
    int fps = 0;
    int maxWidth = 0;
    // Bits per second.
    int bitrate = 0;
    // The captured display.
    RemoteDisplay selected;
    // Every capturable display.
    std::vector<RemoteDisplay> displays;

    bool operator==(const CaptureState&) const = default;
};

}  // namespace caldrovex
