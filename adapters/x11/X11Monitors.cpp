#include "adapters/x11/X11Monitors.h"

#include <X11/extensions/Xrandr.h>

#include <memory>

#include "adapters/x11/X11Handles.h"

namespace caldrovex::platform {

namespace {

// Monitors arrived with RandR 1.5.
bool hasMonitors(Display* display) {
    int eventBase = 0;
    int errorBase = 0;
    int major = 0;
    int minor = 0;
    return XRRQueryExtension(display, &eventBase, &errorBase) &&
           XRRQueryVersion(display, &major, &minor) && (major > 1 || (major == 1 && minor >= 5));
}

std::string outputName(Display* display, XRRScreenResources* resources, RROutput output) {
    if (resources == nullptr) {
        return {};
    }
    X11Ptr<XRROutputInfo> info(XRRGetOutputInfo(display, resources, output));
    return info && info->name != nullptr ? std::string(info->name, info->nameLen) : std::string();
}

std::vector<CaptureDisplay> monitors(Display* display) {
    std::vector<CaptureDisplay> result;
    if (!hasMonitors(display)) {
        return result;
    }
    Window root = DefaultRootWindow(display);
    int count = 0;
    X11Ptr<XRRMonitorInfo> list(XRRGetMonitors(display, root, True, &count));
    X11Ptr<XRRScreenResources> resources(XRRGetScreenResourcesCurrent(display, root));
    for (int i = 0; list && i < count; ++i) {
        const XRRMonitorInfo& monitor = list.get()[i];
        if (monitor.noutput < 1 || monitor.width <= 0 || monitor.height <= 0) {
            continue;
        }
        RROutput output = monitor.outputs[0];
        CaptureDisplay entry{static_cast<uint32_t>(output),
                             outputName(display, resources.get(), output),
                             monitor.x,
                             monitor.y,
                             monitor.width,
                             monitor.height};
        if (monitor.primary) {
            result.insert(result.begin(), std::move(entry));
        } else {
            result.push_back(std::move(entry));
        }
    }
    return result;
}

}  // namespace

std::vector<CaptureDisplay> x11CaptureDisplays(Display* display) {
    std::vector<CaptureDisplay> result = monitors(display);
    if (result.empty()) {
        int screen = DefaultScreen(display);
        result.push_back(CaptureDisplay{
            0, {}, 0, 0, DisplayWidth(display, screen), DisplayHeight(display, screen)});
    }
    return result;
}

}  // namespace caldrovex::platform
