#include "adapters/x11/X11ErrorTrap.h"

#include <map>
#include <mutex>

namespace caldrovex::platform {

namespace {

struct Registry {
    std::mutex mutex;
    std::map<Display*, int> firstError;  // registered connections
    XErrorHandler previous = nullptr;
};

Registry& registry() {
    // Deliberately leaked: the handler may still run while static destructors do.
    static auto* instance = new Registry;
    return *instance;
}

int handleError(Display* display, XErrorEvent* event) {
    Registry& r = registry();
    XErrorHandler previous = nullptr;
    {
        std::lock_guard guard(r.mutex);
        auto found = r.firstError.find(display);
        if (found != r.firstError.end()) {
            if (found->second == 0) {
                found->second = event->error_code;
            }
            return 0;
        }
        previous = r.previous;
    }
    return previous != nullptr ? previous(display, event) : 0;
}

// Puts handleError back in place when another part of the process (Qt's xcb platform, for
// one) installed its own handler since, and passes other connections' errors on to that one.
// Called with the registry locked.
void claimHandler(Registry& r) {
    XErrorHandler replaced = XSetErrorHandler(handleError);
    if (replaced != handleError) r.previous = replaced;
}

}  // namespace

X11ErrorTrap::X11ErrorTrap(Display* display) : display_(display) {
    std::lock_guard guard(registry().mutex);
    claimHandler(registry());
    registry().firstError[display_] = 0;
}

X11ErrorTrap::~X11ErrorTrap() {
    XSync(display_, False);
    std::lock_guard guard(registry().mutex);
    registry().firstError.erase(display_);
}

int X11ErrorTrap::check() {
    {
        // Before the errors of the requests sent so far come in.
        std::lock_guard guard(registry().mutex);
        claimHandler(registry());
    }
    XSync(display_, False);
    return take();
}

int X11ErrorTrap::take() {
    std::lock_guard guard(registry().mutex);
    int& first = registry().firstError[display_];
    int code = first;
    first = 0;
    return code;
}

}  // namespace caldrovex::platform
