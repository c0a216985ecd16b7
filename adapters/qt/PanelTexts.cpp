#include "adapters/qt/PanelTexts.h"

namespace caldrovex::platform {

std::string PanelTexts::relayText(const RelayStatus& status, bool relayEnabled) {
    switch (status.kind) {
        case RelayStatus::Kind::off:
            return relayEnabled ? "Starts when sharing is on" : "Off \u00b7 private networks only";
        case RelayStatus::Kind::idle:
            return "Ready \u00b7 used once a device is paired";
        case RelayStatus::Kind::connecting:
            return "Connecting\u2026";
        case RelayStatus::Kind::ready:
            return "Reachable from anywhere, no VPN needed";
        case RelayStatus::Kind::unreachable:
            return "Not reachable right now \u00b7 " + status.message;
    }
    return {};
}

}  // namespace caldrovex::platform
