#include "adapters/x11/DisplaySession.h"
#include "platform/EnvironmentVariable.h"

namespace caldrovex::platform {

DisplaySession DisplaySession::current() {
    return DisplaySession{environmentVariable("DISPLAY"), environmentVariable("WAYLAND_DISPLAY"),
                          environmentVariable("XDG_SESSION_TYPE")};
}

bool DisplaySession::isWayland() const {
    return waylandDisplay.has_value() || sessionType == "wayland";
}

std::optional<std::string> DisplaySession::problem() const {
    if (isWayland()) return std::string(kWaylandMessage);
    if (!display) return std::string(kNoDisplayMessage);
    return std::nullopt;
}

std::string DisplaySession::unreachableMessage(const std::string& display) {
    return "The X display \"" + display +
           "\" cannot be opened: the host needs a logged-in X11 desktop session. Start it from "
           "that session.";
}

}  // namespace caldrovex::platform
