#pragma once

#include <X11/Xlib.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace caldrovex::platform {

// Keeps chosen top-level windows above all others. Override-redirect windows have no stacking
// layer: any window mapped or raised later (a menu the device opens, a window the window
// manager raises) would lie above them. So the keeper watches the root's children
// (SubstructureNotify) and, whenever another window is mapped, restacked or circulated and
// one of the kept windows is no longer above all others, raises the kept windows again, in
// their order.
//
// Driven by its owner's event loop: when `descriptor` is readable, call `handlePending`.
// Used by one thread.
class X11TopmostKeeper {
public:
    // Null when the display cannot be opened. `displayName`: nullopt means $DISPLAY.
    static std::unique_ptr<X11TopmostKeeper> open(const std::optional<std::string>& displayName);
    ~X11TopmostKeeper();

    X11TopmostKeeper(const X11TopmostKeeper&) = delete;
    X11TopmostKeeper& operator=(const X11TopmostKeeper&) = delete;

    // The connection's descriptor, readable when events wait.
    int descriptor() const;

    // Keeps `windows` on top (the last one topmost) from now on, raising them at once; an
    // empty list keeps nothing.
    void keep(std::vector<Window> windows);

    // Reads the events that came and raises the kept windows when another went above them.
    void handlePending();

private:
    explicit X11TopmostKeeper(Display* display);
    bool othersAbove();
    void raise();

    Display* display_;
    std::vector<Window> kept_;
};

}  // namespace caldrovex::platform
