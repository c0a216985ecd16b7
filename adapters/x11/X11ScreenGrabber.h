#pragma once

#include <X11/Xlib.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xfixes.h>

#include <cstdint>
#include <memory>

#include "adapters/x11/X11Handles.h"
#include "video/RowBands.h"

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
    // rectangle is no longer inside the screen). With `rows`, copies only those rows (of the
    // rectangle) and keeps the others as the last grab left them.
    bool grab();
    bool grab(const RowBands& rows);

    // Copies `source`, a drawable of the rectangle's size and the root's depth whose corner
    // stands for the rectangle's (a picture composed off screen); false when refused.
    bool grabFrom(Drawable source);
    bool grabFrom(Drawable source, const RowBands& rows);

    // Learns how the pointer looks and where it stands now; returns the rows of the rectangle
    // it covers (none when it lies outside). `drawCursor` draws what was learnt last.
    RowBands locateCursor();

    // Draws the pointer over the last grab, as `locateCursor` learnt it (learning it first
    // when that was not called since the last draw). Returns the rows of the rectangle it
    // was drawn over.
    RowBands drawCursor();

    // Whether the pointer's image, at its current position, touches the rectangle.
    bool cursorInside();

    const uint8_t* pixels() const;
    int stride() const;
    int width() const { return width_; }
    int height() const { return height_; }

private:
    bool copy(Drawable source, int x, int y, const RowBands& rows);
    RowBands cursorRows() const;

    Display* display_;
    int x_;
    int y_;
    int width_;
    int height_;
    XShmSegmentInfo segment_{};
    bool attached_ = false;
    X11Ptr<XImage> image_;
    X11Ptr<XFixesCursorImage> cursor_;  // learnt, not yet drawn
};

}  // namespace caldrovex::platform
