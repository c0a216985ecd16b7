#pragma once

#include <memory>

#include "adapters/x11/X11InputEmitter.h"
#include "host/HostEnvironment.h"
#include "input/LocalInputWatcher.h"
#include "input/PrivacyCurtain.h"
#include "input/ScreenChangeNotifier.h"
#include "platform/Clock.h"
#include "platform/Queue.h"

namespace caldrovex {

// The desktop half of the host's environment on X11: input injected with XTest, the Qt
// clipboard, power control through logind and the X screen saver, the screen streamer
// capturing RandR monitors on the "caldrovex.capture" queue, and the privacy curtain with
// what drives it (local input, screen changes).
//
// Without an X display everything still exists and fails gently: no input is injected, the
// clipboard lives in memory, a stream request is answered with the capture failure, and the
// curtain and the local-input watcher report themselves unavailable.
//
// Made on the main queue (the Qt event loop) before the host controller; it must outlive the
// controller.
struct DesktopComponents {
    static DesktopComponents open(platform::QueuePtr mainQueue, platform::ClockPtr clock);

    // Sets the environment's input, clipboard, power, screen, curtain, local input and screen
    // changes.
    void addTo(HostEnvironment& environment) const;

    std::shared_ptr<platform::X11InputEmitter> emitter;  // null without a display
    std::shared_ptr<InputController> input;
    ClipboardPtr clipboard;
    PowerControlPtr power;
    std::shared_ptr<ScreenStreamer> screen;
    std::shared_ptr<PrivacyCurtain> curtain;
    std::shared_ptr<LocalInputWatcher> localInput;
    std::shared_ptr<ScreenChangeNotifier> screenChanges;
};

}  // namespace caldrovex
