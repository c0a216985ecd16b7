#include "latency_bench/X11Canvas.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <stdexcept>

#include "latency_bench/MonotonicTime.h"

namespace caldrovex::bench {

X11Canvas::X11Canvas(const std::string& displayName, bool inWindow) : ownWindow_(inWindow) {
    display_ = platform::openDisplay(displayName);
    if (display_ == nullptr) throw std::runtime_error("cannot open display " + displayName);
    const int screen = DefaultScreen(display_.get());
    width_ = DisplayWidth(display_.get(), screen);
    height_ = DisplayHeight(display_.get(), screen);
    target_ = DefaultRootWindow(display_.get());
    if (ownWindow_) {
        // Override-redirect: no window manager moves it; mapped first, so it lies lowest.
        XSetWindowAttributes attributes{};
        attributes.override_redirect = True;
        target_ = XCreateWindow(display_.get(), target_, 0, 0, static_cast<unsigned>(width_),
                                static_cast<unsigned>(height_), 0, CopyFromParent, InputOutput,
                                CopyFromParent, CWOverrideRedirect, &attributes);
        XMapWindow(display_.get(), target_);
    }
    gc_ = XCreateGC(display_.get(), target_, 0, nullptr);
}

X11Canvas::~X11Canvas() {
    XFreeGC(display_.get(), gc_);
    if (ownWindow_) XDestroyWindow(display_.get(), target_);
}

PaintCanvas::Stamps X11Canvas::draw(const std::vector<FilledRect>& rects) {
    Stamps stamps;
    stamps.sentAt = monotonicNow();
    for (const FilledRect& rect : rects) {
        // A 24-bit TrueColor visual: the pixel value is the colour itself.
        const unsigned long pixel = (unsigned long)rect.colour[0] << 16 |
                                    (unsigned long)rect.colour[1] << 8 | rect.colour[2];
        XSetForeground(display_.get(), gc_, pixel);
        XFillRectangle(display_.get(), target_, gc_, rect.x, rect.y,
                       static_cast<unsigned>(rect.width), static_cast<unsigned>(rect.height));
    }
    // XSync returns once the server has handled the fills, i.e. the pixels are in its frame
    // buffer: from here on any grab sees them.
    XSync(display_.get(), False);
    stamps.drawnAt = monotonicNow();
    return stamps;
}

bool X11Canvas::placePointer(int x, int y) {
    XWarpPointer(display_.get(), None, DefaultRootWindow(display_.get()), 0, 0, 0, 0, x, y);
    XSync(display_.get(), False);
    return true;
}

std::array<uint8_t, 3> X11Canvas::colourAt(int x, int y) {
    platform::X11Ptr<XImage> image(XGetImage(display_.get(), DefaultRootWindow(display_.get()), x,
                                             y, 1, 1, AllPlanes, ZPixmap));
    if (!image) return {};
    const unsigned long pixel = XGetPixel(image.get(), 0, 0);
    return {static_cast<uint8_t>(pixel >> 16), static_cast<uint8_t>(pixel >> 8),
            static_cast<uint8_t>(pixel)};
}

}  // namespace caldrovex::bench
