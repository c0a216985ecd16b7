#include "app/DesktopPowerControl.h"

#include "adapters/dbus/LogindSession.h"

namespace caldrovex {

namespace {

constexpr const char* kInhibitWho = "Caldrovex Host";

}  // namespace

DesktopPowerControl::DesktopPowerControl(std::optional<std::string> display)
    : display_(std::move(display)) {}

DesktopPowerControl::~DesktopPowerControl() {
    if (!displayHolds_.empty()) display_.suspendScreenSaver(false);
}

uint32_t DesktopPowerControl::createAssertion(Assertion kind, const std::string& name) {
    const uint32_t id = nextID_++;
    if (kind == Assertion::preventIdleSystemSleep) {
        auto lock = platform::LogindSession::inhibit("sleep:idle", kInhibitWho, name);
        if (!lock.isValid()) return 0;
        inhibitors_.emplace(id, std::move(lock));
    } else {
        if (displayHolds_.empty()) display_.suspendScreenSaver(true);
        displayHolds_.insert(id);
    }
    return id;
}

void DesktopPowerControl::releaseAssertion(uint32_t id) {
    // Dropping the last copy of the descriptor closes it, which ends the inhibitor lock.
    inhibitors_.erase(id);
    if (displayHolds_.erase(id) != 0 && displayHolds_.empty()) display_.suspendScreenSaver(false);
}

bool DesktopPowerControl::displaysAwake() {
    return display_.displaysAwake();
}

void DesktopPowerControl::declareUserActivity(const std::string&) {
    display_.wake();
}

bool DesktopPowerControl::screenLocked() {
    return platform::LogindSession::lockedHint();
}

}  // namespace caldrovex
