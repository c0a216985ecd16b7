#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/Clock.h"
#include "platform/Queue.h"
#include "video/EncodedFrame.h"
#include "video/EncoderSession.h"
#include "video/H264Encoder.h"
#include "video/MediaTime.h"
#include "video/VideoFrame.h"
#include "video/VideoSink.h"

namespace caldrovex {

// Joins capture, encoder and connection. Captured frames wait in a single slot until the
// attached connection's pacer grants credit; only then are they encoded, so a slow network
// lowers the frame rate instead of building a queue, and the encoder never works on a frame
// that could not be sent. A newer capture replaces a frame still waiting (latest wins).
// Key frames go out preceded by a "videoConfig" message with the stream's parameter sets.
// The most recent capture is kept, so a key frame can be produced for a still screen: each
// request re-submits it every 0.15 s until the encoder has forced one, 20 times at most.
//
// Contract:
// - Owned through std::shared_ptr (`make`) by the screen streamer, which shares `queue` with
//   it (the capture queue "caldrovex.capture"). `prepare`, `intake`, `reset` and `debugState`
//   run on `queue`; `hasFrame` may be called from any thread and never waits.
// - `attach`, `detach` and `requestKeyframe` may be called from any thread (the host's main
//   queue; `requestKeyframe` also from the encoder's output thread).
// - `onError` is set once, before frames flow; it runs on `queue` with the encoder's
//   sentence, at most once between two resets.
// - Encoded frames are delivered on the encoder's output thread straight to the sink.
// - Every unit of pacer credit taken for a frame is settled exactly once: the frame is sent
//   (the sink then owns the credit) or the credit is given back to the pacer that granted it,
//   also when the stream moved to another connection or the pipeline is gone meanwhile.
// - Callbacks installed on a pacer and encoder completions hold the pipeline weakly.
class VideoPipeline : public std::enable_shared_from_this<VideoPipeline> {
public:
    // A copy of the pipeline's queue-bound state, for tests and benchmarks. On `queue`.
    struct DebugState {
        bool pending = false;
        bool latest = false;
        int64_t refreshGeneration = 0;
        // Refresh attempts that went ahead (re-submitted or pumped) since the last reset.
        int refreshRuns = 0;
        bool reportedError = false;
        int encoderFps = 0;
        int64_t encoderBitrate = 0;
        bool encoderSession = false;
    };

    // `clock` stamps re-submitted frames and spaces forced key frames; `factory` opens the
    // encoder's sessions (tests pass fakes).
    static std::shared_ptr<VideoPipeline> make(
        platform::QueuePtr queue, platform::ClockPtr clock = platform::SystemClock::shared(),
        EncoderSessionFactory factory = H264Encoder::defaultFactory());

    VideoPipeline(const VideoPipeline&) = delete;
    VideoPipeline& operator=(const VideoPipeline&) = delete;

    // Sends the stream to `sink` at `fps`, with at most `maxBitrate` bits per second, in the
    // pacer regime `acknowledged` says. A null sink detaches. Ends with a key-frame request, so
    // every new viewer starts with a key frame and its parameter sets.
    //
    // `announcement`, when given, goes out on the sink ahead of every frame of this attach. A
    // device reads what the stream is ("streaming": display and size) before its first
    // picture, and the capture queue may encode a waiting frame the moment the sink is
    // published, before a message the caller sent after `attach` could reach the connection.
    void attach(VideoSinkPtr sink, int fps, int64_t maxBitrate, bool acknowledged,
                std::optional<ControlMessage> announcement = std::nullopt);
    void detach() { attach(nullptr, 0, 0, false); }

    // Asks the encoder for a key frame and keeps re-submitting the latest capture until one
    // has been forced.
    void requestKeyframe();

    // Gets the encoder ready for pictures of `width` × `height` at `fps`, `scaled` down from the
    // screen or not, before the first one arrives (a capture just started), so that the first
    // frames do not pay for opening and warming up an encoder. On `queue`.
    void prepare(int width, int height, int fps, bool scaled);

    // One complete captured frame. On `queue`.
    void intake(VideoFrame frame, MediaTime time);

    // Forgets every frame, stops the refresh loop, re-arms error reporting and closes the
    // encoder's session. Keeps the sink. On `queue`.
    void reset();

    // Whether a capture has arrived since the last reset.
    bool hasFrame() const;

    DebugState debugState() const;

    // Reports an encoding failure sentence; see the contract above.
    std::function<void(const std::string&)> onError;

    const platform::QueuePtr queue;

private:
    // One unit of credit granted by `receiver`'s pacer for one frame handed to the encoder.
    class Reservation {
    public:
        explicit Reservation(VideoSinkPtr receiver) : receiver(std::move(receiver)) {}
        // Claims the reservation for delivery; false when it was already settled.
        bool settle();
        // Gives the credit back unless the reservation was already settled.
        void giveUp();

        const VideoSinkPtr receiver;

    private:
        std::mutex lock_;
        bool settled_ = false;  // guarded by lock_
    };

    struct PendingFrame {
        VideoFrame buffer;
        MediaTime time;
    };

    VideoPipeline(platform::QueuePtr queue, platform::ClockPtr clock,
                  EncoderSessionFactory factory);

    void installPacerCallbacks(VideoPacer& pacer);
    VideoSinkPtr currentSink() const;
    // Everything below except `deliver` runs on `queue`.
    void applyStreamSettings(int fps, int64_t target);
    void setEncoderBitrate(int64_t bitrate);
    void pump();
    void refresh(int64_t generation, int attempt);
    void reportFailure(const std::string& message);
    // On the encoder's output thread.
    void deliver(std::optional<EncodedFrame> frame,
                 const std::shared_ptr<Reservation>& reservation);

    std::weak_ptr<VideoPipeline> weak() { return weak_from_this(); }

    const platform::ClockPtr clock_;
    // Fields and session belong to `queue`; its key-frame state is safe from any thread.
    H264Encoder encoder_;

    mutable std::mutex sinkLock_;
    VideoSinkPtr currentSink_;  // guarded by sinkLock_

    // Owned by `queue`.
    std::optional<PendingFrame> pending_;
    VideoFrame latest_;
    // Whether `latest_` holds a frame; written on `queue`, read from any thread.
    std::atomic<bool> hasFrame_ = false;
    int64_t refreshGeneration_ = 0;
    int refreshRuns_ = 0;
    bool reportedError_ = false;
};

}  // namespace caldrovex
