#include "adapters/mutter/MutterCall.h"

#include "platform/CaldrovexError.h"

namespace caldrovex::platform {

GVariantPtr callOrThrow(GDBusConnection* connection, const char* name, const std::string& path,
                        const char* interface, const char* method, GVariant* parameters,
                        const char* replyType, const std::string& failure, int timeoutMs) {
    GError* raw = nullptr;
    GVariantPtr reply(
        g_dbus_connection_call_sync(connection, name, path.c_str(), interface, method, parameters,
                                    replyType ? G_VARIANT_TYPE(replyType) : nullptr,
                                    G_DBUS_CALL_FLAGS_NO_AUTO_START, timeoutMs, nullptr, &raw));
    GErrorPtr error(raw);
    if (!reply) {
        if (error) g_dbus_error_strip_remote_error(error.get());
        throw CaldrovexError(failure + " (" + errorText(error, "no answer") + ").");
    }
    return reply;
}

void send(GDBusConnection* connection, const char* name, const std::string& path,
          const char* interface, const char* method, GVariant* parameters) {
    // Without a callback GDBus asks for no reply, and sends in order.
    g_dbus_connection_call(connection, name, path.c_str(), interface, method, parameters, nullptr,
                           G_DBUS_CALL_FLAGS_NO_AUTO_START, -1, nullptr, nullptr, nullptr);
}

bool nameHasOwner(GDBusConnection* connection, const char* name) {
    if (!connection) return false;
    GError* raw = nullptr;
    GVariantPtr reply(g_dbus_connection_call_sync(
        connection, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
        "NameHasOwner", g_variant_new("(s)", name), G_VARIANT_TYPE("(b)"), G_DBUS_CALL_FLAGS_NONE,
        2000, nullptr, &raw));
    GErrorPtr error(raw);
    if (!reply) return false;
    gboolean owned = FALSE;
    g_variant_get(reply.get(), "(b)", &owned);
    return owned;
}

}  // namespace caldrovex::platform
