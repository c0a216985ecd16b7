#include "adapters/mutter/MutterSessionClipboard.h"

#include <gio/gunixfdlist.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <future>

#include "adapters/mutter/MutterCall.h"
#include "platform/CaldrovexError.h"

namespace caldrovex::platform {

namespace {

// The text types the session offers and looks for, the best first: what GTK and Qt
// applications offer under Wayland, then the X11 names that Xwayland's clients use.
const char* const kTextTypes[] = {"text/plain;charset=utf-8", "UTF8_STRING", "text/plain", "STRING",
                                  "TEXT"};

// Options without types: the clipboard enabled with nothing offered, or given up.
GVariant* noTypesOptions() {
    GVariantBuilder options;
    g_variant_builder_init(&options, G_VARIANT_TYPE_VARDICT);
    return g_variant_new("(a{sv})", &options);
}

GVariant* mimeTypeOptions() {
    GVariantBuilder types;
    g_variant_builder_init(&types, G_VARIANT_TYPE_STRING_ARRAY);
    for (const char* type : kTextTypes) g_variant_builder_add(&types, "s", type);
    GVariantBuilder options;
    g_variant_builder_init(&options, G_VARIANT_TYPE_VARDICT);
    g_variant_builder_add(&options, "{sv}", "mime-types", g_variant_builder_end(&types));
    return g_variant_new("(a{sv})", &options);
}

bool offersClipboard(GDBusConnection* connection, const std::string& path) {
    try {
        GVariantPtr xml =
            callOrThrow(connection, kRemoteDesktopName, path, "org.freedesktop.DBus.Introspectable",
                        "Introspect", nullptr, "(s)", "introspection");
        const char* text = nullptr;
        g_variant_get(xml.get(), "(&s)", &text);
        return std::string_view(text).find("\"EnableClipboard\"") != std::string_view::npos;
    } catch (const CaldrovexError&) {
        return false;
    }
}

// The owner's types from a SelectionOwnerChanged signal's options. GNOME 43 wraps the list in a
// one-element tuple ("(as)") where later versions send it bare ("as"); both are read.
std::vector<std::string> offeredTypes(GVariant* options) {
    std::vector<std::string> types;
    GVariantPtr value(g_variant_lookup_value(options, "mime-types", nullptr));
    if (value && g_variant_is_of_type(value.get(), G_VARIANT_TYPE("(as)")))
        value.reset(g_variant_get_child_value(value.get(), 0));
    if (!value || !g_variant_is_of_type(value.get(), G_VARIANT_TYPE_STRING_ARRAY)) return types;
    GVariantIter iter;
    g_variant_iter_init(&iter, value.get());
    const char* type = nullptr;
    while (g_variant_iter_next(&iter, "&s", &type)) types.emplace_back(type);
    return types;
}

// Waits until `fd` is ready for `events`, at most until `deadline` (g_get_monotonic_time).
bool waitFor(int fd, short events, int64_t deadline) {
    for (;;) {
        int64_t left = (deadline - g_get_monotonic_time()) / 1000;
        if (left <= 0) return false;
        pollfd entry{fd, events, 0};
        int ready = poll(&entry, 1, static_cast<int>(left));
        if (ready > 0) return true;
        if (ready < 0 && errno != EINTR) return false;
    }
}

// The one descriptor of a reply of type (h).
int takeDescriptor(GVariant* reply, GUnixFDList* list) {
    int32_t index = -1;
    g_variant_get(reply, "(h)", &index);
    GError* raw = nullptr;
    int fd = list ? g_unix_fd_list_get(list, index, &raw) : -1;
    GErrorPtr error(raw);
    return fd;
}

}  // namespace

std::shared_ptr<MutterSessionClipboard> MutterSessionClipboard::enable(
    std::shared_ptr<MutterBus> bus, GDBusConnection* connection, const std::string& sessionPath) {
    if (!offersClipboard(connection, sessionPath)) return nullptr;
    // Listening first: enabling announces the clipboard's current owner.
    auto clipboard =
        std::make_shared<MutterSessionClipboard>(std::move(bus), connection, sessionPath);
    clipboard->subscribe();
    try {
        callOrThrow(connection, kRemoteDesktopName, sessionPath, kRemoteDesktopSession,
                    "EnableClipboard", noTypesOptions(), nullptr, "clipboard");
    } catch (const CaldrovexError&) {
        clipboard->detach();
        return nullptr;
    }
    return clipboard;
}

MutterSessionClipboard::MutterSessionClipboard(std::shared_ptr<MutterBus> bus,
                                               GDBusConnection* connection, std::string sessionPath)
    : bus_(std::move(bus)),
      sessionPath_(std::move(sessionPath)),
      connection_(G_DBUS_CONNECTION(g_object_ref(connection))) {}

void MutterSessionClipboard::subscribe() {
    std::weak_ptr<MutterSessionClipboard> weak = weak_from_this();
    subscriptions_.push_back(bus_->subscribe(connection_.get(), kRemoteDesktopSession,
                                             "SelectionOwnerChanged", sessionPath_,
                                             [weak](GVariant* parameters) {
                                                 GVariant* options = nullptr;
                                                 g_variant_get(parameters, "(@a{sv})", &options);
                                                 GVariantPtr owned(options);
                                                 if (auto self = weak.lock())
                                                     self->ownerChanged(options);
                                             }));
    subscriptions_.push_back(bus_->subscribe(connection_.get(), kRemoteDesktopSession,
                                             "SelectionTransfer", sessionPath_,
                                             [weak](GVariant* parameters) {
                                                 const char* type = nullptr;
                                                 uint32_t serial = 0;
                                                 g_variant_get(parameters, "(&su)", &type, &serial);
                                                 if (auto self = weak.lock())
                                                     self->transfer(type, serial);
                                             }));
}

void MutterSessionClipboard::detach() {
    ConnectionPtr connection;
    {
        std::lock_guard guard(mutex_);
        connection = std::move(connection_);
        offered_.clear();
    }
    transferred_.notify_all();  // a paste waits no longer for a read that cannot come
    if (!connection) return;
    for (unsigned id : subscriptions_) g_dbus_connection_signal_unsubscribe(connection.get(), id);
    subscriptions_.clear();
}

void MutterSessionClipboard::ownerChanged(GVariant* options) {
    std::vector<std::string> types = offeredTypes(options);
    gboolean ours = FALSE;
    g_variant_lookup(options, "session-is-owner", "b", &ours);
    std::lock_guard guard(mutex_);
    offered_ = std::move(types);
    ownedBySession_ = ours;
}

void MutterSessionClipboard::transfer(const char* mimeType, uint32_t serial) {
    ConnectionPtr connection;
    std::string text;
    {
        std::lock_guard guard(mutex_);
        if (!connection_) return;
        connection.reset(G_DBUS_CONNECTION(g_object_ref(connection_.get())));
        text = ownText_;
    }
    (void)mimeType;  // every type offered is the same UTF-8 text
    GUnixFDList* list = nullptr;
    GError* raw = nullptr;
    GVariantPtr reply(g_dbus_connection_call_with_unix_fd_list_sync(
        connection.get(), kRemoteDesktopName, sessionPath_.c_str(), kRemoteDesktopSession,
        "SelectionWrite", g_variant_new("(u)", serial), G_VARIANT_TYPE("(h)"),
        G_DBUS_CALL_FLAGS_NONE, kTransferTimeoutMs, nullptr, &list, nullptr, &raw));
    GErrorPtr error(raw);
    GObjectPtr<GUnixFDList> fds(list);
    bool written = false;
    if (reply) {
        int fd = takeDescriptor(reply.get(), fds.get());
        if (fd >= 0) {
            const int64_t deadline = g_get_monotonic_time() + kTransferTimeoutMs * 1000;
            size_t done = 0;
            while (done < text.size() && waitFor(fd, POLLOUT, deadline)) {
                ssize_t n = write(fd, text.data() + done, text.size() - done);
                if (n < 0 && errno != EINTR && errno != EAGAIN) break;
                if (n > 0) done += static_cast<size_t>(n);
            }
            written = done == text.size();
            close(fd);
        }
    }
    send(connection.get(), kRemoteDesktopName, sessionPath_, kRemoteDesktopSession,
         "SelectionWriteDone", g_variant_new("(ub)", serial, written));
    {
        std::lock_guard guard(mutex_);
        ++transfers_;
    }
    transferred_.notify_all();
}

std::optional<std::string> MutterSessionClipboard::text() {
    std::vector<std::string> offered;
    {
        std::lock_guard guard(mutex_);
        if (!connection_) return std::nullopt;
        if (ownedBySession_) return ownText_;
        offered = offered_;
    }
    for (const char* type : kTextTypes) {
        if (std::find(offered.begin(), offered.end(), type) != offered.end()) return readAs(type);
    }
    return std::nullopt;
}

std::optional<std::string> MutterSessionClipboard::readAs(const std::string& mimeType) {
    ConnectionPtr connection;
    {
        std::lock_guard guard(mutex_);
        if (!connection_) return std::nullopt;
        connection.reset(G_DBUS_CONNECTION(g_object_ref(connection_.get())));
    }
    GUnixFDList* list = nullptr;
    GError* raw = nullptr;
    GVariantPtr reply(g_dbus_connection_call_with_unix_fd_list_sync(
        connection.get(), kRemoteDesktopName, sessionPath_.c_str(), kRemoteDesktopSession,
        "SelectionRead", g_variant_new("(s)", mimeType.c_str()), G_VARIANT_TYPE("(h)"),
        G_DBUS_CALL_FLAGS_NONE, kTransferTimeoutMs, nullptr, &list, nullptr, &raw));
    GErrorPtr error(raw);
    GObjectPtr<GUnixFDList> fds(list);
    if (!reply) return std::nullopt;
    int fd = takeDescriptor(reply.get(), fds.get());
    if (fd < 0) return std::nullopt;
    std::string text;
    const int64_t deadline = g_get_monotonic_time() + kTransferTimeoutMs * 1000;
    char buffer[65536];
    bool complete = false;
    while (text.size() < kLongestText && waitFor(fd, POLLIN, deadline)) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n == 0) {
            complete = true;
            break;
        }
        if (n < 0 && errno != EINTR && errno != EAGAIN) break;
        if (n > 0) text.append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    // A text that did not arrive whole within the time is still what there is; one cut at
    // the size bound too. Nothing at all is no text.
    if (!complete && text.empty()) return std::nullopt;
    return text.substr(0, kLongestText);
}

