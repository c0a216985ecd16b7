#pragma once

#include <X11/Xlib.h>

#include <cstdint>

#include "input/DisplayRect.h"

namespace caldrovex::platform {

// Displays on X11 are RandR outputs, identified by the output's XID. These helpers read where
// one lies on the root window, for the input controller's normalized coordinates.

// The primary output, or else the first output that shows something; 0 when RandR reports
// none (a server without RandR: the whole root window is then the one display).
uint32_t x11MainDisplayID(Display* display);

// The rectangle of output `displayID` on the root window. An output that is unknown, switched
// off or 0 falls back to the main display, and that to the whole root window, so the pointer
// always lands somewhere visible instead of at the origin of a display that went away.
DisplayRect x11DisplayBounds(Display* display, uint32_t displayID);

}  // namespace caldrovex::platform
