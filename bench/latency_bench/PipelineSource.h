#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "latency_bench/FrameLog.h"
#include "platform/SerialQueue.h"
#include "video/CaptureService.h"
#include "video/ScreenStreamer.h"

namespace caldrovex::bench {

// When the capture took one picture: it decided to (the stamp the picture carries, taken
// before the grab) and handed it, grabbed and converted, to the pipeline's queue.
struct CaptureStamp {
    double takenAt = 0;
    double handedOverAt = 0;
};

// The host's own capture and encoding, in this process and without the network, to split
// its part of the latency: the real capture service (X11, or GNOME Wayland's screen cast read
// through PipeWire) and screen streamer (pipeline, libx264, pacer) at the host's default 6 Mbit/s
// and 1920 pixels, sending to a sink that stamps each access unit as it leaves the encoder and
// decodes it as the device would. The capture service is wrapped to stamp each picture when it is
// taken and when it reaches the pipeline's queue. A FrameRecord's receivedAt is the encoder's
// output here.
//
// Main thread only (the streamer works on its own queues); `log` must outlive the source.
class PipelineSource {
public:
    // Starts capturing the first display of `capture` at `fps`; throws std::runtime_error
    // when it cannot.
    PipelineSource(std::shared_ptr<CaptureService> capture, int fps, double probeX, double probeY,
                   FrameLog& log);
    ~PipelineSource();
    PipelineSource(const PipelineSource&) = delete;
    PipelineSource& operator=(const PipelineSource&) = delete;

    void stop();
    std::vector<CaptureStamp> captures() const;

    struct Stamps {
        std::mutex mutex;
        std::vector<CaptureStamp> captures;  // guarded by mutex
    };

private:
    std::shared_ptr<platform::SerialQueue> captureQueue_;
    std::shared_ptr<platform::SerialQueue> timerQueue_;
    std::shared_ptr<Stamps> stamps_;
    std::shared_ptr<ScreenStreamer> streamer_;
    bool stopped_ = false;
};

}  // namespace caldrovex::bench
