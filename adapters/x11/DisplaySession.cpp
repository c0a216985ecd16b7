#include "adapters/x11/DisplaySession.h"

#include <cstdlib>

namespace caldrovex::platform {

namespace {

std::optional<std::string> variable(const char* name) {
    const char* value = std::getenv(name);
    if (!value || !*value) return std::nullopt;
    return std::string(value);
}

}  // namespace

DisplaySession DisplaySession::current() {
    return DisplaySession{variable("DISPLAY"), variable("WAYLAND_DISPLAY"),
                          variable("XDG_SESSION_TYPE")};
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
