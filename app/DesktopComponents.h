#pragma once

#include <memory>

#include "adapters/x11/X11InputEmitter.h"
#include "host/HostEnvironment.h"
#include "platform/Clock.h"
#include "platform/Queue.h"

namespace caldrovex {

// The desktop half of the host's environment on X11: input injected with XTest, the Qt
// clipboard, power control through logind and the X screen saver, and the screen streamer
// capturing RandR monitors on the "caldrovex.capture" queue.
//
// Without an X display everything still exists and fails gently: no input is injected, the
// clipboard lives in memory, and a stream request is answered with the capture failure.
//
// Made on the main queue (the Qt event loop) before the host controller; it must outlive the
// controller.
struct DesktopComponents {
    static DesktopComponents open(platform::QueuePtr mainQueue, platform::ClockPtr clock);

    // Sets the environment's input, clipboard, power and screen.
    void addTo(HostEnvironment& environment) const;

    std::shared_ptr<platform::X11InputEmitter> emitter;  // null without a display
    std::shared_ptr<InputController> input;
    ClipboardPtr clipboard;
    PowerControlPtr power;
    std::shared_ptr<ScreenStreamer> screen;
};

}  // namespace caldrovex
