#include "pacer_sim/SenderLoop.h"

#include <algorithm>
#include <cstring>

namespace caldrovex::bench {

const char* regimeName(Regime regime) {
    switch (regime) {
        case Regime::acknowledged:
            return "acknowledged";
        case Regime::unacknowledged:
            return "unacknowledged";
        case Regime::fixed:
            return "fixed-6M";
    }
    return "?";
}

SenderLoop::SenderLoop(std::shared_ptr<platform::ManualQueue> queue,
                       std::shared_ptr<PacketConnection> connection, Config config)
    : queue_(std::move(queue)),
      connection_(std::move(connection)),
      config_(config),
      random_(config.seed) {}

void SenderLoop::start() {
    auto& pacer = *connection_->pacer;
    std::weak_ptr<SenderLoop> weak = weak_from_this();
    if (config_.regime == Regime::fixed) {
        target_ = config_.fixedBitrate;
    } else {
        pacer.setCreditCallback([weak, queue = queue_] {
            queue->post([weak] {
                if (auto self = weak.lock()) self->pump();
            });
        });
        pacer.setBitrateCallback([weak](int64_t bitrate) {
            // As in the pipeline, the encoder never aims below its floor.
            if (auto self = weak.lock())
                self->target_ = std::max(bitrate, StreamSettings::kEncoderFloorBitrate);
        });
        pacer.configure(config_.regime == Regime::acknowledged, config_.fps, config_.maxBitrate);
    }
    capture();
}

void SenderLoop::capture() {
    ++captured_;
    slotFull_ = true;  // a newer capture replaces one still waiting
    pump();
    std::weak_ptr<SenderLoop> weak = weak_from_this();
    queue_->postAfter(1.0 / config_.fps, [weak] {
        if (auto self = weak.lock()) self->capture();
    });
}

bool SenderLoop::mayGo() {
    return config_.regime == Regime::fixed || connection_->pacer->tryReserve();
}

void SenderLoop::pump() {
    while (slotFull_ && mayGo()) {
        slotFull_ = false;
        sendOne();
    }
}

void SenderLoop::sendOne() {
    double now = queue_->monotonic();
    bool keyframe = now - lastKeyframe_ >= config_.keyframeInterval;
    if (keyframe) lastKeyframe_ = now;
    std::uniform_real_distribution<double> spread(1 - config_.contentSpread,
                                                  1 + config_.contentSpread);
    double bytes = static_cast<double>(target_) / 8 / config_.fps * spread(random_);
    if (keyframe) bytes *= config_.keyframeFactor;
    size_t size = std::max<size_t>(static_cast<size_t>(bytes), 16);
    PacketConnection::Bytes frame(size, 0x5a);
    int64_t sequence = sent_++;
    std::memcpy(frame.data(), &sequence, sizeof sequence);
    std::memcpy(frame.data() + 8, &now, sizeof now);
    connection_->sendVideo(std::move(frame), keyframe);
}

}  // namespace caldrovex::bench
