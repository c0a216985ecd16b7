#pragma once

#include <memory>

#include "adapters/mutter/MutterDesktop.h"
#include "host/PermissionProbe.h"

namespace caldrovex::platform {

// The GNOME Wayland answers to the host's permission questions. The compositor asks nobody
// for consent on its own remote-desktop road, so what can be missing is the road itself:
//  - screen sharing is available when the compositor offers screen casts and its display
//    configuration on the session bus;
//  - input is available when it offers remote-desktop sessions.
// Each answer asks the bus which names have an owner: cheap enough for every tick.
class MutterPermissionProbe final : public PermissionProbe {
public:
    explicit MutterPermissionProbe(std::shared_ptr<MutterDesktop> desktop)
        : desktop_(std::move(desktop)) {}

    bool screenRecording() override { return desktop_->offersScreenCast(); }
    bool accessibility() override { return desktop_->offersRemoteDesktop(); }

private:
    std::shared_ptr<MutterDesktop> desktop_;
};

}  // namespace caldrovex::platform
