#include "adapters/qt/SessionTexts.h"

#include "adapters/qt/QtPrivacyCurtain.h"

namespace caldrovex::platform {

SessionTexts SessionTexts::x11() {
    return {
        "Screen capture (X display)",
        "No X display with shared memory answers. Start Orvelo Host inside your X11 desktop "
        "session; there is nothing to grant.",
        "Input injection (XTEST)",
        "This X display has no XTEST extension, so remote control cannot work here. Viewing "
        "still does; there is nothing to grant.",
        "Viewing needs the X display. Control also needs XTEST. You can keep a connection view "
        "only.",
        {},
    };
}

SessionTexts SessionTexts::gnomeWayland() {
    return {
        "Screen sharing (GNOME)",
        "GNOME offers no screen cast on this session's bus. Start Orvelo Host inside your GNOME "
        "session, with PipeWire running; there is nothing to grant.",
        "Input (GNOME remote desktop)",
        "GNOME offers no remote-desktop session on this session's bus, so remote control cannot "
        "work here. Viewing still does; there is nothing to grant.",
        "Viewing needs GNOME's screen cast. Control also needs its remote desktop. You can keep "
        "a connection view only.",
        QtPrivacyCurtain::kWaylandSentence,
    };
}

}  // namespace caldrovex::platform
