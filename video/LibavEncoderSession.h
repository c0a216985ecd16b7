#pragma once

#include <cstdint>
#include <memory>
#include <thread>

#include "video/EncoderSession.h"

namespace caldrovex {

// An EncoderSession on libavcodec. The hardware attempt opens NVENC with its ultra-low-latency
// tuning; the software attempt opens libx264 with the zero-latency tuning. Both run without
// B-frames, so packets come out in submission order, one per frame.
//
// Rate control. The target is the fill rate of the encoder's buffer model (VBV): the stream
// can never average more than the target, and with a buffer of half a second, no one-second
// window carries more than 1.5 times the target. libx264 runs in constant-quality mode under
// that cap, which is what lets a new target govern at once: its average-bitrate mode keeps a
// running account since the first frame (the internal target of that mode does not even
// follow a reconfiguration), so after a low period it spends up to the ceiling to catch up,
// just when the network has been congested. A bitrate change is applied on the output thread
// before the next frame, through the live encoder's reconfiguration, never by reopening it.
//
// Frames are encoded on the output thread, so the caller's queue (which capture shares) is not
// held up by the encoder's work.
class LibavEncoderSession final : public EncoderSession {
public:
    // Opens one attempt; null when the encoder is missing or refuses the settings.
    static std::unique_ptr<EncoderSession> open(Attempt attempt, const Settings& settings);

    ~LibavEncoderSession() override;

    bool lowLatency() const override { return lowLatency_; }
    int prepare() override;
    void setBitrate(int64_t bitrate) override;
    int submit(const VideoFrame& frame, int64_t ptsMicros, bool forceKeyframe,
               OutputHandler handler) override;
    void complete() override;

    struct Core;

private:
    LibavEncoderSession(std::shared_ptr<Core> core, bool lowLatency);

    std::shared_ptr<Core> core_;  // shared with the output thread, which may outlive us
    bool lowLatency_;
    int64_t lastPts_;      // the caller's queue
    int64_t bitrate_ = 0;  // the caller's queue
    std::thread worker_;   // the output thread, once prepared
};

}  // namespace caldrovex