void MutterSessionClipboard::setText(const std::string& text) {
    ConnectionPtr connection;
    {
        std::lock_guard guard(mutex_);
        ownText_ = text;
        if (!connection_) return;
        // Ours from now on; the compositor's word on the new owner follows.
        ownedBySession_ = true;
        connection.reset(G_DBUS_CONNECTION(g_object_ref(connection_.get())));
    }
    send(connection.get(), kRemoteDesktopName, sessionPath_, kRemoteDesktopSession, "SetSelection",
         mimeTypeOptions());
}

bool MutterSessionClipboard::paste(const std::string& text,
                                   const std::function<void()>& pressPaste) {
    // The owner as the compositor last announced it, not as a signal still on its way says.
    if (!caughtUp()) return false;
    std::optional<std::string> saved;
    bool empty = false;
    {
        std::lock_guard guard(mutex_);
        if (!connection_) return false;
        if (ownedBySession_) saved = ownText_;
        empty = !ownedBySession_ && offered_.empty();
    }
    // Another application's content: its text, or nothing that could be given back.
    if (!saved && !empty && !(saved = this->text())) return false;
    if (!offerForPaste(text)) return false;
    const std::optional<uint64_t> before = caughtUp();
    pressPaste();
    if (before) {
        std::unique_lock lock(mutex_);
        transferred_.wait_for(lock, std::chrono::milliseconds(kTransferTimeoutMs),
                              [&] { return transfers_ > *before || !connection_; });
    }
    restore(saved);
    return true;
}

