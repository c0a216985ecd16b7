#pragma once

#include <X11/Xlib.h>

namespace caldrovex::platform {

// Xlib reports protocol errors through one process-wide handler whose default ends the
// process. Capture requests can fail for ordinary reasons (a display resized or switched off
// under a grab), so the capture thread registers its own connection here: errors on a
// registered connection are recorded for it, errors on any other connection go on to the
// handler that was installed before. A handler installed later by someone else (Qt's xcb
// platform installs one when it connects) is displaced again by the next trap or check.
//
// A trap belongs to the thread that owns its connection; the registry itself is thread-safe.
class X11ErrorTrap {
public:
    explicit X11ErrorTrap(Display* display);
    ~X11ErrorTrap();

    X11ErrorTrap(const X11ErrorTrap&) = delete;
    X11ErrorTrap& operator=(const X11ErrorTrap&) = delete;

    // Waits until the server has handled every request sent so far, then returns the error
    // code of the first failure since the previous call (0 when none) and forgets it.
    int check();

    // The error code of the first failure recorded so far (0 when none), forgotten at once,
    // without waiting: only requests whose replies or errors have already come count.
    int take();

private:
    Display* display_;
};

}  // namespace caldrovex::platform
