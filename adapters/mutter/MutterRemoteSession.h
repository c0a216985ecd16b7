#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "adapters/mutter/GioHandles.h"
#include "adapters/mutter/MutterBus.h"
#include "input/Keysym.h"
#include "platform/CaldrovexError.h"

namespace caldrovex::platform {

class MutterSessionClipboard;

// One remote-desktop session of the GNOME compositor with its screen cast of one monitor:
// the compositor's own road for a remote desktop, which asks nobody for consent. It owns a
// private bus connection, since the compositor ends a session whose connection closes.
//
// `start` creates the remote-desktop session, a screen-cast session linked to it, records the
// monitor and starts; the compositor then announces the PipeWire node that carries the
// pictures. Input goes through the same session: pointer motion in the recorded stream's
// pixels, buttons, smooth scrolling and keys by keysym. The session remembers what it holds
// pressed and lets go of all of it before it stops, so nothing stays pressed on the desktop.
//
// The compositor creates its virtual keyboard on the first key event and drops that event
// while doing so; the session therefore sends a Shift press and release of its own right after
// the start, before any key of the user.
//
// Contract: `start` and `stop` may be called from any thread; their work, their completions
// and `onClosed` run on the bus thread. Input and clipboard calls may come from any thread;
// they do nothing unless the session runs.
class MutterRemoteSession : public std::enable_shared_from_this<MutterRemoteSession> {
public:
    // The PipeWire node of the screen cast, or why the session could not start.
    using Ready = std::function<void(std::optional<CaldrovexError> error, uint32_t nodeID)>;

    // Linux's pointer button codes (BTN_LEFT, BTN_RIGHT).
    static constexpr int kLeftButton = 0x110;
    static constexpr int kRightButton = 0x111;

    MutterRemoteSession(std::shared_ptr<MutterBus> bus, std::string connector, bool showsCursor);
    ~MutterRemoteSession();
    MutterRemoteSession(const MutterRemoteSession&) = delete;
    MutterRemoteSession& operator=(const MutterRemoteSession&) = delete;

    // Called once, on the bus thread, when the compositor ends a running session on its own
    // (the monitor went away, the compositor is leaving). Set before `start`.
    std::function<void()> onClosed;

    void start(Ready ready);
    // Releases what is held, stops the session and closes its connection; `done` (may be
    // empty) runs on the bus thread afterwards. Idempotent.
    void stop(std::function<void()> done);

    bool running() const;

    // Input, in the recorded stream's pixels for the pointer.
    void pointerMotion(double x, double y);
    void pointerButton(int button, bool down);
    // Smooth scrolling in pixels of a standard mouse; positive dy scrolls down.
    void pointerAxis(double dx, double dy);
    void key(Keysym keysym, bool down);

    // The desktop's clipboard through this session; null when the running compositor offers
    // no clipboard to remote sessions (or the session does not run).
    std::shared_ptr<MutterSessionClipboard> clipboard() const;

private:
    struct Paths {
        std::string remoteDesktop;
        std::string screenCast;
        std::string stream;
    };

    void setUp(Ready ready);
    Paths createSessions(GDBusConnection* connection);
    void subscribeSignals(const Paths& paths);
    void streamAdded(uint32_t nodeID);
    void finishStart(std::optional<CaldrovexError> error, uint32_t nodeID);
    void closedByCompositor();
    void tearDown();
    void sendInput(const char* method, GVariant* parameters);
    void releaseHeld();

    std::shared_ptr<MutterBus> bus_;
    std::string connector_;
    bool showsCursor_;

    // Set up and torn down on the bus thread; read by input calls under mutex_.
    mutable std::mutex mutex_;
    ConnectionPtr connection_;   // guarded by mutex_
    Paths paths_;                // guarded by mutex_
    bool running_ = false;       // guarded by mutex_: started and not yet stopped or closed
    bool ended_ = false;         // guarded by mutex_: stopped or closed, for good
    std::set<Keysym> heldKeys_;  // guarded by mutex_
    std::set<int> heldButtons_;  // guarded by mutex_
    std::shared_ptr<MutterSessionClipboard> clipboard_;  // guarded by mutex_
    std::vector<unsigned> subscriptions_;                // bus thread only
    Ready pendingStart_;                                 // bus thread only: waits for the node
};

}  // namespace caldrovex::platform