// Offers `text` and waits for the compositor's answer: once it answered, it has asked for
// its own copy of the text too (GNOME keeps one of any clipboard text).
bool MutterSessionClipboard::offerForPaste(const std::string& text) {
    ConnectionPtr connection;
    {
        std::lock_guard guard(mutex_);
        if (!connection_) return false;
        connection.reset(G_DBUS_CONNECTION(g_object_ref(connection_.get())));
        ownText_ = text;
        ownedBySession_ = true;
    }
    try {
        callOrThrow(connection.get(), kRemoteDesktopName, sessionPath_, kRemoteDesktopSession,
                    "SetSelection", mimeTypeOptions(), nullptr, "clipboard", kTransferTimeoutMs);
    } catch (const CaldrovexError&) {
        return false;
    }
    return true;
}

// Waits until the bus thread handled what the compositor sent before it answers a call made
// now (the bus keeps the order of one connection's messages; the handlers run in the order the
// messages came), and gives the count of reads served then. Nullopt when that takes too long.
std::optional<uint64_t> MutterSessionClipboard::caughtUp() {
    ConnectionPtr connection;
    {
        std::lock_guard guard(mutex_);
        if (!connection_) return std::nullopt;
        connection.reset(G_DBUS_CONNECTION(g_object_ref(connection_.get())));
    }
    try {
        callOrThrow(connection.get(), kRemoteDesktopName, sessionPath_, "org.freedesktop.DBus.Peer",
                    "Ping", nullptr, nullptr, "clipboard", kTransferTimeoutMs);
    } catch (const CaldrovexError&) {
        return std::nullopt;
    }
    auto marker = std::make_shared<std::promise<uint64_t>>();
    auto counted = marker->get_future();
    bus_->invoke([weak = weak_from_this(), marker] {
        auto self = weak.lock();
        if (!self) return marker->set_value(0);
        std::lock_guard guard(self->mutex_);
        marker->set_value(self->transfers_);
    });
    if (counted.wait_for(std::chrono::milliseconds(kTransferTimeoutMs)) !=
        std::future_status::ready)
        return std::nullopt;
    return counted.get();
}

void MutterSessionClipboard::restore(const std::optional<std::string>& saved) {
    if (saved) return setText(*saved);
    ConnectionPtr connection;
    {
        std::lock_guard guard(mutex_);
        ownText_.clear();
        ownedBySession_ = false;
        if (!connection_) return;
        connection.reset(G_DBUS_CONNECTION(g_object_ref(connection_.get())));
    }
    send(connection.get(), kRemoteDesktopName, sessionPath_, kRemoteDesktopSession, "SetSelection",
         noTypesOptions());
}

}  // namespace caldrovex::platform
