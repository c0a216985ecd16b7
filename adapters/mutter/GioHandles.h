#pragma once

#include <gio/gio.h>

#include <memory>
#include <string>

namespace caldrovex::platform {

// Owning handles for what GLib and GIO hand out, so that no path frees by hand.
struct GErrorDeleter {
    void operator()(GError* error) const { g_error_free(error); }
};
struct GVariantDeleter {
    void operator()(GVariant* value) const { g_variant_unref(value); }
};
struct GObjectDeleter {
    void operator()(void* object) const { g_object_unref(object); }
};
struct GMainContextDeleter {
    void operator()(GMainContext* context) const { g_main_context_unref(context); }
};
struct GMainLoopDeleter {
    void operator()(GMainLoop* loop) const { g_main_loop_unref(loop); }
};

using GErrorPtr = std::unique_ptr<GError, GErrorDeleter>;
using GVariantPtr = std::unique_ptr<GVariant, GVariantDeleter>;
template <typename T>
using GObjectPtr = std::unique_ptr<T, GObjectDeleter>;
using ConnectionPtr = GObjectPtr<GDBusConnection>;

// The error's message, or `fallback` when there is no error.
inline std::string errorText(const GErrorPtr& error, const char* fallback) {
    return error && error->message ? std::string(error->message) : std::string(fallback);
}

}  // namespace caldrovex::platform
