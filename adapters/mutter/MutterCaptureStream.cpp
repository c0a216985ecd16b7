#include "adapters/mutter/MutterCaptureStream.h"

namespace caldrovex::platform {

namespace {

constexpr const char* kDisplayGone = "The captured display is no longer available.";

}  // namespace

MutterCaptureStream::MutterCaptureStream(std::shared_ptr<MutterDesktop> desktop,
                                         PictureStreamFactory pictures, CaptureDisplay display,
                                         CaptureConfiguration configuration, QueuePtr captureQueue,
                                         CaptureService::FrameHandler onFrame,
                                         CaptureService::StopHandler onStop)
    : desktop_(std::move(desktop)),
      pictures_(std::move(pictures)),
      display_(std::move(display)),
      configuration_(configuration),
      queue_(std::move(captureQueue)),
      onFrame_(std::move(onFrame)),
      onStop_(std::move(onStop)) {}

MutterCaptureStream::~MutterCaptureStream() {
    // Not waited for: the consumer stops on its own when dropped, and the session's goodbye
    // runs on the bus thread.
    if (session_) {
        desktop_->forget(session_.get());
        session_->stop(nullptr);
    }
}

void MutterCaptureStream::startCapture(Done done) {
    std::shared_ptr<MutterRemoteSession> session;
    {
        std::lock_guard guard(mutex_);
        if (phase_ != Phase::idle) return done(std::nullopt);  // a stream runs once
        phase_ = Phase::starting;
        session_ = std::make_shared<MutterRemoteSession>(desktop_->bus(), display_.name,
                                                         configuration_.showsCursor);
        session = session_;
    }
    std::weak_ptr<MutterCaptureStream> weak = weak_from_this();
    session->onClosed = [weak] {
        if (auto self = weak.lock()) self->endedOnItsOwn(kDisplayGone);
    };
    session->start([weak, done = std::move(done)](std::optional<CaldrovexError> error,
                                                  uint32_t nodeID) mutable {
        auto self = weak.lock();
        if (!self) return done(error ? error : CaldrovexError(kDisplayGone));
        self->sessionReady(std::move(error), nodeID, std::move(done));
    });
}

void MutterCaptureStream::sessionReady(std::optional<CaldrovexError> error, uint32_t nodeID,
                                       Done done) {
    std::weak_ptr<MutterCaptureStream> weak = weak_from_this();
    std::shared_ptr<CaptureStream> consumer;
    if (!error) {
        try {
            consumer = pictures_(nodeID, display_, configuration_, queue_, onFrame_,
                                 [weak](const std::string& message) {
                                     if (auto self = weak.lock()) self->endedOnItsOwn(message);
                                 });
        } catch (const CaldrovexError& failure) {
            error = failure;
        }
    }
    if (error) return consumerStarted(std::move(error), std::move(done));
    {
        std::lock_guard guard(mutex_);
        consumer_ = consumer;
    }
    consumer->startCapture([weak, done = std::move(done)](std::optional<CaldrovexError> error) {
        auto self = weak.lock();
        if (!self) return done(error ? error : CaldrovexError(kDisplayGone));
        self->consumerStarted(std::move(error), done);
    });
}

void MutterCaptureStream::consumerStarted(std::optional<CaldrovexError> error, Done done) {
    Done stop;
    std::shared_ptr<MutterRemoteSession> session;
    {
        std::lock_guard guard(mutex_);
        session = session_;
        if (error) {
            phase_ = Phase::stopped;
        } else if (stopAsked_) {
            phase_ = Phase::stopped;
            stop = std::move(pendingStop_);
            pendingStop_ = nullptr;
        } else {
            phase_ = Phase::running;
        }
    }
    if (error) {
        tearDown([done = std::move(done), error = *error](std::optional<CaldrovexError>) {
            done(error);
        });
        return;
    }
    if (stop) {
        done(std::nullopt);
        return tearDown(std::move(stop));
    }
    desktop_->setCurrent(session, display_);
    done(std::nullopt);
}

void MutterCaptureStream::stopCapture(Done done) {
    {
        std::lock_guard guard(mutex_);
        stopAsked_ = true;
        if (phase_ == Phase::starting) {
            // The start's end does the stop.
            pendingStop_ = std::move(done);
            return;
        }
        if (phase_ != Phase::running) {
            phase_ = Phase::stopped;
            queue_->post([done] { done(std::nullopt); });
            return;
        }
        phase_ = Phase::stopped;
    }
    tearDown(std::move(done));
}

// Stops the consumer (its completion comes behind its last picture), then the session, and
// completes on the capture queue.
void MutterCaptureStream::tearDown(Done done) {
    std::shared_ptr<MutterRemoteSession> session;
    std::shared_ptr<CaptureStream> consumer;
    {
        std::lock_guard guard(mutex_);
        session = session_;
        consumer = consumer_;
    }
    desktop_->forget(session.get());
    auto endSession = [session, queue = queue_,
                       done = std::move(done)](std::optional<CaldrovexError>) {
        session->stop([queue, done] { queue->post([done] { done(std::nullopt); }); });
    };
    if (consumer) {
        consumer->stopCapture(std::move(endSession));
    } else {
        endSession(std::nullopt);
    }
}

void MutterCaptureStream::endedOnItsOwn(const std::string& message) {
    {
        std::lock_guard guard(mutex_);
        if (stopAsked_ || endReported_ || phase_ != Phase::running) return;
        endReported_ = true;
    }
    if (onStop_) onStop_(message);
}

void MutterCaptureStream::exclude(const std::set<uint32_t>&, std::function<void(bool)> done) {
    done(false);
}

}  // namespace caldrovex::platform
