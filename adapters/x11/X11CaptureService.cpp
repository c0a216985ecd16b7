#include "adapters/x11/X11CaptureService.h"

#include <X11/Xlib.h>

#include <memory>
#include <thread>

#include "adapters/x11/X11CaptureStream.h"
#include "adapters/x11/X11ErrorTrap.h"
#include "adapters/x11/X11Handles.h"
#include "adapters/x11/X11Monitors.h"

namespace caldrovex::platform {

X11CaptureService::X11CaptureService(std::optional<std::string> displayName, ClockPtr clock)
    : displayName_(std::move(displayName)), clock_(std::move(clock)) {}

std::vector<CaptureDisplay> X11CaptureService::listDisplays(
    const std::optional<std::string>& displayName) {
    DisplayHandle display = openDisplay(displayName);
    if (!display) {
        throw CaldrovexError("The X display could not be opened.");
    }
    // An output that goes away while it is being read is a protocol error, not a reason to
    // end the process.
    X11ErrorTrap trap(display.get());
    return x11CaptureDisplays(display.get());
}

void X11CaptureService::displays(
    std::function<void(TimeoutOutcome<std::vector<CaptureDisplay>>)> done) {
    // Detached: it holds only copies, and a hung server must not hold up its caller, whom
    // the time bound answers meanwhile.
    std::thread([name = displayName_, done = std::move(done)] {
        try {
            done(listDisplays(name));
        } catch (const CaldrovexError& error) {
            done(TimeoutOutcome<std::vector<CaptureDisplay>>(std::in_place_index<1>, error));
        }
    }).detach();
}

std::shared_ptr<CaptureStream> X11CaptureService::makeStream(
    const CaptureDisplay& display, const CaptureConfiguration& configuration, QueuePtr captureQueue,
    FrameHandler onFrame, StopHandler onStop) {
    return std::make_shared<X11CaptureStream>(displayName_, display, configuration,
                                              std::move(captureQueue), clock_, std::move(onFrame),
                                              std::move(onStop));
}

}  // namespace caldrovex::platform
