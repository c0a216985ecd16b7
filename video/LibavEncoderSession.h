#pragma once

#include <cstdint>
#include <memory>
#include <thread>

#include "video/EncoderSession.h"
#include "video/EncoderTuning.h"
#include "video/LibavEncoderContext.h"

namespace caldrovex {

// An EncoderSession on libavcodec (LibavEncoderContext says which encoder each attempt opens
// and how its rate is controlled). `prepare` encodes a few plain pictures and drops them
// before any frame of the stream, on the caller's thread, so that the first frames do not pay
// for memory the encoder touches for the first time. A bitrate change is applied on the output
// thread before the next frame, through the live encoder's reconfiguration, never by reopening it.
//
// Frames are encoded on the output thread, so the caller's queue (which capture shares) is not
// held up by the encoder's work.
class LibavEncoderSession final : public EncoderSession {
public:
    // Opens one attempt; null when the encoder is missing or refuses the settings.
    static std::unique_ptr<EncoderSession> open(Attempt attempt, const Settings& settings,
                                                const EncoderTuning& tuning = {});
    // Opens sessions with `tuning`.
    static EncoderSessionFactory factory(EncoderTuning tuning = {});

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
