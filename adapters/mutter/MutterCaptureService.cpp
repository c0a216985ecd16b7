#include "adapters/mutter/MutterCaptureService.h"

#include <thread>

#include "adapters/mutter/MutterCaptureStream.h"

namespace caldrovex::platform {

MutterCaptureService::MutterCaptureService(std::shared_ptr<MutterDesktop> desktop,
                                           PictureStreamFactory pictures)
    : desktop_(std::move(desktop)), pictures_(std::move(pictures)) {}

void MutterCaptureService::displays(
    std::function<void(TimeoutOutcome<std::vector<CaptureDisplay>>)> done) {
    // Detached: a compositor that stops answering must not hold up the caller, whom the time
    // bound answers meanwhile.
    std::thread([desktop = desktop_, done = std::move(done)] {
        try {
            std::vector<CaptureDisplay> displays;
            for (const MutterMonitor& monitor : desktop->monitors())
                displays.push_back(monitor.display);
            done(std::move(displays));
        } catch (const CaldrovexError& error) {
            done(TimeoutOutcome<std::vector<CaptureDisplay>>(std::in_place_index<1>, error));
        }
    }).detach();
}

std::shared_ptr<CaptureStream> MutterCaptureService::makeStream(
    const CaptureDisplay& display, const CaptureConfiguration& configuration, QueuePtr captureQueue,
    FrameHandler onFrame, StopHandler onStop) {
    // The display's name is its connector (MutterMonitors).
    return std::make_shared<MutterCaptureStream>(desktop_, pictures_, display, configuration,
                                                 std::move(captureQueue), std::move(onFrame),
                                                 std::move(onStop));
}

}  // namespace caldrovex::platform
