#pragma once

#include <QDBusUnixFileDescriptor>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "adapters/x11/X11DisplayPower.h"
#include "host/PowerControl.h"

namespace caldrovex {

// Power control on a Linux desktop: idle system sleep is held off by a logind inhibitor lock
// ("sleep:idle"), idle display sleep by suspending the X screen saver and DPMS timers; user
// activity resets the screen saver and forces the monitors on; the lock state is logind's
// LockedHint. Used on the main queue.
class DesktopPowerControl final : public PowerControl {
public:
    // `display`: an X display name; nullopt means $DISPLAY.
    explicit DesktopPowerControl(std::optional<std::string> display = std::nullopt);
    ~DesktopPowerControl() override;

    uint32_t createAssertion(Assertion kind, const std::string& name) override;
    void releaseAssertion(uint32_t id) override;
    bool displaysAwake() override;
    void declareUserActivity(const std::string& name) override;
    bool screenLocked() override;

private:
    platform::X11DisplayPower display_;
    uint32_t nextID_ = 1;
    // Held inhibitor locks by assertion id; closing the descriptor releases the lock.
    std::map<uint32_t, QDBusUnixFileDescriptor> inhibitors_;
    // Assertions that keep the screen saver suspended.
    std::set<uint32_t> displayHolds_;
};

}  // namespace caldrovex
