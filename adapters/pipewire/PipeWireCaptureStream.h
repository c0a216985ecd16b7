#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "platform/Clock.h"
#include "video/CaptureService.h"

namespace caldrovex::platform {

// Reads the pictures of one PipeWire video node (a screen cast) and hands each to the pipeline:
// a consumer stream on a PipeWire thread loop of its own, connected to the session's PipeWire
// daemon, asking for packed 32-bit pixels (BGRx or BGRA, the converter's layout) in shared
// memory (memfd or plain memory, mapped for us) at most `fps` times a second. Each buffer that
// carries a picture is converted to NV12 at the stream size on the PipeWire thread and posted
// to the capture queue; the producer sends a buffer only when the screen changed, so no buffer
// means "unchanged". Buffers marked corrupted or without data (a cursor-only update) are
// passed over.
//
// Contract as CaptureStream: the start completes on the PipeWire thread once the stream has
// agreed a format, or with the failure; the stop completes on the capture queue after every
// picture posted before it. A stream runs once. When the node goes away or the daemon fails,
// the stop handler says so (on the PipeWire thread), once, unless a stop was asked for first.
// Dropping the object stops the stream, and must not happen on the PipeWire thread.
class PipeWireCaptureStream final : public CaptureStream {
public:
    PipeWireCaptureStream(uint32_t nodeID, CaptureDisplay display,
                          CaptureConfiguration configuration, QueuePtr captureQueue, ClockPtr clock,
                          CaptureService::FrameHandler onFrame, CaptureService::StopHandler onStop);
    ~PipeWireCaptureStream() override;

    // Makes such streams, stamped on `clock`, for a capture service that announces nodes.
    using Factory = std::function<std::shared_ptr<CaptureStream>(
        uint32_t nodeID, const CaptureDisplay& display, const CaptureConfiguration& configuration,
        QueuePtr captureQueue, CaptureService::FrameHandler onFrame,
        CaptureService::StopHandler onStop)>;
    static Factory factory(ClockPtr clock);

    PipeWireCaptureStream(const PipeWireCaptureStream&) = delete;
    PipeWireCaptureStream& operator=(const PipeWireCaptureStream&) = delete;

    void startCapture(Done done) override;
    void stopCapture(Done done) override;
    // A PipeWire stream cannot leave windows out.
    void exclude(const std::set<uint32_t>& windowIDs, std::function<void(bool)> done) override;

    struct Consumer;

private:
    std::unique_ptr<Consumer> consumer_;
};

}  // namespace caldrovex::platform
