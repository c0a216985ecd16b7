#include "platform/qt/DesktopComponents.h"

// Qt's windows before anything that brings Xlib, whose macros (Bool, None) break Qt's headers.
#include "platform/qt/QtPrivacyCurtain.h"
#include "platform/qt/QtScreenChangeNotifier.h"

#include "platform/SerialQueue.h"
#include "platform/qt/DesktopPowerControl.h"
#include "platform/qt/QtClipboard.h"
#include "platform/x11/X11CaptureService.h"
#include "platform/x11/X11LocalInputWatcher.h"

namespace caldrovex::platform {

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

DesktopComponents DesktopComponents::open(QueuePtr mainQueue, ClockPtr clock) {
    DesktopComponents components;
    components.emitter = X11InputEmitter::open(mainQueue, clock);
    if (components.emitter) {
        components.input = std::make_shared<InputController>(components.emitter->callbacks(), clock,
                                                             components.emitter->mainDisplayID());
    } else {
        components.input = std::make_shared<InputController>(withoutDisplay(), clock, 0);
    }
    components.clipboard = std::make_shared<QtClipboard>();
    components.power = std::make_shared<DesktopPowerControl>();
    // Time bounds of capture calls fire on a queue of their own, so a busy main queue or
    // capture queue cannot delay a time-out.
    components.screen =
        ScreenStreamer::make(std::make_shared<X11CaptureService>(std::nullopt, clock),
                             SerialQueue::make("caldrovex.capture"),
                             SerialQueue::make("caldrovex.capture.timeouts"), clock);
    components.curtain = std::make_shared<QtPrivacyCurtain>();
    components.localInput = std::make_shared<X11LocalInputWatcher>(mainQueue);
    components.screenChanges = std::make_shared<QtScreenChangeNotifier>();
    return components;
}

void DesktopComponents::addTo(HostEnvironment& environment) const {
    environment.input = input;
    environment.clipboard = clipboard;
    environment.power = power;
    environment.screen = screen;
}

}  // namespace caldrovex::platform
