#pragma once

#include <X11/Xlib.h>

#include <cstdint>
#include <memory>
#include <set>

namespace caldrovex::test {

// Plain top-level X windows that a test puts on the screen, each filled with one colour by
// the server (its background), so nothing has to paint them. They bypass any window manager
// (override-redirect), so they stay where they are put. Every window made here is destroyed
// with the object.
class TestWindows {
public:
    // Opens $DISPLAY; throws std::runtime_error without one.
    TestWindows();
    ~TestWindows();

    TestWindows(const TestWindows&) = delete;
    TestWindows& operator=(const TestWindows&) = delete;

    // A mapped opaque window on top of all, filled with `rgb` (0xRRGGBB).
    Window open(int x, int y, int width, int height, unsigned long rgb);
    // A mapped window with an alpha channel, filled with `argb` (premultiplied 0xAARRGGBB).
    Window openTranslucent(int x, int y, int width, int height, uint32_t argb);
    // A window inside `parent`, filled with `rgb`.
    Window openChild(Window parent, int x, int y, int width, int height, unsigned long rgb);

    void raise(Window window);
    void map(Window window);
    void unmap(Window window);
    void destroy(Window window);

    // The local screen: the pixel people at the computer see at (x, y), as 0xRRGGBB.
    unsigned long screenPixel(int x, int y);

    // Waits until the server has handled every request of this connection.
    void sync();
    Display* display() const { return display_.get(); }

private:
    struct Closer {
        void operator()(Display* display) const { XCloseDisplay(display); }
    };
    Window make(Window parent, int x, int y, int width, int height, unsigned long background);

    std::unique_ptr<Display, Closer> display_;
    std::set<Window> windows_;
};

}  // namespace caldrovex::test
