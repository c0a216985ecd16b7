#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "protocol/ControlMessage.h"
#include "protocol/VideoPacer.h"

namespace caldrovex {

// Where the video pipeline sends a stream: one device connection as the pipeline sees it. The
// host attaches a PacketConnectionSink; tests attach a fake that records what it is given.
//
// Contract:
// - Every method may be called from any thread (the pipeline calls them from the encoder's
//   output thread) and must not call back into the pipeline synchronously.
// - Messages and frames reach the wire in the order of the calls that sent them, across
//   threads too, when those calls are ordered (by a lock, for instance).
// - `pacer` returns the same pacer for the life of the sink. Two sinks stand for the same
//   connection exactly when they share their pacer, so a host may wrap a connection afresh
//   at every attach.
// - `sendVideo` takes over one unit of the pacer's credit with the frame: from then on the
//   sink gives it back (on completion, acknowledgement, or when it drops the frame).
class VideoSink {
public:
    virtual ~VideoSink() = default;

    virtual std::shared_ptr<VideoPacer> pacer() const = 0;

    // Sends one control message ahead of the frames sent after it.
    virtual void sendControl(const ControlMessage& message) = 0;

    // Sends one encoded access unit (length-prefixed NAL units).
    virtual void sendVideo(std::vector<uint8_t> frame, bool isKeyframe) = 0;

    static bool same(const VideoSink* a, const VideoSink* b) {
        return a != nullptr && b != nullptr && a->pacer() == b->pacer();
    }
};

using VideoSinkPtr = std::shared_ptr<VideoSink>;

}  // namespace caldrovex
