#pragma once

#include <X11/Xlib.h>
#include <X11/extensions/XShm.h>

#include <cstdint>
#include <memory>

#include "adapters/x11/X11Handles.h"

namespace caldrovex::platform {

// Copies one rectangle of the root window (or a picture of it composed off screen) into a
// shared-memory image, and draws the pointer into it. The image's pixels are 32 bits each,
// bytes B, G, R, unused (the layout of every 24- and 32-bit TrueColor screen on a
// little-endian machine).
//
// Used by one thread, the owner of `display`, which must outlive the grabber. Requests that
// the server refuses are reported through the connection's X11ErrorTrap, which the owner sets
// up before creating a grabber.
class X11ScreenGrabber {
public:
    // Throws CaldrovexError when the screen cannot be grabbed this way.
    X11ScreenGrabber(Display* display, int x, int y, int width, int height);
    ~X11ScreenGrabber();

    X11ScreenGrabber(const X11ScreenGrabber&) = delete;
    X11ScreenGrabber& operator=(const X11ScreenGrabber&) = delete;

    // Copies the rectangle as it is on screen now; false when the server refused (the
    // rectangle is no longer inside the screen).
    bool grab();

    // Copies `source`, a drawable of the rectangle's size and the root's depth whose corner
    // stands for the rectangle's (a picture composed off screen); false when refused.
    bool grabFrom(Drawable source);

    // Draws the pointer as it looks and stands now over the last grab. Returns whether any of
    // it lies inside the rectangle.
    bool drawCursor();

    // Whether the pointer's image, at its current position, touches the rectangle.
    bool cursorInside();

    const uint8_t* pixels() const;
    int stride() const;
    int width() const { return width_; }
    int height() const { return height_; }

private:
    Display* display_;
    int x_;
    int y_;
    int width_;
    int height_;
    XShmSegmentInfo segment_{};
    bool attached_ = false;
    X11Ptr<XImage> image_;
};

}  // namespace caldrovex::platform
