#pragma once

#include <memory>

#include "adapters/mutter/MutterDesktop.h"
#include "adapters/mutter/MutterInputEmitter.h"
#include "adapters/x11/X11InputEmitter.h"
#include "app/SessionBackend.h"
#include "host/HostEnvironment.h"
#include "input/LocalInputWatcher.h"
#include "input/PrivacyCurtain.h"
#include "input/ScreenChangeNotifier.h"
#include "platform/Clock.h"
#include "platform/Queue.h"

namespace caldrovex {

// The desktop half of the host's environment, for the back ends the session calls for
// (SessionBackend):
// - X11: input injected with XTest, the Qt clipboard, the screen streamer capturing RandR
//   monitors, and the X11 permission probe;
// - GNOME Wayland: input, clipboard and capture through the compositor's remote-desktop and
//   screen-cast sessions, the pictures read from PipeWire, and a probe of those interfaces.
// Both have power control through logind and the X screen saver, the screen streamer on the
// "caldrovex.capture" queue, and the privacy curtain with what drives it (local input, screen
// changes), which reports itself unavailable on Wayland.
//
// Without an X display (on the X11 road) everything still exists and fails gently: no input is
// injected, the clipboard lives in memory, a stream request is answered with the capture
// failure, and the curtain and the local-input watcher report themselves unavailable.
//
// Made on the main queue (the Qt event loop) before the host controller; it must outlive the
// controller.
struct DesktopComponents {
    // The back ends this login session calls for, with the compositor's bus connection when
    // they are GNOME Wayland's. Asks the session bus; made before the Qt application, which
    // it tells what kind to be.
    struct Choice {
        SessionBackend backend;
        std::shared_ptr<platform::MutterDesktop> gnome;  // set for GNOME Wayland only

        static Choice current();
        // The GUI application is for X11's clipboard and curtain; the Wayland back ends need
        // none.
        bool wantsGuiApplication() const {
            return backend.kind != SessionBackend::Kind::gnomeWayland;
        }
    };

    static DesktopComponents open(platform::QueuePtr mainQueue, platform::ClockPtr clock,
                                  const Choice& choice);

    // Sets the environment's input, clipboard, power, screen, curtain, local input and screen
    // changes.
    void addTo(HostEnvironment& environment) const;

    SessionBackend backend;
    std::shared_ptr<platform::X11InputEmitter> emitter;          // X11 only; null without a display
    std::shared_ptr<platform::MutterInputEmitter> gnomeEmitter;  // GNOME Wayland only
    PermissionProbePtr permissions;
    std::shared_ptr<InputController> input;
    ClipboardPtr clipboard;
    PowerControlPtr power;
    std::shared_ptr<ScreenStreamer> screen;
    std::shared_ptr<PrivacyCurtain> curtain;
    std::shared_ptr<LocalInputWatcher> localInput;
    std::shared_ptr<ScreenChangeNotifier> screenChanges;
};

}  // namespace caldrovex
