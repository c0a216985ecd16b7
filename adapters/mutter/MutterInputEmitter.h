#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "adapters/mutter/MutterDesktop.h"
#include "input/DisplayRect.h"
#include "input/InputController.h"
#include "input/InputEvent.h"
#include "platform/Queue.h"

namespace caldrovex::platform {

// Delivers the input controller's events to a GNOME Wayland session through the remote-desktop
// session of the running stream (MutterDesktop::current): the pointer moves to the event's
// position within the streamed monitor, buttons are Linux's left and right, scroll amounts
// become smooth axis motion, keys go through the device key table (MacKeyMap) to keysyms, and
// text is typed as the keysym of each character (CharacterKeysym), which the compositor types
// through the key its layout has for it. It has no way to type a keysym without such a key, so
// characters outside ASCII are pasted through the session's clipboard with Control-V (which
// then gets its content back), in their place among the typed ones.
//
// A paste waits until the application read the text (each wait of it bounded by
// MutterSessionClipboard::kTransferTimeoutMs), and an application that never pastes (a
// terminal) makes it wait that long. The events therefore go to the session from a queue of
// the emitter's own, in the order they came: the caller (the host's main queue) only posts
// them there and goes on, and the keys after a paste still come after it. Events of a session
// that ended by the time their turn comes are dropped; the session let go of what it held.
//
// Modifier flags are held around presses and drags only, as on X11, and only those the device
// does not already hold as keys. Without a running stream there is no session to inject into:
// `permission` answers false and events are dropped.
//
// Contract: used on the host's main queue; the controller's callbacks hold the emitter weakly.
// `heldModifiers_` and `lastTypedCarriageReturn_` belong to the injection queue.
class MutterInputEmitter : public std::enable_shared_from_this<MutterInputEmitter> {
public:
    // One wheel click is some 50 pixels of the device's scrolling (as on X11) and 10 units of
    // the compositor's axis motion.
    static constexpr double kAxisUnitsPerPixel = 10.0 / 50.0;

    // `injection` runs the events' work (a serial queue of the emitter's own when null).
    explicit MutterInputEmitter(std::shared_ptr<MutterDesktop> desktop,
                                QueuePtr injection = nullptr);

    bool permission();
    DisplayRect displayBounds(uint32_t displayID);
    void emit(const InputEvent& event);
    // The primary monitor's id; 0 when the compositor does not answer.
    uint32_t mainDisplayID();

    InputController::Callbacks callbacks();

private:
    void inject(MutterRemoteSession& session, const CaptureDisplay& display,
                const InputEvent& event);
    void mouse(MutterRemoteSession& session, const CaptureDisplay& display,
               const InputEvent& event);
    void key(MutterRemoteSession& session, const InputEvent& event);
    void text(MutterRemoteSession& session, const std::u16string& chunk);
    void paste(MutterRemoteSession& session, std::u32string& scalars);
    std::vector<Keysym> pressMissingModifiers(MutterRemoteSession& session,
                                              std::optional<uint64_t> flags);

    std::shared_ptr<MutterDesktop> desktop_;
    QueuePtr injection_;
    std::vector<MutterMonitor> monitors_;   // the last layout read
    std::set<Keysym> heldModifiers_;        // modifier keys the device holds as keys
    bool lastTypedCarriageReturn_ = false;  // a '\n' right after '\r' is the same line break
};

}  // namespace caldrovex::platform
