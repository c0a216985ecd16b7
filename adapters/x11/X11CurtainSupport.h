#pragma once

#include <X11/Xlib.h>

#include <optional>
#include <string>

#include "platform/CaldrovexError.h"

namespace caldrovex::platform {

// Whether an X display can carry the privacy curtain: the capture composes pictures without
// the curtain (Composite 0.2, Render, Damage, XFixes), local input is read as raw XInput2
// events, and clicks pass through the curtain's windows by an empty input shape (SHAPE 1.1).
// Nullopt when it can; otherwise the sentence naming what the display lacks.
std::optional<CaldrovexError> x11CurtainUnavailable(Display* display);

// The same for the display named `displayName`, asked on a connection of its own (the caller's
// may belong to other threads); a display that cannot be opened cannot carry it either.
std::optional<CaldrovexError> x11CurtainUnavailable(const std::string& displayName);

// Whether the display has Composite 0.2 or later, which names a window's pixmap.
bool x11HasComposite(Display* display);

}  // namespace caldrovex::platform
