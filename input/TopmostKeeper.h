#pragma once

#include <cstdint>
#include <vector>

namespace caldrovex {

// Keeps chosen top-level windows above all others, even above windows that are mapped or
// raised after them (a menu the device opens, a window the window manager raises). The
// curtain's windows need it: they bypass the window manager and so have no stacking layer of
// their own.
//
// Driven by its owner's event loop: when `descriptor` is readable, call `handlePending`.
// Used by one thread.
class TopmostKeeper {
public:
    virtual ~TopmostKeeper() = default;

    // A descriptor that is readable when the keeper has events to read.
    virtual int descriptor() const = 0;

    // Keeps `windowIDs` (X11 window ids) on top from now on, the last one topmost, raising
    // them at once; an empty list keeps nothing.
    virtual void keep(std::vector<uint32_t> windowIDs) = 0;

    // Reads the events that came and raises the kept windows when another went above them.
    virtual void handlePending() = 0;
};

}  // namespace caldrovex
