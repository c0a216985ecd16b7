#pragma once

#include <X11/Xlib.h>

#include <vector>

#include "video/CaptureDisplay.h"

namespace caldrovex::platform {

// The displays of an X screen: its active RandR monitors, the primary one first, each
// identified by its (first) output's XID and named after that output. A screen whose server
// reports no monitor with an output (no RandR, or a bare virtual framebuffer) is one display:
// the whole root window, id 0, with no name of its own.
std::vector<CaptureDisplay> x11CaptureDisplays(Display* display);

}  // namespace caldrovex::platform
