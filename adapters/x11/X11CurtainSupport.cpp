#include "adapters/x11/X11CurtainSupport.h"

#include <X11/extensions/XInput2.h>
#include <X11/extensions/Xcomposite.h>
#include <X11/extensions/Xdamage.h>
#include <X11/extensions/Xfixes.h>
#include <X11/extensions/Xrender.h>
#include <X11/extensions/shape.h>

#include <string>
#include <vector>

#include "adapters/x11/X11Handles.h"

namespace caldrovex::platform {

namespace {

constexpr const char* kNoDisplay = "This computer's screen cannot be dimmed without an X display.";

bool atLeast(int major, int minor, int wantedMajor, int wantedMinor) {
    return major > wantedMajor || (major == wantedMajor && minor >= wantedMinor);
}

bool hasInput2(Display* d) {
    int opcode = 0;
    int event = 0;
    int error = 0;
    int major = 2;
    int minor = 0;
    return XQueryExtension(d, "XInputExtension", &opcode, &event, &error) &&
           XIQueryVersion(d, &major, &minor) == Success && major >= 2;
}

bool hasInputShapes(Display* d) {
    int event = 0;
    int error = 0;
    int major = 0;
    int minor = 0;
    return XShapeQueryExtension(d, &event, &error) && XShapeQueryVersion(d, &major, &minor) &&
           atLeast(major, minor, 1, 1);
}

}  // namespace

bool x11HasComposite(Display* d) {
    int event = 0;
    int error = 0;
    int major = 0;
    int minor = 2;
    return XCompositeQueryExtension(d, &event, &error) &&
           XCompositeQueryVersion(d, &major, &minor) && atLeast(major, minor, 0, 2);
}

std::optional<CaldrovexError> x11CurtainUnavailable(Display* d) {
    int event = 0;
    int error = 0;
    std::vector<std::string> missing;
    if (!x11HasComposite(d)) missing.push_back("Composite");
    if (!XRenderQueryExtension(d, &event, &error)) missing.push_back("RENDER");
    if (!XDamageQueryExtension(d, &event, &error)) missing.push_back("DAMAGE");
    if (!XFixesQueryExtension(d, &event, &error)) missing.push_back("XFIXES");
    if (!hasInput2(d)) missing.push_back("XInput2");
    if (!hasInputShapes(d)) missing.push_back("SHAPE");
    if (missing.empty()) return std::nullopt;
    std::string names = missing.front();
    for (size_t i = 1; i < missing.size(); ++i) {
        names += (i + 1 == missing.size() ? " and " : ", ") + missing[i];
    }
    return CaldrovexError("This computer's screen cannot be dimmed: the X display lacks the " +
                          names + (missing.size() > 1 ? " extensions." : " extension."));
}

std::optional<CaldrovexError> x11CurtainUnavailable(const std::string& displayName) {
    DisplayHandle display = openDisplay(displayName);
    if (!display) return CaldrovexError(kNoDisplay);
    return x11CurtainUnavailable(display.get());
}

}  // namespace caldrovex::platform
