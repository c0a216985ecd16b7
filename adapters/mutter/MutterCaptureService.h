#pragma once

#include <functional>
#include <memory>

#include "adapters/mutter/MutterDesktop.h"
#include "video/CaptureService.h"

namespace caldrovex::platform {

// Makes the consumer of a PipeWire node that turns its buffers into pictures for the
// pipeline: a CaptureStream whose start connects to `nodeID`. Supplied by the application,
// which alone knows the PipeWire adapter.
using PictureStreamFactory = std::function<std::shared_ptr<CaptureStream>(
    uint32_t nodeID, const CaptureDisplay& display, const CaptureConfiguration& configuration,
    QueuePtr captureQueue, CaptureService::FrameHandler onFrame,
    CaptureService::StopHandler onStop)>;

// Screen capture on a GNOME Wayland session: the displays are the compositor's monitors (its
// display configuration; the primary first), and each stream is a remote-desktop session of
// its own with a screen cast of one monitor (MutterCaptureStream), whose PipeWire node the
// factory's consumer reads.
//
// Callable from any thread. `displays` answers on a short-lived thread of its own.
class MutterCaptureService final : public CaptureService {
public:
    MutterCaptureService(std::shared_ptr<MutterDesktop> desktop, PictureStreamFactory pictures);

    void displays(std::function<void(TimeoutOutcome<std::vector<CaptureDisplay>>)> done) override;
    std::shared_ptr<CaptureStream> makeStream(const CaptureDisplay& display,
                                              const CaptureConfiguration& configuration,
                                              QueuePtr captureQueue, FrameHandler onFrame,
                                              StopHandler onStop) override;

private:
    std::shared_ptr<MutterDesktop> desktop_;
    PictureStreamFactory pictures_;
};

}  // namespace caldrovex::platform
