#include "support/SyntheticCaptureService.h"

#include <utility>

namespace caldrovex::test {

namespace {

std::optional<CaldrovexError> answer(const SyntheticAnswer& how) {
    return how.error;
}

}  // namespace

SyntheticCaptureStream::SyntheticCaptureStream(CaptureDisplay display,
                                               CaptureConfiguration configuration,
                                               platform::QueuePtr queue, platform::ClockPtr clock,
                                               CaptureService::FrameHandler onFrame,
                                               CaptureService::StopHandler onStop,
                                               SyntheticAnswer start, SyntheticAnswer stop)
    : display(std::move(display)),
      configuration(configuration),
      queue_(std::move(queue)),
      clock_(std::move(clock)),
      onFrame_(std::move(onFrame)),
      onStop_(std::move(onStop)),
      startAnswer_(std::move(start)),
      stopAnswer_(std::move(stop)),
      pool_(configuration.width, configuration.height) {}

void SyntheticCaptureStream::startCapture(Done done) {
    if (!startAnswer_.answers) {
        return;
    }
    {
        std::lock_guard guard(mutex_);
        running_ = !startAnswer_.error;
    }
    done(answer(startAnswer_));
}

void SyntheticCaptureStream::stopCapture(Done done) {
    {
        std::lock_guard guard(mutex_);
        running_ = false;
    }
    if (stopAnswer_.answers) {
        done(answer(stopAnswer_));
    }
}

void SyntheticCaptureStream::exclude(const std::set<uint32_t>& windowIDs,
                                     std::function<void(bool)> done) {
    excludedWindows = windowIDs;
    if (holdExcludes) return held_.push_back(std::move(done));
    done(excludeAnswer);
}

void SyntheticCaptureStream::answerExcludes() {
    auto held = std::move(held_);
    held_.clear();
    for (auto& done : held) done(excludeAnswer);
}

bool SyntheticCaptureStream::running() const {
    std::lock_guard guard(mutex_);
    return running_;
}

bool SyntheticCaptureStream::emit() {
    int64_t index = 0;
    {
        std::lock_guard guard(mutex_);
        if (!running_) {
            return false;
        }
        index = index_++;
    }
    VideoFrame frame = pool_.acquire();
    frame.fillTestPattern(index);
    auto micros = static_cast<int64_t>(clock_->monotonic() * 1'000'000);
    queue_->post([handler = onFrame_, frame, micros] {
        handler(frame, MediaTime::make(micros, 1'000'000));
    });
    return true;
}

void SyntheticCaptureStream::failWith(const std::string& message) {
    {
        std::lock_guard guard(mutex_);
        running_ = false;
    }
    onStop_(message);
}

SyntheticCaptureService::SyntheticCaptureService(platform::ClockPtr clock)
    : clock_(std::move(clock)) {}

void SyntheticCaptureService::displays(
    std::function<void(TimeoutOutcome<std::vector<CaptureDisplay>>)> done) {
    if (!displaysAnswer.answers) {
        return;
    }
    if (displaysAnswer.error) {
        return done(TimeoutOutcome<std::vector<CaptureDisplay>>(std::in_place_index<1>,
                                                                *displaysAnswer.error));
    }
    done(displayList);
}

std::shared_ptr<CaptureStream> SyntheticCaptureService::makeStream(
    const CaptureDisplay& display, const CaptureConfiguration& configuration,
    platform::QueuePtr captureQueue, FrameHandler onFrame, StopHandler onStop) {
    if (makeError) {
        throw *makeError;
    }
    auto stream = std::make_shared<SyntheticCaptureStream>(
        display, configuration, std::move(captureQueue), clock_, std::move(onFrame),
        std::move(onStop), startAnswer, stopAnswer);
    stream->excludeAnswer = excludeAnswer;
    stream->holdExcludes = holdExcludes;
    streams.push_back(stream);
    return stream;
}

}  // namespace caldrovex::test
