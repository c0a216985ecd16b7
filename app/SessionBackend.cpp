#include "app/SessionBackend.h"

namespace caldrovex {

SessionBackend SessionBackend::choose(const Facts& facts) {
    // The session type is the login manager's word; a Wayland socket alone counts only when
    // the session type is not given (a session started by hand).
    const bool wayland =
        facts.sessionType ? *facts.sessionType == "wayland" : facts.waylandDisplay.has_value();
    if (!wayland) return SessionBackend{Kind::x11};
    return SessionBackend{facts.gnomeRemoteDesktop ? Kind::gnomeWayland : Kind::unsupportedWayland};
}

std::optional<std::string> SessionBackend::problem() const {
    if (kind == Kind::unsupportedWayland) return std::string(kUnsupportedWayland);
    return std::nullopt;
}

}  // namespace caldrovex
