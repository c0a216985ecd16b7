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

}  // namespace

X11ErrorTrap::X11ErrorTrap(Display* display) : display_(display) {
    static std::once_flag installed;
    std::call_once(installed, [] {
        XErrorHandler previous = XSetErrorHandler(handleError);
        std::lock_guard guard(registry().mutex);
        registry().previous = previous;
    });
    std::lock_guard guard(registry().mutex);
    registry().firstError[display_] = 0;
}

X11ErrorTrap::~X11ErrorTrap() {
    XSync(display_, False);
    std::lock_guard guard(registry().mutex);
    registry().firstError.erase(display_);
}

int X11ErrorTrap::check() {
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
