#include "app/DesktopComponents.h"

// Qt's windows before anything that brings Xlib, whose macros (Bool, None) break Qt's headers.
#include "adapters/qt/QtPrivacyCurtain.h"
#include "adapters/qt/QtScreenChangeNotifier.h"

#include "adapters/mutter/MutterCaptureService.h"
#include "adapters/mutter/MutterClipboard.h"
#include "adapters/mutter/MutterPermissionProbe.h"
#include "adapters/pipewire/PipeWireCaptureStream.h"
#include "adapters/qt/QtClipboard.h"
#include "adapters/x11/X11CaptureService.h"
#include "adapters/x11/X11LocalInputWatcher.h"
#include "adapters/x11/X11PermissionProbe.h"
#include "app/DesktopPowerControl.h"
#include "app/X11CurtainPlatform.h"
#include "platform/EnvironmentVariable.h"
#include "platform/SerialQueue.h"

#include <cstdlib>

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

// Time bounds of capture calls fire on a queue of their own, so a busy main queue or capture
// queue cannot delay a time-out.
std::shared_ptr<ScreenStreamer> makeStreamer(std::shared_ptr<CaptureService> service,
                                             platform::ClockPtr clock) {
    return ScreenStreamer::make(
        std::move(service), platform::SerialQueue::make("caldrovex.capture"),
        platform::SerialQueue::make("caldrovex.capture.timeouts"), std::move(clock));
}

void openX11(DesktopComponents& components, const platform::QueuePtr& mainQueue,
             const platform::ClockPtr& clock) {
    components.emitter = platform::X11InputEmitter::open(mainQueue, clock);
    if (components.emitter) {
        components.input = std::make_shared<InputController>(components.emitter->callbacks(), clock,
                                                             components.emitter->mainDisplayID());
    } else {
        components.input = std::make_shared<InputController>(withoutDisplay(), clock, 0);
    }
    components.clipboard = std::make_shared<platform::QtClipboard>();
    components.screen =
        makeStreamer(std::make_shared<platform::X11CaptureService>(std::nullopt, clock), clock);
    components.permissions = std::make_shared<platform::X11PermissionProbe>();
}

void openGnomeWayland(DesktopComponents& components,
                      const std::shared_ptr<platform::MutterDesktop>& gnome,
                      const platform::ClockPtr& clock) {
    components.gnomeEmitter = std::make_shared<platform::MutterInputEmitter>(gnome);
    components.input = std::make_shared<InputController>(
        components.gnomeEmitter->callbacks(), clock, components.gnomeEmitter->mainDisplayID());
    components.clipboard = std::make_shared<platform::MutterClipboard>(gnome);
    // The compositor's screen cast announces a PipeWire node; the PipeWire adapter reads it.
    components.screen = makeStreamer(std::make_shared<platform::MutterCaptureService>(
                                         gnome, platform::PipeWireCaptureStream::factory(clock)),
                                     clock);
    components.permissions = std::make_shared<platform::MutterPermissionProbe>(gnome);
}

}  // namespace

DesktopComponents::Choice DesktopComponents::Choice::current() {
    Choice choice;
    SessionBackend::Facts facts{platform::environmentVariable("XDG_SESSION_TYPE"),
                                platform::environmentVariable("WAYLAND_DISPLAY"), false};
    if (facts.sessionType == "wayland" || (!facts.sessionType && facts.waylandDisplay)) {
        auto gnome = platform::MutterDesktop::open();
        facts.gnomeRemoteDesktop =
            gnome && gnome->offersScreenCast() && gnome->offersRemoteDesktop();
        if (facts.gnomeRemoteDesktop) choice.gnome = std::move(gnome);
    }
    choice.backend = SessionBackend::choose(facts);
    return choice;
}

DesktopComponents DesktopComponents::open(platform::QueuePtr mainQueue, platform::ClockPtr clock,
                                          const Choice& choice) {
    DesktopComponents components;
    components.backend = choice.backend;
    if (choice.backend.kind == SessionBackend::Kind::gnomeWayland) {
        openGnomeWayland(components, choice.gnome, clock);
    } else {
        openX11(components, mainQueue, clock);
    }
    components.power = std::make_shared<DesktopPowerControl>();
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
