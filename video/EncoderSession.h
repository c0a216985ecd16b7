#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "video/VideoFrame.h"

struct AVPacket;

namespace caldrovex {

// One live H.264 encoder of a fixed picture size, as H264Encoder drives it: frames go in on
// the caller's queue, encoded packets come out on the session's own output thread.
//
// Contract:
// - `prepare`, `setBitrate`, `submit` and `complete` are called from one queue at a time
//   (the video pipeline's); none of them calls an output handler itself.
// - Every handler passed to a successful `submit` is called exactly once, on the output
//   thread, in submission order, with no lock held: with status 0 and the frame's packet
//   (Annex B NAL units, the packet's key flag set on IDR pictures), or with a null packet
//   when the frame was dropped (status 0) or failed (a negative AVERROR status). The packet
//   is valid only during the call.
// - `complete` (also run by the destructor) finishes every submitted frame, calls every
//   handler, and stops the output thread. Called from a handler (which runs on the output
//   thread), it returns at once and the thread finishes the remaining frames on its own.
class EncoderSession {
public:
    // The attempts made for a new session, in order.
    enum class Attempt {
        // A hardware encoder with low-latency rate control.
        lowLatencyHardware,
        // The software encoder, tuned for real time.
        software,
    };

    struct Settings {
        int width = 0;
        int height = 0;
        int fps = 30;
        int64_t bitrate = 0;  // bits per second
        // The pictures are the screen scaled down, so motion between them (a scroll, a moved
        // window) falls between pixels rather than on them.
        bool scaled = false;
    };

    using OutputHandler = std::function<void(int status, const AVPacket* packet)>;

    virtual ~EncoderSession() = default;

    // Whether this session runs with low-latency rate control (the hardware attempt).
    virtual bool lowLatency() const = 0;

    // Gets the session ready to take frames, warm: a session may encode pictures of its own
    // first (never delivered), so that the stream's first frames take no longer than later
    // ones. 0, or a negative AVERROR status; after a failure the session stays usable and
    // `submit` tries again.
    virtual int prepare() = 0;

    // Aims the live encoder at a new bitrate from the next frame on.
    virtual void setBitrate(int64_t bitrate) = 0;

    // Queues one frame for encoding at `ptsMicros` (microseconds; strictly increasing from one
    // call to the next), as an IDR picture when `forceKeyframe`. 0, or a negative AVERROR
    // status when the frame could not be queued (its handler is then never called).
    virtual int submit(const VideoFrame& frame, int64_t ptsMicros, bool forceKeyframe,
                       OutputHandler handler) = 0;

    virtual void complete() = 0;
};

// Opens a session for one attempt; null when that encoder cannot be opened here.
using EncoderSessionFactory = std::function<std::unique_ptr<EncoderSession>(
    EncoderSession::Attempt, const EncoderSession::Settings&)>;

}  // namespace caldrovex
