#include "app/X11CurtainPlatform.h"

#include "adapters/x11/X11CurtainSupport.h"
#include "adapters/x11/X11TopmostKeeper.h"

namespace caldrovex {

platform::QtPrivacyCurtain::Platform x11CurtainPlatform() {
    return {
        [](const std::string& displayName) { return platform::x11CurtainUnavailable(displayName); },
        [](const std::string& displayName) -> std::unique_ptr<TopmostKeeper> {
            return platform::X11TopmostKeeper::open(displayName);
        }};
}

}  // namespace caldrovex
