#include "adapters/x11/X11DisplayPower.h"

#include <X11/extensions/Xrandr.h>
#include <X11/extensions/dpms.h>
#include <X11/extensions/scrnsaver.h>

#include "adapters/x11/X11ErrorTrap.h"

namespace caldrovex::platform {

namespace {

// Whether DPMS runs on this server and has the monitors in a power-saving level. Disabling
// DPMS turns the monitors on, so only an enabled DPMS can hold them off.
bool dpmsSaving(Display* display) {
    int event = 0;
    int error = 0;
    if (!DPMSQueryExtension(display, &event, &error) || !DPMSCapable(display)) return false;
    CARD16 level = DPMSModeOn;
    BOOL enabled = False;
    DPMSInfo(display, &level, &enabled);
    return enabled && level != DPMSModeOn;
}

bool hasRandr(Display* display) {
    int event = 0;
    int error = 0;
    return XRRQueryExtension(display, &event, &error);
}

}  // namespace

X11DisplayPower::X11DisplayPower(std::optional<std::string> display)
    : display_(openDisplay(display)) {
    if (display_) trap_ = std::make_unique<X11ErrorTrap>(display_.get());
}

X11DisplayPower::~X11DisplayPower() = default;

void X11DisplayPower::suspendScreenSaver(bool suspend) {
    if (!display_) return;
    int event = 0;
    int error = 0;
    // Suspending the screen saver also stops the DPMS timers on servers that have them.
    if (XScreenSaverQueryExtension(display_.get(), &event, &error))
        XScreenSaverSuspend(display_.get(), suspend ? True : False);
    XFlush(display_.get());
}

bool X11DisplayPower::displaysAwake() {
    if (!display_) return true;
    Display* display = display_.get();
    if (hasRandr(display)) {
        int count = 0;
        X11Ptr<XRRMonitorInfo> monitors(
            XRRGetMonitors(display, DefaultRootWindow(display), True, &count));
        if (count == 0) return false;
    }
    return !dpmsSaving(display);
}

void X11DisplayPower::wake() {
    if (!display_) return;
    Display* display = display_.get();
    XResetScreenSaver(display);
    // Forcing a level while DPMS is disabled is a protocol error, and then nothing is off.
    if (dpmsSaving(display)) DPMSForceLevel(display, DPMSModeOn);
    XFlush(display);
}

}  // namespace caldrovex::platform
