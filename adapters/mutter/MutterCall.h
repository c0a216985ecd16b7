#pragma once

#include <string>

#include "adapters/mutter/GioHandles.h"

namespace caldrovex::platform {

// The compositor's bus names and interfaces.
inline constexpr const char* kRemoteDesktopName = "org.gnome.Mutter.RemoteDesktop";
inline constexpr const char* kRemoteDesktopPath = "/org/gnome/Mutter/RemoteDesktop";
inline constexpr const char* kRemoteDesktopSession = "org.gnome.Mutter.RemoteDesktop.Session";
inline constexpr const char* kScreenCastName = "org.gnome.Mutter.ScreenCast";
inline constexpr const char* kScreenCastPath = "/org/gnome/Mutter/ScreenCast";
inline constexpr const char* kScreenCastSession = "org.gnome.Mutter.ScreenCast.Session";
inline constexpr const char* kScreenCastStream = "org.gnome.Mutter.ScreenCast.Stream";
inline constexpr const char* kDisplayConfigName = "org.gnome.Mutter.DisplayConfig";
inline constexpr const char* kDisplayConfigPath = "/org/gnome/Mutter/DisplayConfig";

// Calls `method` and waits at most `timeoutMs` for its reply of type `replyType` (null: any).
// Takes `parameters` if floating. Throws CaldrovexError with `failure`, followed by the bus's
// own explanation.
GVariantPtr callOrThrow(GDBusConnection* connection, const char* name, const std::string& path,
                        const char* interface, const char* method, GVariant* parameters,
                        const char* replyType, const std::string& failure, int timeoutMs = 5000);

// Sends `method` without waiting for a reply; the bus keeps the order of what one connection
// sends.
void send(GDBusConnection* connection, const char* name, const std::string& path,
          const char* interface, const char* method, GVariant* parameters);

// Whether `name` has an owner on the bus; false when the bus does not answer.
bool nameHasOwner(GDBusConnection* connection, const char* name);

}  // namespace caldrovex::platform
