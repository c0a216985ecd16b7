#pragma once

#include <memory>

namespace caldrovex {

// Asks the platform whether the host may do what a session needs: capture the screen, and
// inject keyboard and pointer events. Called by the host controller on the main queue at
// creation and on every tick (every 3 seconds), so each answer should be cheap.
//
// Implementations: platform::X11PermissionProbe; tests use a fake with settable answers.
class PermissionProbe {
public:
    virtual ~PermissionProbe() = default;

    // Screen recording is possible.
    virtual bool screenRecording() = 0;
    // Event injection is possible.
    virtual bool accessibility() = 0;
};

using PermissionProbePtr = std::shared_ptr<PermissionProbe>;

}  // namespace caldrovex
