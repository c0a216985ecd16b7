#pragma once

#include <vector>

#include "protocol/RemoteDisplay.h"
#include "protocol/StreamSettings.h"

namespace caldrovex {

// The settings of the running capture: what the device asked for (after bounds) and what
// the screen streamer chose. A plain value type.
struct CaptureState {
    StreamSettings settings;
    // The captured display.
    RemoteDisplay selected;
    // Every capturable display.
    std::vector<RemoteDisplay> displays;

    bool operator==(const CaptureState&) const = default;
};

}  // namespace caldrovex
