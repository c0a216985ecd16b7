#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/Clock.h"
#include "protocol/StreamSettings.h"
#include "video/EncodedFrame.h"
#include "video/EncoderSession.h"
#include "video/MediaTime.h"
#include "video/VideoFrame.h"

struct AVPacket;

namespace caldrovex {

// Turns captured frames into H.264 access units for the device, tuned for interactive screen
// sharing: real time, no frame reordering, the pacer's bitrate as the target with bursts
// capped at 1.5 times the target over one second, and a key frame at least every 20 s
// besides those requested.
//
// Contract:
// - The video pipeline owns one encoder and calls `encode`, `setFps`, `setBitrate`,
//   `tearDownSession` and the accessors on its serial queue.
// - `setNeedsKeyframe` and `needsKeyframe` may be called from any thread (they take `lock_`).
// - A completion passed to a successful `encode` runs exactly once, later, on the session's
//   output thread, with the frame or with nothing (dropped or failed). When `encode` throws,
//   its completion never runs. Completions run with no lock held; one may release the
//   pipeline and with it this encoder.
// - Errors are CaldrovexError with the sentence the user sees.
class H264Encoder {
public:
    using Completion = std::function<void(std::optional<EncodedFrame>)>;

    // `clock` times the spacing of forced key frames; `factory` opens encoder sessions (tests
    // pass fakes).
    explicit H264Encoder(platform::ClockPtr clock = platform::SystemClock::shared(),
                         EncoderSessionFactory factory = defaultFactory());
    // Finishes every frame still in the encoder (their completions run) first.
    ~H264Encoder();

    H264Encoder(const H264Encoder&) = delete;
    H264Encoder& operator=(const H264Encoder&) = delete;

    static EncoderSessionFactory defaultFactory();

    // Encodes `buffer`, presented at `timestamp`. Builds a session first when there is none
    // or the picture size changed. Throws CaldrovexError when no session can be built or the
    // frame cannot be submitted.
    void encode(const VideoFrame& buffer, MediaTime timestamp, Completion completion);

    // Expected frame rate; a change takes effect with the next session.
    void setFps(int fps) { fps_ = fps; }
    int fps() const { return fps_; }
    // Target bitrate, bits per second, never under the encoder's floor; a live session uses it
    // from the next frame on.
    void setBitrate(int64_t bitrate);
    int64_t bitrate() const { return bitrate_; }

    // Opens a session for pictures of this size ahead of the first frame (nothing when one is
    // open for them), so that the first frame does not wait for it to open and warm up; later
    // sessions are for pictures `scaled` as these (EncoderSession::Settings). A failure is left
    // to the first `encode`, which reports it.
    void prepare(int width, int height, bool scaled);

    // Finishes every pending frame, then closes the session; the next `encode` builds a new
    // one. Used when the frame rate changes or capture stops.
    void tearDownSession();

    // Asks for a key frame; it is forced on the first frame submitted at least 0.3 s after
    // the previous forced one.
    void setNeedsKeyframe();
    bool needsKeyframe() const;

    bool hasSession() const { return session_ != nullptr; }
    int width() const { return width_; }
    int height() const { return height_; }
    MediaTime lastTimestamp() const { return lastTimestamp_; }
    bool lowLatency() const { return lowLatency_; }

    // Turns one encoder packet (Annex B) into the record sent to the device: NAL units
    // length-prefixed, and on key frames the SPS and PPS moved out into `parameterSets`.
    // Nothing when the packet holds no picture data or a key frame carries only one of the
    // two parameter sets.
    static std::optional<EncodedFrame> frame(const AVPacket& packet);

private:
    // The key-frame state, shared with the output handlers so that they never need the
    // encoder itself (which may be gone by the time a late frame comes out).
    struct KeyframeState {
        mutable std::mutex lock;
        bool needsKeyframe = true;  // guarded by lock
        double lastForcedKeyframe;  // guarded by lock; monotonic seconds
        KeyframeState();
        void set();
    };

    void configure(int width, int height);

    platform::ClockPtr clock_;
    EncoderSessionFactory factory_;
    int fps_ = static_cast<int>(StreamSettings::kDefaultFps);
    int64_t bitrate_ = StreamSettings::kDefaultBitrate;
    std::unique_ptr<EncoderSession> session_;
    int width_ = 0;
    int height_ = 0;
    bool scaled_ = false;
    MediaTime lastTimestamp_;
    bool lowLatency_ = false;
    std::shared_ptr<KeyframeState> keyframes_;
};

}  // namespace caldrovex
