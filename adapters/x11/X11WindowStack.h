#pragma once

#include <X11/Xlib.h>

#include <optional>
#include <vector>

namespace caldrovex::platform {

// The root window's children (the top-level windows) in stacking order, bottom first, as a
// client that selected SubstructureNotify on the root learns them: loaded once from
// XQueryTree, then kept up to date from the events alone, without asking the server.
//
// A pure model: it sends no request, so it can be fed synthetic events. Geometry is the
// window's outer rectangle as the events report it (x, y of the border's corner; width and
// height inside the border).
class X11WindowStack {
public:
    struct TopWindow {
        Window id = 0;
        int x = 0;
        int y = 0;
        int width = 0;
        int height = 0;
        int border = 0;
        bool mapped = false;

        // The rectangle the window covers on the root, border included.
        int outerWidth() const { return width + 2 * border; }
        int outerHeight() const { return height + 2 * border; }
    };

    // What an event did to one window.
    enum class Change {
        added,      // a new (unmapped) top-level window
        removed,    // destroyed or reparented away from the root
        mapped,     // now viewable
        unmapped,   // no longer viewable
        moved,      // position changed, size unchanged
        resized,    // size or border changed (its contents were reallocated)
        restacked,  // moved in the stacking order
    };
    struct Update {
        Window window = 0;
        Change change = Change::added;
    };

    // Replaces the list; `bottomToTop` in XQueryTree's order.
    void reset(std::vector<TopWindow> bottomToTop);

    // Applies one event reported on the root window. Returns what changed, nullopt when the
    // event is not about a top-level window or changes nothing. A configure event that both
    // moves or resizes and restacks reports the geometry change.
    std::optional<Update> apply(const XEvent& event, Window root);

    // Sets a window's geometry as the server reported it when asked directly.
    void setGeometry(Window id, int x, int y, int width, int height, int border);

    const std::vector<TopWindow>& bottomToTop() const { return windows_; }
    const TopWindow* find(Window id) const;

private:
    TopWindow* lookup(Window id);
    // Moves `id` right above `below` (to the bottom when `below` is None or unknown).
    bool placeAbove(Window id, Window below);
    std::optional<Update> configure(const XConfigureEvent& event);

    std::vector<TopWindow> windows_;
};

}  // namespace caldrovex::platform
