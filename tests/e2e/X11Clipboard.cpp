#include "e2e/X11Clipboard.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/Xfixes.h>
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

int millisecondsUntil(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return static_cast<int>(std::max<int64_t>(0, left.count()));
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
        if (!nextEvent(d, event, millisecondsUntil(deadline)) || event.type != SelectionNotify)
            continue;
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

X11Clipboard::OwnerWatch::OwnerWatch() : display_(platform::openDisplay()) {
    int errorBase = 0;
    if (!display_ || !XFixesQueryExtension(display_.get(), &eventBase_, &errorBase)) {
        display_.reset();
        return;
    }
    Display* d = display_.get();
    XFixesSelectSelectionInput(d, DefaultRootWindow(d), XInternAtom(d, "CLIPBOARD", False),
                               XFixesSetSelectionOwnerNotifyMask);
    XSync(d, False);  // selected before the constructor returns: no change is missed
}

X11Clipboard::OwnerWatch::~OwnerWatch() = default;

bool X11Clipboard::OwnerWatch::waitForNewOwner(std::chrono::milliseconds timeout) {
    if (!display_) return false;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    XEvent event;
    while (std::chrono::steady_clock::now() < deadline) {
        if (!nextEvent(display_.get(), event, millisecondsUntil(deadline))) continue;
        if (event.type != eventBase_ + XFixesSelectionNotify) continue;
        if (reinterpret_cast<XFixesSelectionNotifyEvent&>(event).owner != None) return true;
    }
    return false;
}

X11Clipboard::Owner::Owner(std::string text)
    : text_(std::move(text)), thread_([this] { serve(); }) {}

X11Clipboard::Owner::~Owner() {
    stop_ = true;
    thread_.join();
}

bool X11Clipboard::Owner::waitUntilOwning(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [this] { return owning_; });
}

int X11Clipboard::Owner::answered() {
    std::lock_guard lock(mutex_);
    return answered_;
}

bool X11Clipboard::Owner::waitForAnswerAfter(int count, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return answered_ > count; });
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
    {
        std::lock_guard lock(mutex_);
        owning_ = XGetSelectionOwner(d, clipboard) == window;
    }
    changed_.notify_all();
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
        if (request.target != targets && reply.property != None) {
            {
                std::lock_guard lock(mutex_);
                ++answered_;
            }
            changed_.notify_all();
        }
    }
}

}  // namespace caldrovex::test
