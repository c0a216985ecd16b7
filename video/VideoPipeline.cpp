#include "video/VideoPipeline.h"

#include <cassert>
#include <utility>

#include "platform/CaldrovexError.h"

namespace caldrovex {

namespace {

// A requested key frame on a still screen is retried at this interval...
constexpr double kRefreshInterval = 0.15;
// ...this many times (3 s in all), long enough to outlast a burst of refused credit.
constexpr int kRefreshAttempts = 20;

// Re-submitted frames are stamped from the same clock as captures, in microseconds.
constexpr int32_t kClockTimescale = 1'000'000;

}  // namespace

bool VideoPipeline::Reservation::settle() {
    std::lock_guard guard(lock_);
    if (settled_) {
        return false;
    }
    settled_ = true;
    return true;
}

void VideoPipeline::Reservation::giveUp() {
    if (settle()) {
        receiver->pacer()->releaseReservation();
    }
}

std::shared_ptr<VideoPipeline> VideoPipeline::make(platform::QueuePtr queue,
                                                   platform::ClockPtr clock,
                                                   EncoderSessionFactory factory) {
    return std::shared_ptr<VideoPipeline>(
        new VideoPipeline(std::move(queue), std::move(clock), std::move(factory)));
}

VideoPipeline::VideoPipeline(platform::QueuePtr queue, platform::ClockPtr clock,
                             EncoderSessionFactory factory)
    : queue(std::move(queue)), clock_(clock), encoder_(std::move(clock), std::move(factory)) {}

VideoSinkPtr VideoPipeline::currentSink() const {
    std::lock_guard guard(sinkLock_);
    return currentSink_;
}

void VideoPipeline::attach(VideoSinkPtr sink, int fps, int64_t maxBitrate, bool acknowledged,
                           std::optional<ControlMessage> announcement) {
    if (sink) {
        std::shared_ptr<VideoPacer> pacer = sink->pacer();
        pacer->configure(acknowledged, fps, maxBitrate);
        installPacerCallbacks(*pacer);
        // Sent before the sink is published under the lock: every frame that can reach the
        // sink is sent by someone who read it after this, so it queues behind.
        if (announcement) sink->sendControl(*announcement);
    }
    VideoSinkPtr previous;
    {
        std::lock_guard guard(sinkLock_);
        previous = std::exchange(currentSink_, sink);
    }
    if (previous && !VideoSink::same(previous.get(), sink.get())) {
        // The old connection's pacer must not pump or retune us any more; frames still in the
        // encoder for it are given back at delivery.
        std::shared_ptr<VideoPacer> old = previous->pacer();
        old->setCreditCallback({});
        old->setBitrateCallback({});
    }
    if (!sink) {
        return;
    }
    int64_t target = sink->pacer()->stats().bitrate;
    queue->post([weak = weak(), fps, target] {
        if (auto self = weak.lock()) {
            self->applyStreamSettings(fps, target);
        }
    });
    requestKeyframe();
}

void VideoPipeline::installPacerCallbacks(VideoPacer& pacer) {
    pacer.setCreditCallback([weak = weak(), queue = queue] {
        queue->post([weak] {
            if (auto self = weak.lock()) {
                self->pump();
            }
        });
    });
    pacer.setBitrateCallback([weak = weak(), queue = queue](int64_t bitrate) {
        queue->post([weak, bitrate] {
            if (auto self = weak.lock()) {
                self->setEncoderBitrate(bitrate);
            }
        });
    });
}

void VideoPipeline::applyStreamSettings(int fps, int64_t target) {
    assert(queue->isCurrent());
    if (encoder_.fps() != fps) {
        // The frame rate is fixed for a session's life; the next frame opens a new one.
        encoder_.tearDownSession();
        encoder_.setFps(fps);
    }
    setEncoderBitrate(target);
}

void VideoPipeline::prepare(int width, int height, int fps, bool scaled) {
    assert(queue->isCurrent());
    if (encoder_.fps() != fps) {
        encoder_.tearDownSession();
        encoder_.setFps(fps);
    }
    encoder_.prepare(width, height, scaled);
}

void VideoPipeline::setEncoderBitrate(int64_t bitrate) {
    assert(queue->isCurrent());
    // The encoder keeps to its own floor, whatever the pacer says.
    encoder_.setBitrate(bitrate);
}

void VideoPipeline::requestKeyframe() {
    encoder_.setNeedsKeyframe();
    queue->post([weak = weak()] {
        if (auto self = weak.lock()) {
            self->pump();
            self->refresh(++self->refreshGeneration_, 0);
        }
    });
}

void VideoPipeline::refresh(int64_t generation, int attempt) {
    queue->postAfter(kRefreshInterval, [weak = weak(), generation, attempt] {
        auto self = weak.lock();
        if (!self || generation != self->refreshGeneration_ || attempt >= kRefreshAttempts) {
            return;
        }
        if (!self->encoder_.needsKeyframe()) {
            return;
        }
        ++self->refreshRuns_;
        if (!self->pending_ && !self->latest_.empty()) {
            auto micros = static_cast<int64_t>(self->clock_->monotonic() * kClockTimescale);
            self->pending_ = PendingFrame{self->latest_, MediaTime::make(micros, kClockTimescale)};
        }
        self->pump();
        self->refresh(generation, attempt + 1);
    });
}

void VideoPipeline::intake(VideoFrame frame, MediaTime time) {
    assert(queue->isCurrent());
    latest_ = frame;
    hasFrame_ = true;
    pending_ = PendingFrame{std::move(frame), time};
    pump();
}

void VideoPipeline::pump() {
    assert(queue->isCurrent());
    if (!pending_) {
        return;
    }
    VideoSinkPtr sink = currentSink();
    if (!sink || !sink->pacer()->tryReserve()) {
        // The frame waits; a newer capture may replace it, and credit pumps again.
        return;
    }
    PendingFrame frame = std::move(*pending_);
    pending_.reset();
    auto reservation = std::make_shared<Reservation>(std::move(sink));
    try {
        encoder_.encode(frame.buffer, frame.time,
                        [weak = weak(), reservation](std::optional<EncodedFrame> encoded) {
                            if (auto self = weak.lock()) {
                                self->deliver(std::move(encoded), reservation);
                            } else {
                                reservation->giveUp();
                            }
                        });
    } catch (const CaldrovexError& error) {
        reservation->giveUp();
        reportFailure(error.message());
    }
}

void VideoPipeline::reportFailure(const std::string& message) {
    if (reportedError_) {
        return;
    }
    reportedError_ = true;
    if (auto report = onError) {
        report(message);
    }
}

void VideoPipeline::deliver(std::optional<EncodedFrame> frame,
                            const std::shared_ptr<Reservation>& reservation) {
    if (!frame) {
        // Dropped or failed inside the encoder: not an error, but a key frame it owed must
        // still come.
        reservation->giveUp();
        if (encoder_.needsKeyframe()) {
            requestKeyframe();
        }
        return;
    }
    VideoSinkPtr sink = currentSink();
    if (!sink || !VideoSink::same(sink.get(), reservation->receiver.get())) {
        // The stream moved on while this frame was encoded; its credit goes home.
        reservation->giveUp();
        return;
    }
    if (!reservation->settle()) {
        return;
    }
    if (frame->parameterSets) {
        ControlMessage config = ControlMessage::make("videoConfig");
        config.sps = std::move(frame->parameterSets->sps);
        config.pps = std::move(frame->parameterSets->pps);
        sink->sendControl(config);
    }
    sink->sendVideo(std::move(frame->data), frame->keyframe);
}

void VideoPipeline::reset() {
    assert(queue->isCurrent());
    pending_.reset();
    latest_ = VideoFrame();
    hasFrame_ = false;
    ++refreshGeneration_;
    refreshRuns_ = 0;
    reportedError_ = false;
    encoder_.tearDownSession();
}

bool VideoPipeline::hasFrame() const {
    return hasFrame_;
}

VideoPipeline::DebugState VideoPipeline::debugState() const {
    return DebugState{pending_.has_value(), !latest_.empty(),     refreshGeneration_,
                      refreshRuns_,         reportedError_,       encoder_.fps(),
                      encoder_.bitrate(),   encoder_.hasSession()};
}

}  // namespace caldrovex
