#include "adapters/x11/X11Handles.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xfixes.h>
#include <X11/extensions/Xrandr.h>

#include <type_traits>

namespace caldrovex::platform {

template <typename T>
void X11Deleter<T>::operator()(T* handle) const {
    if constexpr (std::is_same_v<T, Display>) {
        XCloseDisplay(handle);
    } else if constexpr (std::is_same_v<T, XImage>) {
        XDestroyImage(handle);
    } else if constexpr (std::is_same_v<T, XModifierKeymap>) {
        XFreeModifiermap(handle);
    } else if constexpr (std::is_same_v<T, XRRScreenResources>) {
        XRRFreeScreenResources(handle);
    } else if constexpr (std::is_same_v<T, XRROutputInfo>) {
        XRRFreeOutputInfo(handle);
    } else if constexpr (std::is_same_v<T, XRRCrtcInfo>) {
        XRRFreeCrtcInfo(handle);
    } else if constexpr (std::is_same_v<T, XRRMonitorInfo>) {
        XRRFreeMonitors(handle);
    } else {
        static_assert(std::is_same_v<T, XFixesCursorImage> || std::is_same_v<T, XRectangle> ||
                      std::is_same_v<T, KeySym> || std::is_same_v<T, unsigned char>);
        XFree(handle);
    }
}

template struct X11Deleter<Display>;
template struct X11Deleter<XImage>;
template struct X11Deleter<XModifierKeymap>;
template struct X11Deleter<XRRScreenResources>;
template struct X11Deleter<XRROutputInfo>;
template struct X11Deleter<XRRCrtcInfo>;
template struct X11Deleter<XRRMonitorInfo>;
template struct X11Deleter<XFixesCursorImage>;
template struct X11Deleter<XRectangle>;
template struct X11Deleter<KeySym>;
template struct X11Deleter<unsigned char>;

DisplayHandle openDisplay(const std::optional<std::string>& name) {
    return DisplayHandle(XOpenDisplay(name ? name->c_str() : nullptr));
}

}  // namespace caldrovex::platform
