#include "adapters/x11/X11TopmostKeeper.h"

#include <algorithm>

#include "adapters/x11/X11ErrorTrap.h"

namespace caldrovex::platform {

std::unique_ptr<X11TopmostKeeper> X11TopmostKeeper::open(
    const std::optional<std::string>& displayName) {
    Display* display = XOpenDisplay(displayName ? displayName->c_str() : nullptr);
    if (display == nullptr) return nullptr;
    return std::unique_ptr<X11TopmostKeeper>(new X11TopmostKeeper(display));
}

X11TopmostKeeper::X11TopmostKeeper(Display* display) : display_(display) {
    XSelectInput(display_, DefaultRootWindow(display_), SubstructureNotifyMask);
    XFlush(display_);
}

X11TopmostKeeper::~X11TopmostKeeper() {
    XCloseDisplay(display_);
}

int X11TopmostKeeper::descriptor() const {
    return ConnectionNumber(display_);
}

void X11TopmostKeeper::keep(std::vector<uint32_t> windowIDs) {
    kept_.assign(windowIDs.begin(), windowIDs.end());
    raise();
    handlePending();
}

// Whether some window that is not kept lies above the lowest kept one.
bool X11TopmostKeeper::othersAbove() {
    Window root = 0;
    Window parent = 0;
    Window* children = nullptr;
    unsigned count = 0;
    if (XQueryTree(display_, DefaultRootWindow(display_), &root, &parent, &children, &count) == 0) {
        return false;
    }
    bool above = false;
    bool seenKept = false;
    // Bottom first: a window after a kept one lies above it.
    for (unsigned i = 0; i < count && !above; ++i) {
        bool kept = std::find(kept_.begin(), kept_.end(), children[i]) != kept_.end();
        above = seenKept && !kept;
        seenKept = seenKept || kept;
    }
    if (children != nullptr) XFree(children);
    return above;
}

void X11TopmostKeeper::raise() {
    if (kept_.empty()) return;
    // A kept window may be gone already; that costs nothing but its own raise.
    X11ErrorTrap trap(display_);
    for (Window window : kept_) XRaiseWindow(display_, window);
    trap.check();
}

void X11TopmostKeeper::handlePending() {
    bool restacked = false;
    while (XPending(display_) > 0) {
        XEvent event;
        XNextEvent(display_, &event);
        Window subject = None;
        if (event.type == MapNotify) subject = event.xmap.window;
        if (event.type == ConfigureNotify) subject = event.xconfigure.window;
        if (event.type == CirculateNotify) subject = event.xcirculate.window;
        if (subject != None && std::find(kept_.begin(), kept_.end(), subject) == kept_.end()) {
            restacked = true;
        }
    }
    if (restacked && !kept_.empty() && othersAbove()) {
        raise();
        // The raise's own events are about kept windows: read and dropped.
        handlePending();
    }
}

}  // namespace caldrovex::platform
