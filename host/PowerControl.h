#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace caldrovex {

// What a session asks of the machine's power management: stay awake while a device watches,
// wake the displays for a new stream, and whether the login session's screen is locked.
// Used by the host controller on the main queue; each call returns promptly.
//
// Implementations: platform::DesktopPowerControl (logind and the X screen saver); tests use
// a fake.
class PowerControl {
public:
    enum class Assertion {
        // The machine must not go to sleep for being idle.
        preventIdleSystemSleep,
        // The displays must not blank or power down for being idle.
        preventIdleDisplaySleep,
    };

    virtual ~PowerControl() = default;

    // Takes an assertion named `name` (shown to the user by system tools); returns its id,
    // or 0 when the system refused it.
    virtual uint32_t createAssertion(Assertion kind, const std::string& name) = 0;
    // Gives back an assertion `createAssertion` returned.
    virtual void releaseAssertion(uint32_t id) = 0;

    // At least one display is active and the main display is not asleep.
    virtual bool displaysAwake() = 0;
    // Tells the system a local user is active: blanked displays come back on.
    virtual void declareUserActivity(const std::string& name) = 0;
    // The login session's screen is locked (false when that cannot be told).
    virtual bool screenLocked() = 0;
};

using PowerControlPtr = std::shared_ptr<PowerControl>;

}  // namespace caldrovex
