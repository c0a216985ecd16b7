#include "adapters/x11/X11WindowStack.h"

#include <algorithm>

namespace caldrovex::platform {

void X11WindowStack::reset(std::vector<TopWindow> bottomToTop) {
    windows_ = std::move(bottomToTop);
}

const X11WindowStack::TopWindow* X11WindowStack::find(Window id) const {
    auto found = std::find_if(windows_.begin(), windows_.end(),
                              [id](const TopWindow& w) { return w.id == id; });
    return found == windows_.end() ? nullptr : &*found;
}

X11WindowStack::TopWindow* X11WindowStack::lookup(Window id) {
    return const_cast<TopWindow*>(find(id));
}

void X11WindowStack::setGeometry(Window id, int x, int y, int width, int height, int border) {
    if (TopWindow* w = lookup(id)) {
        w->x = x;
        w->y = y;
        w->width = width;
        w->height = height;
        w->border = border;
    }
}

bool X11WindowStack::placeAbove(Window id, Window below) {
    auto from = std::find_if(windows_.begin(), windows_.end(),
                             [id](const TopWindow& w) { return w.id == id; });
    if (from == windows_.end()) {
        return false;
    }
    TopWindow moving = *from;
    size_t oldIndex = static_cast<size_t>(from - windows_.begin());
    windows_.erase(from);
    size_t index = 0;
    if (below != None) {
        auto under = std::find_if(windows_.begin(), windows_.end(),
                                  [below](const TopWindow& w) { return w.id == below; });
        // A sibling this list has not heard of yet can only be a newer window, which was
        // created on top.
        index = under == windows_.end() ? windows_.size()
                                        : static_cast<size_t>(under - windows_.begin()) + 1;
    }
    windows_.insert(windows_.begin() + static_cast<ptrdiff_t>(index), moving);
    return index != oldIndex;
}

std::optional<X11WindowStack::Update> X11WindowStack::configure(const XConfigureEvent& event) {
    TopWindow* w = lookup(event.window);
    if (w == nullptr) {
        return std::nullopt;
    }
    bool resized =
        w->width != event.width || w->height != event.height || w->border != event.border_width;
    bool moved = w->x != event.x || w->y != event.y;
    w->x = event.x;
    w->y = event.y;
    w->width = event.width;
    w->height = event.height;
    w->border = event.border_width;
    bool restacked = placeAbove(event.window, event.above);
    if (resized) return Update{event.window, Change::resized};
    if (moved) return Update{event.window, Change::moved};
    if (restacked) return Update{event.window, Change::restacked};
    return std::nullopt;
}

std::optional<X11WindowStack::Update> X11WindowStack::apply(const XEvent& event, Window root) {
    switch (event.type) {
        case CreateNotify: {
            const XCreateWindowEvent& e = event.xcreatewindow;
            if (e.parent != root || find(e.window) != nullptr) return std::nullopt;
            // New windows are created on top of their siblings.
            windows_.push_back(TopWindow{e.window, e.x, e.y, e.width, e.height, e.border_width});
            return Update{e.window, Change::added};
        }
        case DestroyNotify: {
            const XDestroyWindowEvent& e = event.xdestroywindow;
            auto before = windows_.size();
            std::erase_if(windows_, [&](const TopWindow& w) { return w.id == e.window; });
            if (windows_.size() == before) return std::nullopt;
            return Update{e.window, Change::removed};
        }
        case ReparentNotify: {
            const XReparentEvent& e = event.xreparent;
            if (e.parent == root) {
                if (find(e.window) != nullptr) return std::nullopt;
                // Its size is not in the event; the owner asks the server before drawing it.
                windows_.push_back(TopWindow{e.window, e.x, e.y, 0, 0, 0});
                return Update{e.window, Change::added};
            }
            auto before = windows_.size();
            std::erase_if(windows_, [&](const TopWindow& w) { return w.id == e.window; });
            if (windows_.size() == before) return std::nullopt;
            return Update{e.window, Change::removed};
        }
        case MapNotify:
        case UnmapNotify: {
            bool mapped = event.type == MapNotify;
            Window id = mapped ? event.xmap.window : event.xunmap.window;
            TopWindow* w = lookup(id);
            if (w == nullptr || w->mapped == mapped) return std::nullopt;
            w->mapped = mapped;
            return Update{id, mapped ? Change::mapped : Change::unmapped};
        }
        case ConfigureNotify:
            return configure(event.xconfigure);
        case GravityNotify: {
            const XGravityEvent& e = event.xgravity;
            TopWindow* w = lookup(e.window);
            if (w == nullptr || (w->x == e.x && w->y == e.y)) return std::nullopt;
            w->x = e.x;
            w->y = e.y;
            return Update{e.window, Change::moved};
        }
        case CirculateNotify: {
            const XCirculateEvent& e = event.xcirculate;
            auto from = std::find_if(windows_.begin(), windows_.end(),
                                     [&](const TopWindow& w) { return w.id == e.window; });
            if (from == windows_.end()) return std::nullopt;
            TopWindow moving = *from;
            windows_.erase(from);
            if (e.place == PlaceOnTop) {
                windows_.push_back(moving);
            } else {
                windows_.insert(windows_.begin(), moving);
            }
            return Update{e.window, Change::restacked};
        }
        default:
            return std::nullopt;
    }
}

}  // namespace caldrovex::platform
