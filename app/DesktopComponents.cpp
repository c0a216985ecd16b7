#include "app/DesktopComponents.h"

// Qt's windows before anything that brings Xlib, whose macros (Bool, None) break Qt's headers.
#include "adapters/qt/QtPrivacyCurtain.h"
#include "adapters/qt/QtScreenChangeNotifier.h"

#include "adapters/qt/QtClipboard.h"
#include "adapters/x11/X11CaptureService.h"
#include "adapters/x11/X11LocalInputWatcher.h"
#include "app/DesktopPowerControl.h"
#include "app/X11CurtainPlatform.h"
#include "platform/SerialQueue.h"

namespace caldrovex {

namespace {

// The input controller's callbacks when no display can take input.
InputController::Callbacks withoutDisplay() {
    return {[] { return false; },
            [](uint32_t) {
                return DisplayRect{0, 0, 1, 1};
            },
            [](const InputEvent&) {}};
}

}  // namespace

DesktopComponents DesktopComponents::open(platform::QueuePtr mainQueue, platform::ClockPtr clock) {
    DesktopComponents components;
    components.emitter = platform::X11InputEmitter::open(mainQueue, clock);
    if (components.emitter) {
        components.input = std::make_shared<InputController>(components.emitter->callbacks(), clock,
                                                             components.emitter->mainDisplayID());
    } else {
        components.input = std::make_shared<InputController>(withoutDisplay(), clock, 0);
    }
    components.clipboard = std::make_shared<platform::QtClipboard>();
    components.power = std::make_shared<DesktopPowerControl>();
    // Time bounds of capture calls fire on a queue of their own, so a busy main queue or
    // capture queue cannot delay a time-out.
    components.screen =
        ScreenStreamer::make(std::make_shared<platform::X11CaptureService>(std::nullopt, clock),
                             platform::SerialQueue::make("caldrovex.capture"),
                             platform::SerialQueue::make("caldrovex.capture.timeouts"), clock);
    components.curtain = std::make_shared<platform::QtPrivacyCurtain>(x11CurtainPlatform());
    components.localInput = std::make_shared<platform::X11LocalInputWatcher>(mainQueue);
    components.screenChanges = std::make_shared<platform::QtScreenChangeNotifier>();
    return components;
}

void DesktopComponents::addTo(HostEnvironment& environment) const {
    environment.input = input;
    environment.clipboard = clipboard;
    environment.power = power;
    environment.screen = screen;
    environment.curtain = curtain;
    environment.localInput = localInput;
    environment.screenChanges = screenChanges;
}

}  // namespace caldrovex
