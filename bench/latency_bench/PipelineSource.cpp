#include "latency_bench/PipelineSource.h"

#include <future>
#include <optional>
#include <stdexcept>
#include <variant>

#include "latency_bench/MonotonicTime.h"
#include "protocol/StreamSettings.h"
#include "video/H264Decoder.h"

namespace caldrovex::bench {

namespace {

// The host's defaults for a stream a device asks for without limits.
constexpr int kMaxWidth = static_cast<int>(StreamSettings::kDefaultMaxWidth);

// Stamps every picture on its way from the capture stream to the streamer.
class StampingService final : public CaptureService {
public:
    StampingService(std::shared_ptr<CaptureService> inner,
                    std::shared_ptr<PipelineSource::Stamps> stamps)
        : inner_(std::move(inner)), stamps_(std::move(stamps)) {}

    void displays(std::function<void(TimeoutOutcome<std::vector<CaptureDisplay>>)> done) override {
        inner_->displays(std::move(done));
    }

    std::shared_ptr<CaptureStream> makeStream(const CaptureDisplay& display,
                                              const CaptureConfiguration& configuration,
                                              platform::QueuePtr captureQueue, FrameHandler onFrame,
                                              StopHandler onStop) override {
        auto stamped = [stamps = stamps_, onFrame = std::move(onFrame)](VideoFrame frame,
                                                                        MediaTime time) {
            {
                std::lock_guard guard(stamps->mutex);
                stamps->captures.push_back({time.seconds(), monotonicNow()});
            }
            onFrame(std::move(frame), time);
        };
        return inner_->makeStream(display, configuration, std::move(captureQueue),
                                  std::move(stamped), std::move(onStop));
    }

private:
    std::shared_ptr<CaptureService> inner_;
    std::shared_ptr<PipelineSource::Stamps> stamps_;
};

// The far end of the pipeline: stamps each access unit as the encoder hands it over, gives
// the credit back at once (a network with no delay), and decodes it as the device would.
// Called on the encoder's output thread only.
class DecodingSink final : public VideoSink {
public:
    DecodingSink(double probeX, double probeY, FrameLog& log)
        : probeX_(probeX), probeY_(probeY), log_(log) {}

    std::shared_ptr<VideoPacer> pacer() const override { return pacer_; }

    void sendControl(const ControlMessage& message) override {
        if (message.type == "videoConfig" && message.sps && message.pps) {
            parameterSets_ = EncodedFrame::ParameterSets{*message.sps, *message.pps};
        }
    }

    void sendVideo(std::vector<uint8_t> data, bool isKeyframe) override {
        FrameRecord record;
        record.receivedAt = monotonicNow();
        record.keyframe = isKeyframe;
        record.bytes = static_cast<int64_t>(data.size());
        pacer_->didSend(record.bytes, isKeyframe);
        pacer_->didComplete();
        EncodedFrame frame{std::move(data), isKeyframe, isKeyframe ? parameterSets_ : std::nullopt};
        std::optional<DecodedPicture> picture;
        try {
            picture = decoder_.decode(frame);
        } catch (const CaldrovexError&) {
            return;  // an undecodable unit shows no colour: the change counts as missed
        }
        if (!picture) return;
        record.decodedAt = monotonicNow();
        record.width = picture->width;
        record.height = picture->height;
        record.probe = picture->pixel(static_cast<int>(probeX_ * picture->width),
                                      static_cast<int>(probeY_ * picture->height));
        log_.add(record);
    }

private:
    const double probeX_;
    const double probeY_;
    FrameLog& log_;
    std::shared_ptr<VideoPacer> pacer_ = std::make_shared<VideoPacer>();
    std::optional<EncodedFrame::ParameterSets> parameterSets_;
    H264Decoder decoder_;
};

}  // namespace

PipelineSource::PipelineSource(std::shared_ptr<CaptureService> capture, int fps, double probeX,
                               double probeY, FrameLog& log)
    : captureQueue_(platform::SerialQueue::make("caldrovex.capture")),
      timerQueue_(platform::SerialQueue::make("caldrovex.timeout")),
      stamps_(std::make_shared<Stamps>()) {
    auto service = std::make_shared<StampingService>(std::move(capture), stamps_);
    streamer_ = ScreenStreamer::make(service, captureQueue_, timerQueue_);
    // Unacknowledged: the sink completes every write at once, so credit never runs short.
    StreamSettings settings;
    settings.fps = fps;
    streamer_->attach(std::make_shared<DecodingSink>(probeX, probeY, log), settings, false);
    std::promise<TimeoutOutcome<RemoteDisplay>> started;
    streamer_->start(std::nullopt, kMaxWidth, fps, [&](TimeoutOutcome<RemoteDisplay> outcome) {
        started.set_value(std::move(outcome));
    });
    auto outcome = started.get_future().get();
    if (auto* error = std::get_if<CaldrovexError>(&outcome))
        throw std::runtime_error(error->message());
}

PipelineSource::~PipelineSource() {
    stop();
}

void PipelineSource::stop() {
    if (stopped_) return;
    stopped_ = true;
    std::promise<void> done;
    streamer_->stop([&] { done.set_value(); });
    done.get_future().get();
    streamer_->detach();
}

std::vector<CaptureStamp> PipelineSource::captures() const {
    std::lock_guard guard(stamps_->mutex);
    return stamps_->captures;
}

}  // namespace caldrovex::bench
