#pragma once

#include <string>

#include "reach/RelayStatus.h"

namespace caldrovex::platform {

// The sentences the panel derives from the published state, shared with the headless
// host's status lines so that both say the same thing. Pure.
class PanelTexts {
public:
    PanelTexts() = delete;

    // The relay row's line under "Orvelo Connect".
    static std::string relayText(const RelayStatus& status, bool relayEnabled);
};

}  // namespace caldrovex::platform
