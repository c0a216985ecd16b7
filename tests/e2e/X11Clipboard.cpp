#include "e2e/X11Clipboard.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <poll.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "adapters/x11/X11Handles.h"

namespace caldrovex::test {

namespace {

Window makeWindow(Display* display) {
    return XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 1, 1, 0, 0, 0);
}

// Waits for the display's next event, up to `milliseconds`; false on timeout.
bool nextEvent(Display* display, XEvent& event, int milliseconds) {
    if (XPending(display) == 0) {
        pollfd descriptor{ConnectionNumber(display), POLLIN, 0};
        if (poll(&descriptor, 1, milliseconds) <= 0) return false;
        if (XPending(display) == 0) return false;
    }
    XNextEvent(display, &event);
    return true;
}

}  // namespace

std::optional<std::string> X11Clipboard::read(std::chrono::milliseconds timeout) {
    auto display = platform::openDisplay();
    if (!display) return std::nullopt;
    Display* d = display.get();
    const Window window = makeWindow(d);
    const Atom clipboard = XInternAtom(d, "CLIPBOARD", False);
    const Atom utf8 = XInternAtom(d, "UTF8_STRING", False);
    const Atom property = XInternAtom(d, "CALDROVEX_TEST_CLIPBOARD", False);
    XConvertSelection(d, clipboard, utf8, property, window, CurrentTime);
    XFlush(d);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    XEvent event;
    while (std::chrono::steady_clock::now() < deadline) {
        if (!nextEvent(d, event, 100) || event.type != SelectionNotify) continue;
        if (event.xselection.property == None) return std::nullopt;
        Atom type = None;
        int format = 0;
        unsigned long count = 0;
        unsigned long remaining = 0;
        unsigned char* data = nullptr;
        XGetWindowProperty(d, window, property, 0, 1 << 20, True, AnyPropertyType, &type, &format,
                           &count, &remaining, &data);
        platform::X11Ptr<unsigned char> owned(data);
        return std::string(reinterpret_cast<char*>(data), count);
    }
    return std::nullopt;
}

X11Clipboard::Owner::Owner(std::string text)
    : text_(std::move(text)), thread_([this] { serve(); }) {}

X11Clipboard::Owner::~Owner() {
    stop_ = true;
    thread_.join();
}

void X11Clipboard::Owner::serve() {
    auto display = platform::openDisplay();
    if (!display) return;
    Display* d = display.get();
    const Window window = makeWindow(d);
    const Atom clipboard = XInternAtom(d, "CLIPBOARD", False);
    const Atom targets = XInternAtom(d, "TARGETS", False);
    const std::vector<Atom> texts{XInternAtom(d, "UTF8_STRING", False), XA_STRING,
                                  XInternAtom(d, "text/plain;charset=utf-8", False),
                                  XInternAtom(d, "text/plain", False)};
    XSetSelectionOwner(d, clipboard, window, CurrentTime);
    XSync(d, False);
    owning_ = XGetSelectionOwner(d, clipboard) == window;
    XEvent event;
    while (!stop_) {
        if (!nextEvent(d, event, 50) || event.type != SelectionRequest) continue;
        const XSelectionRequestEvent& request = event.xselectionrequest;
        XSelectionEvent reply{};
        reply.type = SelectionNotify;
        reply.requestor = request.requestor;
        reply.selection = request.selection;
        reply.target = request.target;
        reply.time = request.time;
        reply.property = request.property == None ? request.target : request.property;
        if (request.target == targets) {
            std::vector<Atom> offered{targets};
            offered.insert(offered.end(), texts.begin(), texts.end());
            XChangeProperty(d, request.requestor, reply.property, XA_ATOM, 32, PropModeReplace,
                            reinterpret_cast<const unsigned char*>(offered.data()),
                            static_cast<int>(offered.size()));
        } else if (std::find(texts.begin(), texts.end(), request.target) != texts.end()) {
            XChangeProperty(d, request.requestor, reply.property, request.target, 8,
                            PropModeReplace, reinterpret_cast<const unsigned char*>(text_.data()),
                            static_cast<int>(text_.size()));
        } else {
            reply.property = None;
        }
        XSendEvent(d, request.requestor, False, NoEventMask, reinterpret_cast<XEvent*>(&reply));
        XFlush(d);
    }
}

}  // namespace caldrovex::test
