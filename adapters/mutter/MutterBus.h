#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "adapters/mutter/GioHandles.h"

namespace caldrovex::platform {

// The session bus as the compositor's remote-desktop road needs it: private connections
// (the compositor ties each remote-desktop session to the connection that made it, and ends
// it when that connection closes, so each session gets one of its own), and a thread of its
// own running a GLib main context on which signals of those connections are delivered and
// session work runs in order.
//
// Made and destroyed on any thread but the bus thread; `invoke` and `connect` may be called
// from any thread.
class MutterBus {
public:
    // The session bus's address from the environment ($DBUS_SESSION_BUS_ADDRESS, else
    // $XDG_RUNTIME_DIR/bus when that socket exists); nullopt without one. No bus is ever
    // launched for us.
    static std::optional<std::string> sessionAddress();

    // Null when there is no session bus.
    static std::shared_ptr<MutterBus> open();

    explicit MutterBus(std::string address);
    ~MutterBus();
    MutterBus(const MutterBus&) = delete;
    MutterBus& operator=(const MutterBus&) = delete;

    // A new private connection to the bus, or null (with `error` set) when it fails. Signals
    // subscribed on it with `subscribe` are delivered on the bus thread.
    ConnectionPtr connect(GErrorPtr& error) const;

    // A shared connection for plain questions (the display layout, which names are on the
    // bus), opened on first use and again after it closed. Null when the bus cannot be reached.
    GDBusConnection* queries();

    // Runs `work` on the bus thread, after the work posted before it.
    void invoke(std::function<void()> work);

    bool onBusThread() const { return std::this_thread::get_id() == thread_.get_id(); }

    // Subscribes to `member` of `interface` on `path` of `connection`, delivering on the bus
    // thread; returns the subscription id for g_dbus_connection_signal_unsubscribe. Called on
    // the bus thread.
    unsigned subscribe(GDBusConnection* connection, const char* interface, const char* member,
                       const std::string& path, std::function<void(GVariant* parameters)> handler);

private:
    std::string address_;
    std::unique_ptr<GMainContext, GMainContextDeleter> context_;
    std::unique_ptr<GMainLoop, GMainLoopDeleter> loop_;
    std::thread thread_;
    std::mutex queriesMutex_;
    ConnectionPtr queries_;  // guarded by queriesMutex_
};

}  // namespace caldrovex::platform
