#pragma once

#include <memory>
#include <optional>
#include <string>

#include "adapters/x11/X11Handles.h"

namespace caldrovex::platform {

class X11ErrorTrap;

// The X server's side of keeping a watched desktop awake: suspending the screen saver and
// the DPMS timers, telling whether the displays are awake, and waking them.
//
// Holds its own display connection for its lifetime, because the server lifts a client's
// screen saver suspension when that client disconnects. Without a display every answer is
// the harmless one (awake, nothing suspended). Used on the main queue only.
class X11DisplayPower {
public:
    // `display`: an X display name; nullopt means $DISPLAY.
    explicit X11DisplayPower(std::optional<std::string> display = std::nullopt);
    ~X11DisplayPower();

    // Suspends (true) or resumes (false) the screen saver and DPMS timers. Suspensions do not
    // nest: the caller counts its holders.
    void suspendScreenSaver(bool suspend);
    // At least one RandR monitor is active and DPMS (when enabled) has the monitors on.
    bool displaysAwake();
    // Resets the screen saver and forces DPMS on, as a key press would.
    void wake();

private:
    DisplayHandle display_;
    // Forcing a DPMS level can fail on the server's side; that must not end the process.
    std::unique_ptr<X11ErrorTrap> trap_;
};

}  // namespace caldrovex::platform
