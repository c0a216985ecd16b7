#pragma once

#include <memory>
#include <optional>
#include <string>

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

    // Why screen recording is impossible, when the platform knows better than "not allowed"
    // (no display at all, a desktop session the host cannot capture); told to a device that
    // asks for the screen. Nullopt: the host's own permission sentence applies.
    virtual std::optional<std::string> screenRecordingProblem() { return std::nullopt; }
};

using PermissionProbePtr = std::shared_ptr<PermissionProbe>;

}  // namespace caldrovex
