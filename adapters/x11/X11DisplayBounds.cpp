#include "adapters/x11/X11DisplayBounds.h"

#include <X11/extensions/Xrandr.h>

#include <memory>
#include <optional>

#include "adapters/x11/X11Handles.h"

namespace caldrovex::platform {

namespace {

using Resources = X11Ptr<XRRScreenResources>;

bool hasRandr(Display* display) {
    int eventBase = 0;
    int errorBase = 0;
    return XRRQueryExtension(display, &eventBase, &errorBase);
}

Resources resources(Display* display) {
    if (!hasRandr(display)) {
        return nullptr;
    }
    return Resources(XRRGetScreenResourcesCurrent(display, DefaultRootWindow(display)));
}

// The rectangle of an output that is switched on and shows something.
std::optional<DisplayRect> outputRect(Display* display, XRRScreenResources* res, RROutput output) {
    bool listed = false;
    for (int i = 0; i < res->noutput; ++i) {
        listed = listed || res->outputs[i] == output;
    }
    if (!listed) {
        return std::nullopt;
    }
    X11Ptr<XRROutputInfo> info(XRRGetOutputInfo(display, res, output));
    if (!info || info->connection == RR_Disconnected || info->crtc == None) {
        return std::nullopt;
    }
    X11Ptr<XRRCrtcInfo> crtc(XRRGetCrtcInfo(display, res, info->crtc));
    if (!crtc || crtc->width == 0 || crtc->height == 0) {
        return std::nullopt;
    }
    return DisplayRect{static_cast<double>(crtc->x), static_cast<double>(crtc->y),
                       static_cast<double>(crtc->width), static_cast<double>(crtc->height)};
}

uint32_t mainOutput(Display* display, XRRScreenResources* res) {
    const RROutput primary = XRRGetOutputPrimary(display, DefaultRootWindow(display));
    if (primary != None && outputRect(display, res, primary)) {
        return static_cast<uint32_t>(primary);
    }
    for (int i = 0; i < res->noutput; ++i) {
        if (outputRect(display, res, res->outputs[i])) {
            return static_cast<uint32_t>(res->outputs[i]);
        }
    }
    return 0;
}

}  // namespace

uint32_t x11MainDisplayID(Display* display) {
    const Resources res = resources(display);
    return res ? mainOutput(display, res.get()) : 0;
}

DisplayRect x11DisplayBounds(Display* display, uint32_t displayID) {
    if (const Resources res = resources(display)) {
        if (displayID != 0) {
            if (auto rect = outputRect(display, res.get(), displayID)) {
                return *rect;
            }
        }
        if (const uint32_t main = mainOutput(display, res.get())) {
            return *outputRect(display, res.get(), main);
        }
    }
    const int screen = DefaultScreen(display);
    return DisplayRect{0, 0, static_cast<double>(DisplayWidth(display, screen)),
                       static_cast<double>(DisplayHeight(display, screen))};
}

}  // namespace caldrovex::platform
