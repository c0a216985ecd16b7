#pragma once

#include <memory>
#include <optional>
#include <string>

// Xlib's connection type, declared here so that this header brings in none of Xlib's macros
// (None, Bool, Status...), which clash with names in Qt and GoogleTest.
struct _XDisplay;

namespace caldrovex::platform {

// Owning handles for what Xlib and its extensions hand out, so that no path frees by hand.
// `X11Ptr<T>` frees a T the way Xlib asks for it; X11Handles.cpp holds the one list of
// types and their freeing functions:
//
//   _XDisplay (Display)                      XCloseDisplay
//   XImage                                   XDestroyImage
//   XModifierKeymap                          XFreeModifiermap
//   XRRScreenResources, XRROutputInfo,       XRRFreeScreenResources, XRRFreeOutputInfo,
//   XRRCrtcInfo, XRRMonitorInfo (an array)   XRRFreeCrtcInfo, XRRFreeMonitors
//   XFixesCursorImage; arrays of XRectangle, XFree (each is one block)
//   KeySym and unsigned char (property data)
//
// Any other type fails to link. The deleter is declared here without Xlib's types, so that
// headers which keep a display connection stay free of Xlib's macros.
template <typename T>
struct X11Deleter {
    void operator()(T* handle) const;
};

template <typename T>
using X11Ptr = std::unique_ptr<T, X11Deleter<T>>;

using DisplayHandle = X11Ptr<_XDisplay>;

// Connects to the X display `name` (nullopt: $DISPLAY); null when it cannot be opened.
DisplayHandle openDisplay(const std::optional<std::string>& name = std::nullopt);

}  // namespace caldrovex::platform
