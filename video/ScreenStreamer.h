#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/Queue.h"
#include "protocol/RemoteDisplay.h"
#include "protocol/StreamSettings.h"
#include "video/CaptureService.h"
#include "video/EncoderSession.h"
#include "video/H264Encoder.h"
#include "video/TimeoutHelper.h"
#include "video/VideoPipeline.h"

namespace caldrovex {

// Captures one display and feeds its pictures into the video pipeline. Lists the displays a
// device may choose, starts and stops the capture, keeps a retired stream apart so that a
// stream being torn down never delivers frames, and reports capture and encoding failures
// with a generation number so that the host can ignore reports about captures it has since
// replaced. Every call into the capture service is bounded in time.
//
// Contract:
// - Owned through std::shared_ptr (`make`) by the host controller for the life of the
//   process. It owns the pipeline (and so the encoder) and the capture streams.
// - `displays`, `start`, `stop` and `exclude` may be called from any thread; their completion
//   runs once, on whichever thread finished the work (the capture service's thread, the
//   timer queue or the capture queue): the caller hops to its own queue. The host runs one
//   start or stop at a time.
// - `retire`, `streamState`, `isCurrent`, `setErrorCallback`, `attach`, `detach`,
//   `requestKeyframe` and `hasFrame` are synchronous and callable from any thread.
// - The error callback runs on any thread with no lock held: the sentence and the generation
//   current when it was reported.
// - `captureQueue` ("caldrovex.capture") runs frame intake and the pipeline; `timerQueue` runs
//   the time bounds and must outlive every started operation.
// - On X11 the service is platform::X11CaptureService, stamping pictures with the same clock:
//     ScreenStreamer::make(std::make_shared<platform::X11CaptureService>(std::nullopt, clock),
//                          SerialQueue::make("caldrovex.capture"), timerQueue, clock)
//   and a stream's sink is attached with
//     streamer->attach(PacketConnectionSink::make(connection), settings, acknowledged).
class ScreenStreamer : public std::enable_shared_from_this<ScreenStreamer> {
public:
    using ErrorCallback = std::function<void(const std::string& message, int64_t generation)>;

    // Bounds of each call into the capture service, in seconds.
    static constexpr double kQueryTimeout = 8;
    static constexpr double kStartTimeout = 8;
    static constexpr double kStopTimeout = 3;
    static constexpr double kExcludeTimeout = 5;

    // Seen by the host: the generation, and whether a stream is current (captured frames count).
    struct StreamState {
        int64_t generation = 0;
        bool streaming = false;
        bool retired = false;
        std::optional<uint32_t> capturedDisplayID;
    };

    static std::shared_ptr<ScreenStreamer> make(
        std::shared_ptr<CaptureService> service, platform::QueuePtr captureQueue,
        platform::QueuePtr timerQueue, platform::ClockPtr clock = platform::SystemClock::shared(),
        EncoderSessionFactory encoderFactory = H264Encoder::defaultFactory());

    ScreenStreamer(const ScreenStreamer&) = delete;
    ScreenStreamer& operator=(const ScreenStreamer&) = delete;

    // The displays a device may choose from.
    void displays(std::function<void(TimeoutOutcome<std::vector<RemoteDisplay>>)> done);

    // Stops any capture, then captures `displayID` (or the first display when it is absent or
    // not found) at most `maxWidth` pixels wide, at most `fps` pictures a second. Reports what
    // is streamed: the display's id and name at the stream's size, once the pipeline's encoder
    // is ready for it (on the capture queue).
    void start(std::optional<uint32_t> displayID, int maxWidth, int fps,
               std::function<void(TimeoutOutcome<RemoteDisplay>)> done);

    // Stops the current and the retired stream, then resets the pipeline. Never fails.
    void stop(std::function<void()> done);

    // Detaches the current stream at once (its frames stop counting); `stop` stops it later.
    void retire();

    // Sends the stream to `sink` at the settings' rate, with at most their bitrate, in the
    // pacer regime `acknowledged` says; the first frame it gets is a key frame, and
    // `announcement`, when given, goes out ahead of it (see VideoPipeline::attach).
    void attach(VideoSinkPtr sink, const StreamSettings& settings, bool acknowledged,
                std::optional<ControlMessage> announcement = std::nullopt) {
        pipeline->attach(std::move(sink), static_cast<int>(settings.fps), settings.bitrate,
                         acknowledged, std::move(announcement));
    }
    // Stops sending; capture goes on and frames wait for the next sink.
    void detach() { pipeline->detach(); }
    // The next frame sent is a key frame, also on a still screen.
    void requestKeyframe() { pipeline->requestKeyframe(); }
    // Whether a picture was captured since the stream last started.
    bool hasFrame() const { return pipeline->hasFrame(); }

    // Leaves exactly `windowIDs` out of the current capture; false when that cannot be done.
    void exclude(std::set<uint32_t> windowIDs, std::function<void(bool)> done);

    void setErrorCallback(ErrorCallback callback);
    StreamState streamState() const;
    // Whether a report carrying `generation` is about the capture running now.
    bool isCurrent(int64_t generation) const;

    // The name shown for a display: its own, or "Display " and its id.
    static std::string name(const CaptureDisplay& display);

    const std::shared_ptr<VideoPipeline> pipeline;
    const platform::QueuePtr captureQueue;

private:
    struct Stream {
        std::shared_ptr<CaptureStream> stream;
        uint64_t id = 0;
    };

    ScreenStreamer(std::shared_ptr<CaptureService> service, platform::QueuePtr captureQueue,
                   platform::QueuePtr timerQueue, platform::ClockPtr clock,
                   EncoderSessionFactory encoderFactory);

    void startAfterStop(std::optional<uint32_t> displayID, int maxWidth, int fps,
                        std::function<void(TimeoutOutcome<RemoteDisplay>)> done);
    void startOn(const std::vector<CaptureDisplay>& displays, std::optional<uint32_t> displayID,
                 int maxWidth, int fps, std::function<void(TimeoutOutcome<RemoteDisplay>)> done);
    void intake(uint64_t streamID, VideoFrame frame, MediaTime time);
    void streamStopped(uint64_t streamID, const std::string& message);
    void report(const std::string& message);

    std::weak_ptr<ScreenStreamer> weak() { return weak_from_this(); }

    const std::shared_ptr<CaptureService> service_;
    const platform::QueuePtr timerQueue_;

    mutable std::mutex stateLock_;
    std::optional<Stream> currentStream_;        // guarded by stateLock_
    std::optional<Stream> retiredStream_;        // guarded by stateLock_
    std::optional<uint32_t> capturedDisplayID_;  // guarded by stateLock_
    int64_t generation_ = 0;                     // guarded by stateLock_
    ErrorCallback errorCallback_;                // guarded by stateLock_
    uint64_t nextStreamID_ = 0;                  // guarded by stateLock_
};

}  // namespace caldrovex
