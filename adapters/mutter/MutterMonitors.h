#pragma once

#include <gio/gio.h>

#include <cstdint>
#include <string>
#include <vector>

#include "video/CaptureDisplay.h"

namespace caldrovex::platform {

// One monitor of the compositor's current layout: the connector that names it to the screen
// cast, and the display as the host lists it (id from the connector, named after it, its
// logical position, its size in the pixels of its current mode).
struct MutterMonitor {
    std::string connector;
    CaptureDisplay display;
    bool primary = false;
};

// The monitors in use, the primary one first, from the display configuration's current
// state. Throws CaldrovexError when the compositor does not answer.
std::vector<MutterMonitor> mutterMonitors(GDBusConnection* connection);

// The same list from a GetCurrentState reply; monitors outside every logical monitor (turned
// off) are left out.
std::vector<MutterMonitor> monitorsFromState(GVariant* state);

// A display id that stays the same for a connector from one run to the next (and never 0):
// the 32-bit FNV-1a hash of its name.
uint32_t displayIDOf(const std::string& connector);

}  // namespace caldrovex::platform
