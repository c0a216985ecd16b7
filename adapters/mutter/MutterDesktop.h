#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "adapters/mutter/MutterBus.h"
#include "adapters/mutter/MutterMonitors.h"
#include "adapters/mutter/MutterRemoteSession.h"

namespace caldrovex::platform {

// The GNOME compositor as the host reaches it over the session bus: its display layout, which
// of its remote-desktop interfaces it offers, and the one remote-desktop session that input
// and the clipboard go to (the session of the stream that started last and still runs). The
// capture service, the input emitter, the clipboard and the permission probe of this adapter
// share one.
//
// Callable from any thread.
class MutterDesktop {
public:
    // Null when there is no session bus.
    static std::shared_ptr<MutterDesktop> open();

    explicit MutterDesktop(std::shared_ptr<MutterBus> bus);

    const std::shared_ptr<MutterBus>& bus() const { return bus_; }

    // The compositor offers screen casts / remote-desktop sessions on the bus now.
    bool offersScreenCast();
    bool offersRemoteDesktop();

    // The monitors in use, the primary first. Throws CaldrovexError.
    std::vector<MutterMonitor> monitors();

    struct Current {
        std::shared_ptr<MutterRemoteSession> session;
        CaptureDisplay display;  // the display its stream records
    };

    void setCurrent(std::shared_ptr<MutterRemoteSession> session, CaptureDisplay display);
    // Forgets `session` if it is the current one.
    void forget(const MutterRemoteSession* session);
    // The current session while it runs.
    std::optional<Current> current();

private:
    std::shared_ptr<MutterBus> bus_;
    std::mutex mutex_;
    std::optional<Current> current_;  // guarded by mutex_
};

}  // namespace caldrovex::platform
