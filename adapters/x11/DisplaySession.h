#pragma once

#include <optional>
#include <string>

namespace caldrovex::platform {

// What the login session offers the host, as its environment says: the X display, and whether
// the desktop is a Wayland session. Under Wayland an X client sees and drives only the windows
// of other X clients (XWayland), never the desktop itself, so X11 capture and injection would
// show and move a fraction of the screen; and without any display there is nothing to share.
//
// A plain value; `current` reads the process environment.
struct DisplaySession {
    std::optional<std::string> display;         // $DISPLAY
    std::optional<std::string> waylandDisplay;  // $WAYLAND_DISPLAY
    std::optional<std::string> sessionType;     // $XDG_SESSION_TYPE

    static DisplaySession current();

    bool isWayland() const;

    // Why this session cannot be shared at all, as a sentence for the user (and for a device
    // that asks for the screen); nullopt when an X display is there to try.
    std::optional<std::string> problem() const;

    static constexpr const char* kWaylandMessage =
        "This computer runs a Wayland session, where the host can neither capture the screen "
        "nor control it: it needs an X11 session. Log out, choose an X11 (Xorg) session at the "
        "login screen, and log in again.";
    static constexpr const char* kNoDisplayMessage =
        "No display is there: the host needs a logged-in X11 desktop session. Start it from "
        "that session (DISPLAY is not set).";
    // The X display that does not open; the name is filled in.
    static std::string unreachableMessage(const std::string& display);
};

}  // namespace caldrovex::platform
