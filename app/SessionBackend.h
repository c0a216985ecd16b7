#pragma once

#include <optional>
#include <string>

namespace caldrovex {

// Which set of desktop back ends shares this login session, chosen from what the session
// says of itself: an X11 session (or no session type at all) keeps the X11 back ends; a
// Wayland session whose compositor offers GNOME's remote-desktop and screen-cast interfaces on
// the session bus gets the GNOME Wayland back ends; any other Wayland session cannot be shared
// yet, and `problem` says so and which sessions can.
struct SessionBackend {
    enum class Kind { x11, gnomeWayland, unsupportedWayland };

    // What the choice looks at.
    struct Facts {
        std::optional<std::string> sessionType;     // $XDG_SESSION_TYPE
        std::optional<std::string> waylandDisplay;  // $WAYLAND_DISPLAY
        bool gnomeRemoteDesktop = false;            // the compositor's interfaces are on the bus
    };

    static constexpr const char* kUnsupportedWayland =
        "This computer runs a Wayland session the host cannot share yet: it shares X11 sessions "
        "and GNOME's Wayland session. Log out, choose GNOME or an X11 (Xorg) session at the login "
        "screen, and log in again.";

    Kind kind = Kind::x11;

    static SessionBackend choose(const Facts& facts);

    // The sentence to show at start-up when this session cannot be shared.
    std::optional<std::string> problem() const;
};

}  // namespace caldrovex
