#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/CaldrovexError.h"
#include "platform/Queue.h"
#include "video/CaptureDisplay.h"
#include "video/MediaTime.h"
#include "video/TimeoutHelper.h"
#include "video/VideoFrame.h"

namespace caldrovex {

// How one capture stream is set up.
struct CaptureConfiguration {
    // Picture size delivered, after scaling (even, at least 2).
    int width = 0;
    int height = 0;
    // Pictures are at least 1/fps s apart.
    int fps = 30;
    bool showsCursor = true;
};

// One running (or startable) capture of one display, made by a CaptureService.
//
// Contract:
// - Completions are called once each, from any thread, possibly before the call returns.
//   They may never come when the platform hangs; the screen streamer bounds each in time.
// - Frames go to the frame handler given at creation, on the capture queue, from the start's
//   success until the stop has completed; none after the stop's completion.
// - Dropping the last reference stops the capture too (without a completion).
class CaptureStream {
public:
    using Done = std::function<void(std::optional<CaldrovexError>)>;

    virtual ~CaptureStream() = default;

    // Starts capturing: nullopt once pictures will flow, or the failure.
    virtual void startCapture(Done done) = 0;

    // Stops capturing; nullopt or the failure once no further picture will come.
    virtual void stopCapture(Done done) = 0;

    // Leaves exactly these windows out of the picture: true when done, false when it cannot
    // be done (a window is not on screen, or the platform cannot leave windows out).
    virtual void exclude(const std::set<uint32_t>& windowIDs, std::function<void(bool)> done) = 0;
};

// The platform's screen capture service: lists displays and makes capture streams. The real
// one is X11's (adapters/x11); tests and benchmarks use a synthetic one.
//
// Contract: callable from any thread; completions as for CaptureStream.
class CaptureService {
public:
    // One complete picture and its presentation time (on the clock the pipeline uses).
    using FrameHandler = std::function<void(VideoFrame frame, MediaTime time)>;
    // The stream ended on its own, with the platform's sentence. Any thread.
    using StopHandler = std::function<void(const std::string& message)>;

    virtual ~CaptureService() = default;

    // The displays that can be captured, in the service's order.
    virtual void displays(
        std::function<void(TimeoutOutcome<std::vector<CaptureDisplay>>)> done) = 0;

    // A stream of `display`, not yet started, delivering to `onFrame` on `captureQueue`.
    // Throws CaldrovexError with the platform's sentence when it cannot be set up.
    virtual std::shared_ptr<CaptureStream> makeStream(const CaptureDisplay& display,
                                                      const CaptureConfiguration& configuration,
                                                      platform::QueuePtr captureQueue,
                                                      FrameHandler onFrame, StopHandler onStop) = 0;
};

}  // namespace caldrovex
