#include "support/TestWindows.h"

#include <X11/Xutil.h>

#include <stdexcept>

namespace caldrovex::test {

TestWindows::TestWindows() : display_(XOpenDisplay(nullptr)) {
    if (!display_) throw std::runtime_error("no X display: run under tests/run-with-xvfb");
}

TestWindows::~TestWindows() {
    for (Window window : windows_) XDestroyWindow(display_.get(), window);
    XSync(display_.get(), False);
}

Window TestWindows::make(Window parent, int x, int y, int width, int height,
                         unsigned long background) {
    Display* d = display_.get();
    XSetWindowAttributes attributes{};
    attributes.background_pixel = background;
    attributes.override_redirect = True;
    Window window = XCreateWindow(d, parent, x, y, static_cast<unsigned>(width),
                                  static_cast<unsigned>(height), 0, CopyFromParent, InputOutput,
                                  CopyFromParent, CWBackPixel | CWOverrideRedirect, &attributes);
    XMapWindow(d, window);
    if (parent == DefaultRootWindow(d)) windows_.insert(window);
    sync();
    return window;
}

Window TestWindows::open(int x, int y, int width, int height, unsigned long rgb) {
    return make(DefaultRootWindow(display_.get()), x, y, width, height, rgb);
}

Window TestWindows::openChild(Window parent, int x, int y, int width, int height,
                              unsigned long rgb) {
    return make(parent, x, y, width, height, rgb);
}

Window TestWindows::openTranslucent(int x, int y, int width, int height, uint32_t argb) {
    Display* d = display_.get();
    XVisualInfo visual{};
    if (!XMatchVisualInfo(d, DefaultScreen(d), 32, TrueColor, &visual)) {
        throw std::runtime_error("the X screen has no 32-bit visual");
    }
    Window root = DefaultRootWindow(d);
    XSetWindowAttributes attributes{};
    attributes.background_pixel = argb;
    attributes.border_pixel = 0;
    attributes.colormap = XCreateColormap(d, root, visual.visual, AllocNone);
    attributes.override_redirect = True;
    Window window =
        XCreateWindow(d, root, x, y, static_cast<unsigned>(width), static_cast<unsigned>(height), 0,
                      32, InputOutput, visual.visual,
                      CWBackPixel | CWBorderPixel | CWColormap | CWOverrideRedirect, &attributes);
    XMapWindow(d, window);
    windows_.insert(window);
    sync();
    return window;
}

void TestWindows::raise(Window window) {
    XRaiseWindow(display_.get(), window);
    sync();
}

void TestWindows::map(Window window) {
    XMapWindow(display_.get(), window);
    sync();
}

void TestWindows::unmap(Window window) {
    XUnmapWindow(display_.get(), window);
    sync();
}

void TestWindows::destroy(Window window) {
    XDestroyWindow(display_.get(), window);
    windows_.erase(window);
    sync();
}

unsigned long TestWindows::screenPixel(int x, int y) {
    Display* d = display_.get();
    XImage* image = XGetImage(d, DefaultRootWindow(d), x, y, 1, 1, AllPlanes, ZPixmap);
    if (image == nullptr) throw std::runtime_error("the root window could not be read");
    unsigned long pixel = XGetPixel(image, 0, 0) & 0xffffff;
    XDestroyImage(image);
    return pixel;
}

void TestWindows::sync() {
    XSync(display_.get(), False);
}

}  // namespace caldrovex::test
