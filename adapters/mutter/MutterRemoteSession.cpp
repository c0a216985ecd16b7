#include "adapters/mutter/MutterRemoteSession.h"

#include <X11/keysym.h>

#include <utility>

#include "adapters/mutter/MutterCall.h"
#include "adapters/mutter/MutterSessionClipboard.h"

namespace caldrovex::platform {

namespace {

constexpr const char* kCannotStart = "The desktop's screen cast could not be started";
constexpr const char* kNoBus = "The session bus could not be reached";
// ScreenCast cursor modes: left out, drawn into the picture.
constexpr uint32_t kCursorHidden = 0;
constexpr uint32_t kCursorEmbedded = 1;
// NotifyPointerAxis: the scroll gesture ends with this event, as a wheel step does.
constexpr uint32_t kAxisFinish = 1;

std::string objectPath(const GVariantPtr& reply) {
    const char* path = nullptr;
    g_variant_get(reply.get(), "(&o)", &path);
    return path;
}

}  // namespace

MutterRemoteSession::MutterRemoteSession(std::shared_ptr<MutterBus> bus, std::string connector,
                                         bool showsCursor)
    : bus_(std::move(bus)), connector_(std::move(connector)), showsCursor_(showsCursor) {}

MutterRemoteSession::~MutterRemoteSession() {
    // Whatever still runs is ended by closing the connection, which the compositor notices.
    std::lock_guard guard(mutex_);
    if (connection_) g_dbus_connection_close(connection_.get(), nullptr, nullptr, nullptr);
}

void MutterRemoteSession::start(Ready ready) {
    bus_->invoke([weak = weak_from_this(), ready = std::move(ready)]() mutable {
        auto self = weak.lock();
        if (!self) return ready(CaldrovexError(std::string(kCannotStart) + "."), 0);
        self->setUp(std::move(ready));
    });
}

void MutterRemoteSession::setUp(Ready ready) {
    {
        std::lock_guard guard(mutex_);
        if (ended_) return ready(CaldrovexError(std::string(kCannotStart) + "."), 0);
    }
    GErrorPtr error;
    ConnectionPtr connection = bus_->connect(error);
    if (!connection) {
        return ready(
            CaldrovexError(std::string(kNoBus) + " (" + errorText(error, "no answer") + ")."), 0);
    }
    Paths paths;
    try {
        paths = createSessions(connection.get());
    } catch (const CaldrovexError& failure) {
        g_dbus_connection_close_sync(connection.get(), nullptr, nullptr);
        return ready(failure, 0);
    }
    {
        std::lock_guard guard(mutex_);
        connection_ = std::move(connection);
        paths_ = paths;
    }
    pendingStart_ = std::move(ready);
    subscribeSignals(paths);
    try {
        callOrThrow(connection_.get(), kRemoteDesktopName, paths.remoteDesktop,
                    kRemoteDesktopSession, "Start", nullptr, nullptr, kCannotStart);
    } catch (const CaldrovexError& failure) {
        tearDown();
        finishStart(failure, 0);
    }
}

void MutterRemoteSession::finishStart(std::optional<CaldrovexError> error, uint32_t nodeID) {
    if (Ready ready = std::exchange(pendingStart_, nullptr)) ready(std::move(error), nodeID);
}

MutterRemoteSession::Paths MutterRemoteSession::createSessions(GDBusConnection* connection) {
    Paths paths;
    paths.remoteDesktop =
        objectPath(callOrThrow(connection, kRemoteDesktopName, kRemoteDesktopPath,
                               kRemoteDesktopName, "CreateSession", nullptr, "(o)", kCannotStart));
    GVariantPtr id = callOrThrow(
        connection, kRemoteDesktopName, paths.remoteDesktop, "org.freedesktop.DBus.Properties",
        "Get", g_variant_new("(ss)", kRemoteDesktopSession, "SessionId"), "(v)", kCannotStart);
    GVariant* boxed = nullptr;
    g_variant_get(id.get(), "(v)", &boxed);
    GVariantPtr sessionID(boxed);

    GVariantBuilder properties;
    g_variant_builder_init(&properties, G_VARIANT_TYPE_VARDICT);
    g_variant_builder_add(&properties, "{sv}", "remote-desktop-session-id", sessionID.get());
    paths.screenCast = objectPath(
        callOrThrow(connection, kScreenCastName, kScreenCastPath, kScreenCastName, "CreateSession",
                    g_variant_new("(a{sv})", &properties), "(o)", kCannotStart));

    GVariantBuilder options;
    g_variant_builder_init(&options, G_VARIANT_TYPE_VARDICT);
    g_variant_builder_add(&options, "{sv}", "cursor-mode",
                          g_variant_new_uint32(showsCursor_ ? kCursorEmbedded : kCursorHidden));
    paths.stream = objectPath(callOrThrow(
        connection, kScreenCastName, paths.screenCast, kScreenCastSession, "RecordMonitor",
        g_variant_new("(sa{sv})", connector_.c_str(), &options), "(o)", kCannotStart));
    return paths;
}

void MutterRemoteSession::subscribeSignals(const Paths& paths) {
    std::weak_ptr<MutterRemoteSession> weak = weak_from_this();
    subscriptions_.push_back(bus_->subscribe(connection_.get(), kScreenCastStream,
                                             "PipeWireStreamAdded", paths.stream,
                                             [weak](GVariant* parameters) {
                                                 uint32_t node = 0;
                                                 g_variant_get(parameters, "(u)", &node);
                                                 if (auto self = weak.lock())
                                                     self->streamAdded(node);
                                             }));
    subscriptions_.push_back(bus_->subscribe(connection_.get(), kRemoteDesktopSession, "Closed",
                                             paths.remoteDesktop, [weak](GVariant*) {
                                                 if (auto self = weak.lock())
                                                     self->closedByCompositor();
                                             }));
}

void MutterRemoteSession::streamAdded(uint32_t nodeID) {
    if (!pendingStart_) return;
    {
        std::lock_guard guard(mutex_);
        running_ = true;
    }
    // The throw-away key that makes the compositor create its virtual keyboard.
    key(XK_Shift_L, true);
    key(XK_Shift_L, false);
    auto clipboard = MutterSessionClipboard::enable(bus_, connection_.get(), paths_.remoteDesktop);
    {
        std::lock_guard guard(mutex_);
        clipboard_ = std::move(clipboard);
    }
    finishStart(std::nullopt, nodeID);
}

void MutterRemoteSession::closedByCompositor() {
    bool wasRunning = false;
    {
        std::lock_guard guard(mutex_);
        wasRunning = running_;
        running_ = false;
        ended_ = true;
        heldKeys_.clear();
        heldButtons_.clear();
    }
    tearDown();
    // Closed before the stream came: the start failed.
    finishStart(CaldrovexError(std::string(kCannotStart) + "."), 0);
    if (wasRunning && onClosed) onClosed();
}

void MutterRemoteSession::stop(std::function<void()> done) {
    bus_->invoke([weak = weak_from_this(), bus = bus_, done = std::move(done)]() mutable {
        if (auto self = weak.lock()) {
            self->releaseHeld();
            std::string path;
            GDBusConnection* connection = nullptr;
            {
                std::lock_guard guard(self->mutex_);
                self->running_ = false;
                self->ended_ = true;
                connection = self->connection_.get();
                path = self->paths_.remoteDesktop;
            }
            if (connection) {
                try {
                    callOrThrow(connection, kRemoteDesktopName, path, kRemoteDesktopSession, "Stop",
                                nullptr, nullptr, "stop", 3000);
                } catch (const CaldrovexError&) {
                    // Already closed, or the compositor is gone: closing the connection below
                    // ends the session either way.
                }
            }
            self->tearDown();
            self->finishStart(CaldrovexError(std::string(kCannotStart) + "."), 0);
        }
        // Queued behind GLib's release of the handlers of the signals unsubscribed above,
        // which it schedules on this thread: whoever waits for `done` finds them freed.
        if (done) bus->invoke(std::move(done));
    });
}

void MutterRemoteSession::tearDown() {
    ConnectionPtr connection;
    std::shared_ptr<MutterSessionClipboard> clipboard;
    {
        std::lock_guard guard(mutex_);
        connection = std::move(connection_);
        clipboard = std::move(clipboard_);
        running_ = false;
        ended_ = true;
    }
    if (clipboard) clipboard->detach();
    if (!connection) return;
    for (unsigned id : subscriptions_) g_dbus_connection_signal_unsubscribe(connection.get(), id);
    subscriptions_.clear();
    g_dbus_connection_close_sync(connection.get(), nullptr, nullptr);
}

bool MutterRemoteSession::running() const {
    std::lock_guard guard(mutex_);
    return running_;
}

std::shared_ptr<MutterSessionClipboard> MutterRemoteSession::clipboard() const {
    std::lock_guard guard(mutex_);
    return running_ ? clipboard_ : nullptr;
}

void MutterRemoteSession::releaseHeld() {
    std::lock_guard guard(mutex_);
    if (!running_) return;
    for (Keysym keysym : heldKeys_) {
        sendInput("NotifyKeyboardKeysym", g_variant_new("(ub)", keysym, FALSE));
    }
    for (int button : heldButtons_) {
        sendInput("NotifyPointerButton", g_variant_new("(ib)", button, FALSE));
    }
    heldKeys_.clear();
    heldButtons_.clear();
}

// Sends under mutex_, so that input from several threads keeps one order and never follows
// the session's end.
void MutterRemoteSession::sendInput(const char* method, GVariant* parameters) {
    send(connection_.get(), kRemoteDesktopName, paths_.remoteDesktop, kRemoteDesktopSession, method,
         parameters);
}

void MutterRemoteSession::pointerMotion(double x, double y) {
    std::lock_guard guard(mutex_);
    if (!running_) return;
    sendInput("NotifyPointerMotionAbsolute", g_variant_new("(sdd)", paths_.stream.c_str(), x, y));
}

void MutterRemoteSession::pointerButton(int button, bool down) {
    std::lock_guard guard(mutex_);
    if (!running_) return;
    if (down) {
        heldButtons_.insert(button);
    } else {
        heldButtons_.erase(button);
    }
    sendInput("NotifyPointerButton", g_variant_new("(ib)", button, down));
}

void MutterRemoteSession::pointerAxis(double dx, double dy) {
    std::lock_guard guard(mutex_);
    if (!running_) return;
    sendInput("NotifyPointerAxis", g_variant_new("(ddu)", dx, dy, kAxisFinish));
}

void MutterRemoteSession::key(Keysym keysym, bool down) {
    std::lock_guard guard(mutex_);
    if (!running_) return;
    if (down) {
        heldKeys_.insert(keysym);
    } else {
        heldKeys_.erase(keysym);
    }
    sendInput("NotifyKeyboardKeysym", g_variant_new("(ub)", keysym, down));
}

}  // namespace caldrovex::platform
